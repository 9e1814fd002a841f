// The campaign's picture: a file a browser must open (well-formed XML), one
// marker per crash state in its ending's colour and above the entry its cut
// came after, one line per flush, each write in its partition's lane, the
// failure run in a strip of its own, and the same bytes from merged shards as
// from one run over all the states.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "campaign.h"
#include "log_builder.h"
#include "report.h"
#include "shard.h"
#include "timeline_svg.h"
#include "write_log.h"

namespace {

using board::Fault;
using board::StateEnding;
using board::StateRecord;

// An element of the picture: its name, attributes and the text of its
// <title> child.
struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
    std::string title;
};

bool decodeEntities(const std::string& raw, std::string* out) {
    out->clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '<') return false;
        if (raw[i] != '&') {
            *out += raw[i];
            continue;
        }
        const size_t semi = raw.find(';', i);
        if (semi == std::string::npos) return false;
        const std::string name = raw.substr(i + 1, semi - i - 1);
        static const std::map<std::string, char> known = {
            {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"#39", '\''}};
        auto it = known.find(name);
        if (it == known.end()) return false;
        *out += it->second;
        i = semi;
    }
    return true;
}

// A strict reader of the subset of XML the picture uses: a declaration,
// elements with quoted attributes, text, entities. False on anything
// unbalanced or malformed.
bool parseXml(const std::string& doc, std::vector<Element>* elements, std::string* why) {
    std::vector<size_t> open;  // indices into elements
    size_t i = 0;
    if (doc.rfind("<?xml ", 0) == 0) {
        i = doc.find("?>");
        if (i == std::string::npos) return *why = "unclosed declaration", false;
        i += 2;
    }
    bool rootSeen = false;
    while (i < doc.size()) {
        if (doc[i] != '<') {
            const size_t next = doc.find('<', i);
            const std::string raw = doc.substr(i, next - i);
            std::string text;
            if (!decodeEntities(raw, &text)) return *why = "bad text: " + raw, false;
            if (open.empty() && raw.find_first_not_of(" \n") != std::string::npos)
                return *why = "text outside the root", false;
            if (!open.empty() && elements->at(open.back()).name == "title")
                elements->at(open.back()).title += text;
            if (next == std::string::npos) break;
            i = next;
            continue;
        }
        const size_t close = doc.find('>', i);
        if (close == std::string::npos) return *why = "unclosed tag", false;
        std::string tag = doc.substr(i + 1, close - i - 1);
        i = close + 1;
        if (!tag.empty() && tag[0] == '/') {
            const std::string name = tag.substr(1);
            if (open.empty() || elements->at(open.back()).name != name)
                return *why = "</" + name + "> closes nothing open", false;
            if (name == "title" && open.size() >= 2)
                elements->at(open[open.size() - 2]).title = elements->at(open.back()).title;
            open.pop_back();
            continue;
        }
        const bool empty = !tag.empty() && tag.back() == '/';
        if (empty) tag.pop_back();
        Element e;
        size_t p = tag.find_first_of(" \n");
        e.name = tag.substr(0, p);
        if (e.name.empty()) return *why = "a tag without a name", false;
        while (p != std::string::npos && p < tag.size()) {
            p = tag.find_first_not_of(" \n", p);
            if (p == std::string::npos) break;
            const size_t eq = tag.find('=', p);
            if (eq == std::string::npos || eq + 1 >= tag.size() || tag[eq + 1] != '"')
                return *why = "unquoted attribute in <" + tag + ">", false;
            const size_t end = tag.find('"', eq + 2);
            if (end == std::string::npos)
                return *why = "unclosed attribute in <" + tag + ">", false;
            const std::string key = tag.substr(p, eq - p);
            std::string value;
            if (!decodeEntities(tag.substr(eq + 2, end - eq - 2), &value))
                return *why = "bad attribute value in <" + tag + ">", false;
            if (!e.attributes.emplace(key, value).second)
                return *why = "attribute " + key + " twice", false;
            p = end + 1;
        }
        if (open.empty()) {
            if (rootSeen) return *why = "two roots", false;
            rootSeen = true;
        }
        elements->push_back(e);
        if (!empty) open.push_back(elements->size() - 1);
    }
    if (!open.empty()) return *why = "<" + elements->at(open.back()).name + "> left open", false;
    if (!rootSeen) return *why = "no root", false;
    return true;
}

std::string scratchDir() {
    char tmpl[] = "/tmp/upgrade-board-timeline-XXXXXX";
    return mkdtemp(tmpl) == nullptr ? "" : tmpl;
}

// The disk, in 512-byte sectors: the GPT's first MiB, the flag partition, the
// four data partitions, the two file systems, the backup GPT.
struct Part {
    const char* name;
    uint64_t start, size;
};
const std::vector<Part> kParts = {{"mmcblk0p4", 2048, 2048},   {"mmcblk0p18", 4096, 2048},
                                  {"mmcblk0p26", 6144, 2048},  {"mmcblk0p28", 8192, 2048},
                                  {"mmcblk0p34", 10240, 2048}, {"OAD", 12288, 4096},
                                  {"var-local", 16384, 2048}};

std::vector<board::TimelineRegion> regions() {
    std::vector<board::TimelineRegion> out;
    for (const Part& p : kParts)
        out.push_back({p.name, p.start * 512, p.size * 512});
    return out;
}

// An upgrade's shape: the package read from /OAD, images written and flushed,
// a write of the flags flushed with FUA, and one write outside every
// partition (the GPT's first MiB).
const char kAllClasses[] = "flush,cached,torn,flipped,neighbour,reordered,twice,failure";

const std::vector<BuiltEntry> kUpgrade = {
    {12288 + 40, 0, sectors('o', 2)},          // 1  OAD
    {16384 + 8, 0, sectors('v', 1)},           // 2  var-local
    {0, board::kLogFlush, ""},                 // 3  FLUSH
    {8192, 0, sectors('a', 8)},                // 4  mmcblk0p28
    {8192 + 1024, 0, sectors('b', 4)},         // 5  mmcblk0p28
    {6144 + 100, 0, sectors('c', 2)},          // 6  mmcblk0p26
    {0, board::kLogFlush, ""},                 // 7  FLUSH
    {4096 + 7, 0, sectors('d', 1)},            // 8  mmcblk0p18
    {10240, 0, sectors('e', 16)},              // 9  mmcblk0p34
    {34, 0, sectors('g', 1)},                  // 10 outside
    {0, board::kLogFlush, ""},                 // 11 FLUSH
    {2048, board::kLogFlush | board::kLogFua,  // 12 FLUSH with the flags' data
     sectors('f', 1)},
    {12288 + 40, 0, sectors('z', 2)},  // 13 OAD, the clean-up
    {0, board::kLogFlush, ""},         // 14 FLUSH
};
const std::vector<BuiltEntry> kFailureRun = {
    {16384 + 8, 0, sectors('r', 1)},  // 1 var-local: the record
    {0, board::kLogFlush, ""},        // 2 FLUSH
    {2048, 0, sectors('n', 1)},       // 3 mmcblk0p4
    {0, board::kLogFlush, ""},        // 4 FLUSH
};

size_t flushesIn(const std::vector<BuiltEntry>& log) {
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [](const BuiltEntry& e) {
        return (e.flags & board::kLogFlush) != 0;
    }));
}
size_t writesIn(const std::vector<BuiltEntry>& log) {
    return static_cast<size_t>(
        std::count_if(log.begin(), log.end(), [](const BuiltEntry& e) { return !e.data.empty(); }));
}

// Endings of every kind in both logs, several cut after the same entry.
std::vector<StateRecord> kRecords() {
    return {
        {1, Fault::Flush, StateEnding::Upgraded, false, "", 3, false},
        {2, Fault::Cached, StateEnding::Upgraded, true, "", 5, false},
        {3, Fault::Torn, StateEnding::RefusedOrFailed, false, "/OAD unmountable", 5, false},
        {4, Fault::Flipped, StateEnding::FalseSuccess, false,
         "mmcblk0p28 lacks <its> \"new\" image", 9, false},
        {5, Fault::Neighbour, StateEnding::LostAfterCommit, false, "usrfs & optfs", 14, false},
        {6, Fault::Reordered, StateEnding::Other, false, "boot 1 ended: killed\tby\nsignal 11", 5,
         false},
        {7, Fault::Twice, StateEnding::Upgraded, false, "", 1, false},
        {8, Fault::Failure, StateEnding::RefusedOrFailed, false,
         "failure ending, base mismatch \xe2\x80\x94 \x01", 2, true},
        {9, Fault::Failure, StateEnding::RefusedOrFailed, false, "still pending after 3 starts", 4,
         true},
        {10, Fault::Flush, StateEnding::Upgraded, false, "", 7, false},
    };
}

class TimelinePicture : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = scratchDir();
        ASSERT_FALSE(dir_.empty());
        ASSERT_EQ(mkdir((dir_ + "/failure").c_str(), 0755), 0);
        writeFile(dir_ + "/write.log", buildLog(kUpgrade, 0, true));
        writeFile(dir_ + "/failure/write.log", buildLog(kFailureRun, 4, false));
        std::string error;
        board::WriteLog log;
        ASSERT_TRUE(board::readWriteLog(dir_ + "/write.log", &log, &error)) << error;
        timeline_.upgrade = board::timelineLogOf(log);
        ASSERT_TRUE(board::readWriteLog(dir_ + "/failure/write.log", &log, &error)) << error;
        timeline_.failureRun = board::timelineLogOf(log);
        timeline_.hasFailureRun = true;
        timeline_.regions = regions();
        timeline_.caption = board::timelineCaption(15, 10, "all");
    }
    void TearDown() override {
        if (!dir_.empty()) std::system(("rm -rf -- '" + dir_ + "'").c_str());
    }

    std::vector<Element> parsed(const std::string& svg) {
        std::vector<Element> elements;
        std::string why;
        EXPECT_TRUE(parseXml(svg, &elements, &why)) << why;
        return elements;
    }

    std::string dir_;
    board::Timeline timeline_;
};

std::vector<const Element*> withClass(const std::vector<Element>& all, const std::string& prefix) {
    std::vector<const Element*> out;
    for (const Element& e : all) {
        auto it = e.attributes.find("class");
        if (it != e.attributes.end() && it->second.rfind(prefix, 0) == 0) out.push_back(&e);
    }
    return out;
}

double attr(const Element& e, const char* name) {
    auto it = e.attributes.find(name);
    EXPECT_NE(it, e.attributes.end()) << e.name << " has no " << name;
    return it == e.attributes.end() ? -1 : std::stod(it->second);
}

TEST_F(TimelinePicture, OneMarkerPerStateInItsColourOverTheEntryItsCutCameAfter) {
    const std::vector<StateRecord> records = kRecords();
    const std::string svg = board::timelineSvg(timeline_, records);
    const std::vector<Element> elements = parsed(svg);
    ASSERT_FALSE(elements.empty());
    EXPECT_EQ(elements[0].name, "svg");
    EXPECT_EQ(elements[0].attributes.at("xmlns"), "http://www.w3.org/2000/svg");

    // A real XML parser must take it too, reasons with markup and control
    // characters included.
    const std::string path = dir_ + "/timeline.svg";
    writeFile(path, svg);
    const int parsedByPython =
        std::system(("python3 -c 'import sys, xml.etree.ElementTree as E; E.parse(sys.argv[1])' '" +
                     path + "' 2>&1")
                        .c_str());
    if (WIFEXITED(parsedByPython) && WEXITSTATUS(parsedByPython) == 127) {
        printf("note: no python3 here, the picture is checked by this test's reader only\n");
    } else {
        EXPECT_EQ(parsedByPython, 0) << "python3's xml.etree refuses " << path;
    }

    // Five distinct colours.
    std::set<std::string> colours;
    for (StateEnding e :
         {StateEnding::Upgraded, StateEnding::RefusedOrFailed, StateEnding::LostAfterCommit,
          StateEnding::FalseSuccess, StateEnding::Other})
        colours.insert(board::endingColour(e));
    EXPECT_EQ(colours.size(), 5u);

    const std::vector<const Element*> markers = withClass(elements, "state ");
    ASSERT_EQ(markers.size(), records.size());
    const std::vector<const Element*> flushes = withClass(elements, "flush");
    ASSERT_EQ(flushes.size(), flushesIn(kUpgrade) + flushesIn(kFailureRun));
    // The main log's flushes come first, left to right.
    std::map<size_t, double> flushX;  // entry (from 1) of the main log
    size_t k = 0;
    for (size_t i = 0; i < kUpgrade.size(); ++i) {
        if ((kUpgrade[i].flags & board::kLogFlush) != 0) flushX[i + 1] = attr(*flushes[k++], "x1");
    }
    const double mainBottom = attr(*flushes[0], "y2");

    for (const StateRecord& r : records) {
        const std::string prefix = "state " + std::to_string(r.number) + " ";
        auto it = std::find_if(markers.begin(), markers.end(),
                               [&](const Element* e) { return e->title.rfind(prefix, 0) == 0; });
        ASSERT_NE(it, markers.end()) << "no marker for state " << r.number;
        const Element& m = **it;
        EXPECT_EQ(m.attributes.at("fill"), board::endingColour(r.ending)) << m.title;
        EXPECT_EQ(m.attributes.at("class"), std::string("state ") + board::endingName(r.ending));
        EXPECT_NE(m.title.find(board::faultName(r.fault)), std::string::npos) << m.title;
        // The failure run's states are drawn in their own strip, below the
        // recorded upgrade's.
        EXPECT_EQ(attr(m, "cy") > mainBottom, r.failureRun) << m.title;
        // A state cut right after a flush sits on that flush's line.
        if (!r.failureRun && flushX.count(r.entry) != 0) {
            EXPECT_EQ(attr(m, "cx"), flushX[r.entry]) << m.title;
        }
    }
    // States 2, 3 and 6 are cut after the same entry: stacked, not drawn over
    // each other.
    std::set<double> heights;
    for (const Element* m : markers) {
        if (m->title.find("cut after entry 5:") != std::string::npos)
            heights.insert(attr(*m, "cy"));
    }
    EXPECT_EQ(heights.size(), 3u);

    // The legend counts every ending.
    for (const char* counted : {">upgraded (4)<", ">refused or failed (3)<",
                                ">lost after commit (1)<", ">false success (1)<", ">other (1)<"})
        EXPECT_NE(svg.find(counted), std::string::npos) << counted;
}

TEST_F(TimelinePicture, EachWriteIsDrawnInThePartitionItWentTo) {
    const std::vector<Element> elements = parsed(board::timelineSvg(timeline_, kRecords()));
    const std::vector<const Element*> writes = withClass(elements, "write");
    ASSERT_EQ(writes.size(), writesIn(kUpgrade) + writesIn(kFailureRun));
    // In log order: the main log's, then the failure run's.
    const std::vector<std::string> where = {
        "to OAD at 20 KiB",         "to var-local at 4 KiB",     "to mmcblk0p28 at 0 bytes",
        "to mmcblk0p28 at 512 KiB", "to mmcblk0p26 at 50 KiB",   "to mmcblk0p18 at 3.5 KiB",
        "to mmcblk0p34 at 0 bytes", "to outside the partitions", "to mmcblk0p4 at 0 bytes",
        "to OAD at 20 KiB",         "to var-local at 4 KiB",     "to mmcblk0p4 at 0 bytes"};
    ASSERT_EQ(writes.size(), where.size());
    for (size_t i = 0; i < where.size(); ++i)
        EXPECT_NE(writes[i]->title.find(where[i]), std::string::npos)
            << writes[i]->title << " should be " << where[i];
    // The writes to one partition share its lane; the lanes follow the disk.
    std::map<std::string, double> laneTop;
    for (const Element* w : writes) {
        const std::string& t = w->title;
        const size_t to = t.find(" to ") + 4;
        const std::string part = t.substr(to, t.find(' ', to) - to);
        const double y = attr(*w, "y");
        if (laneTop.count(part) == 0 || y < laneTop[part]) laneTop[part] = y;
    }
    EXPECT_LT(laneTop["mmcblk0p4"], laneTop["mmcblk0p18"]);
    EXPECT_LT(laneTop["mmcblk0p18"], laneTop["mmcblk0p26"]);
    EXPECT_LT(laneTop["mmcblk0p26"], laneTop["mmcblk0p28"]);
    EXPECT_LT(laneTop["mmcblk0p28"], laneTop["mmcblk0p34"]);
    EXPECT_LT(laneTop["mmcblk0p34"], laneTop["OAD"]);
}

TEST_F(TimelinePicture, StatesThatCannotBePlacedAreCountedNotDrawn) {
    std::vector<StateRecord> records = kRecords();
    records[0].entry = 0;                    // a report from before the cut's place was kept
    records[1].entry = kUpgrade.size() + 1;  // beyond the log
    board::Timeline withoutFailure = timeline_;
    withoutFailure.hasFailureRun = false;  // the failure run's states have no log
    withoutFailure.failureRun = board::TimelineLog();
    const std::string svg = board::timelineSvg(withoutFailure, records);
    const std::vector<Element> elements = parsed(svg);
    EXPECT_EQ(withClass(elements, "state ").size(), records.size() - 4);
    EXPECT_NE(svg.find(">4 states are not drawn: "), std::string::npos);
    EXPECT_EQ(withClass(elements, "flush").size(), flushesIn(kUpgrade));
}

TEST_F(TimelinePicture, FourMergedShardsDrawTheUnshardedPictureByteForByte) {
    // More states than the log has entries, in a shuffled order.
    std::vector<StateRecord> all;
    std::mt19937_64 rng(3);
    const std::vector<Fault> faults = {Fault::Flush,   Fault::Cached,    Fault::Torn,
                                       Fault::Flipped, Fault::Neighbour, Fault::Reordered,
                                       Fault::Twice,   Fault::Failure};
    for (size_t i = 0; i < 41; ++i) {
        StateRecord r;
        r.number = i + 1;
        r.fault = faults[i * faults.size() / 41];
        r.ending = static_cast<StateEnding>(rng() % 5);
        r.failureRun = r.fault == Fault::Failure;
        r.entry = 1 + rng() % (r.failureRun ? kFailureRun.size() : kUpgrade.size());
        if (r.ending != StateEnding::Upgraded) r.reason = "reason <" + std::to_string(i) + ">\t&";
        r.cleanUpLeft = r.ending == StateEnding::Upgraded && rng() % 2 == 0;
        all.push_back(r);
    }
    const std::string whole = board::timelineSvg(timeline_, all);
    std::vector<StateRecord> shuffled = all;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    EXPECT_EQ(board::timelineSvg(timeline_, shuffled), whole);

    std::vector<board::Report> reports;
    for (size_t index = 1; index <= 4; ++index) {
        board::Report r;
        r.seed = 15;
        r.asked = all.size();
        r.total = all.size();
        r.faults = board::faultList(faults);
        r.log = "1:0000000000000001";
        r.shard = board::Shard{index, 4};
        for (size_t i = 0; i < all.size(); ++i) {
            if (board::inShard(r.shard, i)) r.records.push_back(all[i]);
        }
        const std::string path = dir_ + "/shard-" + std::to_string(index);
        std::string error;
        ASSERT_TRUE(board::writeReport(path, r, &error)) << error;
        board::Report back;
        ASSERT_TRUE(board::readReport(path, &back, &error)) << error;
        reports.push_back(back);
    }
    // The shards come back in any order.
    std::swap(reports[0], reports[3]);
    board::Report merged;
    std::string error;
    ASSERT_TRUE(board::mergeReports(reports, &merged, &error)) << error;
    EXPECT_EQ(board::timelineSvg(timeline_, merged.records), whole);
}

// The regions come from the GPT that sfdisk writes as the board's disk does;
// merge draws from a campaign's work directory only when its logs are the
// ones the reports replayed.
TEST_F(TimelinePicture, MergeDrawsFromTheCampaignsLogsAndRefusesOthers) {
    if (std::system("command -v sfdisk >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no sfdisk to write the GPT with";
    const std::string disk = dir_ + "/base.img";
    std::string table = "label: gpt\n";
    for (const Part& p : kParts) {
        table += "start=" + std::to_string(p.start) + ", size=" + std::to_string(p.size) +
                 ", name=\"" + p.name + "\"\n";
    }
    writeFile(dir_ + "/table", table);
    ASSERT_EQ(std::system(("truncate -s 10M '" + disk +
                           "' && sfdisk --quiet --no-reread "
                           "--no-tell-kernel '" +
                           disk + "' < '" + dir_ + "/table' >/dev/null")
                              .c_str()),
              0);

    board::Timeline loaded;
    std::string error;
    ASSERT_TRUE(board::loadTimeline(dir_, true, &loaded, &error)) << error;
    ASSERT_EQ(loaded.regions.size(), kParts.size());
    for (size_t i = 0; i < kParts.size(); ++i) {
        EXPECT_EQ(loaded.regions[i].name, kParts[i].name);
        EXPECT_EQ(loaded.regions[i].offset, kParts[i].start * 512);
        EXPECT_EQ(loaded.regions[i].bytes, kParts[i].size * 512);
    }
    loaded.caption = timeline_.caption;
    EXPECT_EQ(board::timelineSvg(loaded, kRecords()), board::timelineSvg(timeline_, kRecords()));

    const std::vector<StateRecord> records = kRecords();
    std::vector<std::string> paths;
    for (size_t index = 1; index <= 2; ++index) {
        board::Report r;
        r.seed = 15;
        r.asked = records.size();
        r.total = records.size();
        r.faults = kAllClasses;
        r.log = board::recordedLogId(dir_, true);
        r.shard = board::Shard{index, 2};
        for (size_t i = 0; i < records.size(); ++i) {
            if (board::inShard(r.shard, i)) r.records.push_back(records[i]);
        }
        paths.push_back(dir_ + "/report-" + std::to_string(index));
        ASSERT_TRUE(board::writeReport(paths.back(), r, &error)) << error;
    }
    const std::string picture = dir_ + "/merged.svg";
    // A false success and a state that ended none of the four ways: exit 1,
    // as the campaign would.
    EXPECT_EQ(board::mergeCampaign(paths, dir_, picture), 1);
    board::Timeline expected = loaded;
    expected.caption = board::timelineCaption(15, records.size(), kAllClasses);
    EXPECT_EQ(readFile(picture), board::timelineSvg(expected, records));

    // Another recorded failure run: refused, and the picture left alone.
    unlink(picture.c_str());
    writeFile(dir_ + "/failure/write.log", buildLog(kFailureRun, 4, true));
    EXPECT_EQ(board::mergeCampaign(paths, dir_, picture), 2);
    EXPECT_EQ(board::mergeCampaign(paths, dir_ + "/no-campaign", picture), 2);
    EXPECT_NE(access(picture.c_str(), F_OK), 0);
}

}  // namespace
