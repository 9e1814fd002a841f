#include "timeline_svg.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <utility>

#include "board_disk.h"
#include "unique_fd.h"
#include "raw_read.h"
#include "report_fields.h"

namespace board {

namespace {

// Sizes in the picture's pixels.
constexpr double kLeft = 120;  // the lanes' names
constexpr double kPlot = 960;  // the log's entries, left to right
constexpr double kRight = 24;
constexpr double kLaneHeight = 20;
constexpr double kMarkerStep = 11;  // between states cut at the same entry
constexpr double kMarkerRadius = 4.5;

constexpr StateEnding kEndings[] = {StateEnding::Upgraded, StateEnding::RefusedOrFailed,
                                    StateEnding::LostAfterCommit, StateEnding::FalseSuccess,
                                    StateEnding::Other};

// A coordinate with at most two decimals and no trailing zeros.
std::string num(double v) {
    char buf[48];
    snprintf(buf, sizeof buf, "%.2f", v);
    std::string s = buf;
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s == "-0" ? "0" : s;
}

// Text for an element or an attribute: markup characters as entities,
// control characters as spaces and bytes beyond ASCII as '?', so that a
// reason with any bytes still leaves the file well formed.
std::string xml(const std::string& text) {
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                if (u < 0x20 || u == 0x7f) {
                    out += ' ';
                } else if (u >= 0x80) {
                    out += '?';
                } else {
                    out += c;
                }
        }
    }
    return out;
}

const char* endingText(StateEnding e) {
    switch (e) {
        case StateEnding::Upgraded:
            return "upgraded";
        case StateEnding::RefusedOrFailed:
            return "refused or failed";
        case StateEnding::LostAfterCommit:
            return "lost after commit";
        case StateEnding::FalseSuccess:
            return "false success";
        case StateEnding::Other:
            break;
    }
    return "other";
}

// What a region holds, for the colour of the writes to it.
enum class RegionKind { Flags, Data, FileSystem, Outside };

RegionKind kindOf(const std::string& name) {
    if (name == flagPartitionName()) return RegionKind::Flags;
    if (name == "OAD" || name == "var-local") return RegionKind::FileSystem;
    return RegionKind::Data;
}

const char* writeColour(RegionKind kind) {
    switch (kind) {
        case RegionKind::Flags:
            return "#e65100";
        case RegionKind::Data:
            return "#1565c0";
        case RegionKind::FileSystem:
            return "#00838f";
        case RegionKind::Outside:
            break;
    }
    return "#757575";
}

constexpr char kFlushColour[] = "#37474f";

// The lane of a write: the region its first byte is in, or regions.size().
size_t laneOf(const std::vector<TimelineRegion>& regions, const TimelineEntry& e) {
    for (size_t r = 0; r < regions.size(); ++r) {
        if (e.offset >= regions[r].offset && e.offset - regions[r].offset < regions[r].bytes)
            return r;
    }
    return regions.size();
}

bool anyOutside(const Timeline& t, const TimelineLog& log) {
    return std::any_of(log.entries.begin(), log.entries.end(), [&](const TimelineEntry& e) {
        return e.write && laneOf(t.regions, e) == t.regions.size();
    });
}

// 1, 2, 5, 10, 20, 50 ...: the first at least `atLeast`.
size_t tickStep(double atLeast) {
    for (size_t scale = 1;; scale *= 10) {
        for (size_t m : {1u, 2u, 5u}) {
            if (static_cast<double>(m * scale) >= atLeast) return m * scale;
        }
    }
}

std::string sizeText(uint64_t bytes) {
    if (bytes >= (1u << 20)) return num(static_cast<double>(bytes) / (1u << 20)) + " MiB";
    if (bytes >= (1u << 10)) return num(static_cast<double>(bytes) / (1u << 10)) + " KiB";
    return std::to_string(bytes) + " bytes";
}

class Drawing {
public:
    explicit Drawing(const Timeline& t) : t_(t) {
        outside_ = anyOutside(t, t.upgrade) || (t.hasFailureRun && anyOutside(t, t.failureRun));
    }

    std::string svg(const std::vector<StateRecord>& recordsIn) {
        std::vector<StateRecord> records = recordsIn;
        std::stable_sort(
            records.begin(), records.end(),
            [](const StateRecord& a, const StateRecord& b) { return a.number < b.number; });
        std::vector<const StateRecord*> ofUpgrade, ofFailure;
        size_t unplaced = 0;
        for (const StateRecord& r : records) {
            const bool failure = r.failureRun && t_.hasFailureRun;
            const TimelineLog& log = failure ? t_.failureRun : t_.upgrade;
            if (r.entry == 0 || r.entry > log.entries.size() ||
                (r.failureRun && !t_.hasFailureRun)) {
                ++unplaced;
                continue;
            }
            (failure ? ofFailure : ofUpgrade).push_back(&r);
        }

        double y = 0;
        text(kLeft, y += 22, t_.caption, "font-size=\"14\" font-weight=\"bold\"");
        y += 10;
        legend(records, unplaced, &y);
        strip("recorded upgrade", t_.upgrade, ofUpgrade, &y);
        if (t_.hasFailureRun)
            strip("failure run (every data partition's first 4 KiB drifted)", t_.failureRun,
                  ofFailure, &y);
        y += 8;

        const double width = kLeft + kPlot + kRight;
        std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
        out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(width) + "\" height=\"" +
               num(y) + "\" viewBox=\"0 0 " + num(width) + " " + num(y) +
               "\" font-family=\"sans-serif\" font-size=\"11\">\n";
        out += "<title>" + xml(t_.caption) + "</title>\n";
        out += "<rect x=\"0\" y=\"0\" width=\"" + num(width) + "\" height=\"" + num(y) +
               "\" fill=\"#ffffff\"/>\n";
        out += body_;
        out += "</svg>\n";
        return out;
    }

private:
    void text(double x, double y, const std::string& s, const std::string& attributes = "") {
        body_ += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"" +
                 (attributes.empty() ? "" : " " + attributes) + ">" + xml(s) + "</text>\n";
    }

    void legend(const std::vector<StateRecord>& records, size_t unplaced, double* y) {
        *y += 14;
        body_ += "<g class=\"legend\">\n";
        double x = kLeft;
        for (StateEnding e : kEndings) {
            const size_t n = static_cast<size_t>(
                std::count_if(records.begin(), records.end(),
                              [e](const StateRecord& r) { return r.ending == e; }));
            body_ += "<circle cx=\"" + num(x + 5) + "\" cy=\"" + num(*y - 4) + "\" r=\"" +
                     num(kMarkerRadius) + "\" fill=\"" + endingColour(e) +
                     "\" stroke=\"#000000\" stroke-width=\"0.5\"/>\n";
            text(x + 14, *y, std::string(endingText(e)) + " (" + std::to_string(n) + ")");
            x += 170;
        }
        *y += 18;
        x = kLeft;
        std::vector<std::pair<RegionKind, const char*>> kinds = {
            {RegionKind::Flags, "write to the boot flags"},
            {RegionKind::Data, "write to a data partition"},
            {RegionKind::FileSystem, "write to /OAD or /var/local"}};
        if (outside_) kinds.push_back({RegionKind::Outside, "write outside the partitions"});
        for (const auto& k : kinds) {
            body_ += "<rect x=\"" + num(x) + "\" y=\"" + num(*y - 9) +
                     "\" width=\"10\" height=\"10\" fill=\"" + writeColour(k.first) + "\"/>\n";
            text(x + 14, *y, k.second);
            x += 170;
        }
        body_ += "<line x1=\"" + num(x + 5) + "\" y1=\"" + num(*y - 11) + "\" x2=\"" + num(x + 5) +
                 "\" y2=\"" + num(*y + 2) + "\" stroke=\"" + kFlushColour +
                 "\" stroke-width=\"1\"/>\n";
        text(x + 14, *y, "FLUSH");
        if (unplaced > 0) {
            *y += 18;
            text(kLeft, *y,
                 std::to_string(unplaced) + (unplaced == 1 ? " state is" : " states are") +
                     " not drawn: the report does not place its cut in these logs");
        }
        body_ += "</g>\n";
        *y += 8;
    }

    void strip(const std::string& name, const TimelineLog& log,
               const std::vector<const StateRecord*>& states, double* y) {
        const size_t n = log.entries.size();
        const size_t flushes =
            static_cast<size_t>(std::count_if(log.entries.begin(), log.entries.end(),
                                              [](const TimelineEntry& e) { return e.flush; }));
        const double w = kPlot / static_cast<double>(std::max<size_t>(n, 1));
        auto centre = [&](size_t index) { return kLeft + (static_cast<double>(index) + 0.5) * w; };

        // States cut at the same entry stack upwards, in their numbers' order.
        std::map<size_t, size_t> atEntry;
        size_t tallest = 1;
        for (const StateRecord* r : states)
            tallest = std::max(tallest, ++atEntry[r->entry]);
        atEntry.clear();

        *y += 22;
        text(
            kLeft, *y,
            name + ": " + std::to_string(n) + " log entries, " + std::to_string(flushes) + " FLUSH",
            "font-weight=\"bold\"");
        body_ += "<g class=\"log\">\n";
        const double bandBottom = *y + 8 + kMarkerStep * static_cast<double>(tallest);
        const size_t lanes = t_.regions.size() + (outside_ ? 1 : 0);
        const double lanesTop = bandBottom + 2;
        const double lanesBottom = lanesTop + kLaneHeight * static_cast<double>(lanes);

        for (size_t l = 0; l < lanes; ++l) {
            const double top = lanesTop + kLaneHeight * static_cast<double>(l);
            body_ += "<rect x=\"" + num(kLeft) + "\" y=\"" + num(top) + "\" width=\"" + num(kPlot) +
                     "\" height=\"" + num(kLaneHeight) + "\" fill=\"" +
                     (l % 2 == 0 ? "#f3f3f3" : "#fafafa") + "\"/>\n";
            const std::string label = l < t_.regions.size() ? t_.regions[l].name : "outside";
            text(kLeft - 6, top + kLaneHeight / 2 + 4, label, "text-anchor=\"end\"");
        }

        for (size_t i = 0; i < n; ++i) {
            const TimelineEntry& e = log.entries[i];
            if (!e.write) continue;
            const size_t lane = laneOf(t_.regions, e);
            const double top = lanesTop + kLaneHeight * static_cast<double>(lane);
            const double room = kLaneHeight - 4;
            double at = top + 2, height = room;
            std::string where = "outside the partitions";
            RegionKind kind = RegionKind::Outside;
            if (lane < t_.regions.size()) {
                const TimelineRegion& r = t_.regions[lane];
                const double size = static_cast<double>(std::max<uint64_t>(r.bytes, 1));
                height = std::min(room, std::max(2.0, static_cast<double>(e.bytes) / size * room));
                at = std::min(top + 2 + static_cast<double>(e.offset - r.offset) / size * room,
                              top + 2 + room - height);
                where = r.name + " at " + sizeText(e.offset - r.offset);
                kind = kindOf(r.name);
            }
            body_ += "<rect class=\"write\" x=\"" + num(kLeft + static_cast<double>(i) * w) +
                     "\" y=\"" + num(at) + "\" width=\"" + num(std::max(w > 3 ? w - 1 : w, 0.6)) +
                     "\" height=\"" + num(height) + "\" fill=\"" + writeColour(kind) +
                     "\"><title>entry " + std::to_string(i + 1) + ": " + sizeText(e.bytes) +
                     " to " + xml(where) + "</title></rect>\n";
        }

        for (size_t i = 0; i < n; ++i) {
            if (!log.entries[i].flush) continue;
            body_ += "<line class=\"flush\" x1=\"" + num(centre(i)) + "\" y1=\"" + num(lanesTop) +
                     "\" x2=\"" + num(centre(i)) + "\" y2=\"" + num(lanesBottom) + "\" stroke=\"" +
                     kFlushColour + "\" stroke-width=\"1\"><title>entry " + std::to_string(i + 1) +
                     ": FLUSH</title></line>\n";
        }

        for (const StateRecord* r : states) {
            const size_t k = atEntry[r->entry]++;
            const double cy = bandBottom - 6 - kMarkerStep * static_cast<double>(k);
            std::string what = "state " + std::to_string(r->number) + " " + faultName(r->fault) +
                               ", cut after entry " + std::to_string(r->entry) + ": " +
                               endingText(r->ending);
            if (!r->reason.empty()) what += ": " + r->reason;
            if (r->cleanUpLeft) what += " (the clean-up's leftovers in /OAD)";
            body_ += "<circle class=\"state " + std::string(endingName(r->ending)) + "\" cx=\"" +
                     num(centre(r->entry - 1)) + "\" cy=\"" + num(cy) + "\" r=\"" +
                     num(kMarkerRadius) + "\" fill=\"" + endingColour(r->ending) +
                     "\" stroke=\"#000000\" stroke-width=\"0.5\"><title>" + xml(what) +
                     "</title></circle>\n";
        }

        // The axis: every step-th entry, counted from 1 as the states' lines count.
        const double axis = lanesBottom;
        body_ += "<line x1=\"" + num(kLeft) + "\" y1=\"" + num(axis) + "\" x2=\"" +
                 num(kLeft + kPlot) + "\" y2=\"" + num(axis) + "\" stroke=\"#9e9e9e\"/>\n";
        const size_t step = tickStep(static_cast<double>(n) / 12);
        for (size_t k = step; k <= n; k += step) {
            body_ += "<line x1=\"" + num(centre(k - 1)) + "\" y1=\"" + num(axis) + "\" x2=\"" +
                     num(centre(k - 1)) + "\" y2=\"" + num(axis + 4) + "\" stroke=\"#9e9e9e\"/>\n";
            text(centre(k - 1), axis + 15, std::to_string(k), "text-anchor=\"middle\"");
        }
        text(kLeft - 6, axis + 15, "log entry", "text-anchor=\"end\"");
        body_ += "</g>\n";
        *y = axis + 20;
    }

    const Timeline& t_;
    bool outside_ = false;
    std::string body_;
};

}  // namespace

TimelineLog timelineLogOf(const WriteLog& log) {
    TimelineLog out;
    for (const LogEntry& e : log.entries) {
        TimelineEntry t;
        t.write = isWrite(e);
        t.flush = isFlush(e);
        t.offset = e.sector * log.sectorSize;
        t.bytes = e.sectors * log.sectorSize;
        out.entries.push_back(t);
    }
    return out;
}

bool readGptRegions(const std::string& disk, std::vector<TimelineRegion>* out, std::string* error) {
    constexpr uint64_t kSector = 512;  // the board's disk is a file of 512-byte sectors
    host::UniqueFd fd(open(disk.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        *error = "cannot open " + disk + ": " + strerror(errno);
        return false;
    }
    unsigned char header[92];
    if (!host::preadAll(fd.get(), header, sizeof header, kSector) ||
        memcmp(header, "EFI PART", 8) != 0) {
        *error = disk + " holds no GPT";
        return false;
    }
    const uint64_t tableAt = host::le64(header + 72);
    const uint32_t count = host::le32(header + 80);
    const uint32_t size = host::le32(header + 84);
    if (count == 0 || count > 1024 || size < 128 || size > 4096) {
        *error = disk + ": a GPT of " + std::to_string(count) + " entries of " +
                 std::to_string(size) + " bytes";
        return false;
    }
    std::vector<unsigned char> table(static_cast<size_t>(count) * size);
    if (!host::preadAll(fd.get(), table.data(), table.size(), tableAt * kSector)) {
        *error = "cannot read the GPT of " + disk;
        return false;
    }
    out->clear();
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char* p = table.data() + static_cast<size_t>(i) * size;
        if (std::all_of(p, p + 16, [](unsigned char c) { return c == 0; })) continue;
        const uint64_t first = host::le64(p + 32), last = host::le64(p + 40);
        if (last < first) {
            *error = disk + ": GPT entry " + std::to_string(i + 1) + " ends before it starts";
            return false;
        }
        TimelineRegion r;
        for (size_t c = 0; c < 36; ++c) {
            const unsigned unit = p[56 + 2 * c] | static_cast<unsigned>(p[57 + 2 * c]) << 8;
            if (unit == 0) break;
            r.name += unit < 0x80 ? static_cast<char>(unit) : '?';
        }
        r.offset = first * kSector;
        r.bytes = (last - first + 1) * kSector;
        out->push_back(r);
    }
    std::stable_sort(
        out->begin(), out->end(),
        [](const TimelineRegion& a, const TimelineRegion& b) { return a.offset < b.offset; });
    return true;
}

bool loadTimeline(const std::string& logDir, bool withFailure, Timeline* out, std::string* error) {
    *out = Timeline();
    if (!readGptRegions(logDir + "/base.img", &out->regions, error)) return false;
    WriteLog log;
    if (!readWriteLog(logDir + "/write.log", &log, error)) return false;
    out->upgrade = timelineLogOf(log);
    if (withFailure) {
        if (!readWriteLog(logDir + "/failure/write.log", &log, error)) return false;
        out->failureRun = timelineLogOf(log);
        out->hasFailureRun = true;
    }
    return true;
}

std::string timelineCaption(uint64_t seed, size_t states, const std::string& faults) {
    return "upgrade-board campaign: " + std::to_string(states) + " crash states of seed " +
           std::to_string(seed) + ", classes " + faults;
}

const char* endingColour(StateEnding ending) {
    switch (ending) {
        case StateEnding::Upgraded:
            return "#2e7d32";
        case StateEnding::RefusedOrFailed:
            return "#f9a825";
        case StateEnding::LostAfterCommit:
            return "#8e24aa";
        case StateEnding::FalseSuccess:
            return "#d50000";
        case StateEnding::Other:
            break;
    }
    return "#212121";
}

std::string timelineSvg(const Timeline& timeline, const std::vector<StateRecord>& records) {
    return Drawing(timeline).svg(records);
}

bool writeTimeline(const std::string& path, const std::string& svg, std::string* error) {
    // Whole or not at all, as a shard's report is written.
    return host::writeReportFile(path, svg, error);
}

}  // namespace board
