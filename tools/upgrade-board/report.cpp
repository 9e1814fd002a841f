#include "report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "batch_shard.h"
#include "report_fields.h"

namespace board {

namespace {

const char kMagic[] = "upgrade-board report 1";

bool endingOf(const std::string& name, StateEnding* out) {
    for (StateEnding e :
         {StateEnding::Upgraded, StateEnding::RefusedOrFailed, StateEnding::LostAfterCommit,
          StateEnding::FalseSuccess, StateEnding::Other}) {
        if (name == endingName(e)) {
            *out = e;
            return true;
        }
    }
    return false;
}

bool number(const std::string& text, unsigned long long* out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    *out = strtoull(text.c_str(), nullptr, 10);
    return errno == 0;
}

}  // namespace

const char* endingName(StateEnding e) {
    switch (e) {
        case StateEnding::Upgraded:
            return "upgraded";
        case StateEnding::RefusedOrFailed:
            return "refused-or-failed";
        case StateEnding::LostAfterCommit:
            return "lost-after-commit";
        case StateEnding::FalseSuccess:
            return "false-success";
        case StateEnding::Other:
            break;
    }
    return "other";
}

std::string Summary::othersLine() const {
    if (others == 0) return "";
    return "campaign: " + std::to_string(others) +
           " crash states ended none of the four ways (see their lines)";
}

std::string Summary::lastLine() const {
    return "campaign: " + std::to_string(upgraded) + " of " + std::to_string(ran) +
           " crash states ended upgraded, " + std::to_string(refused) +
           " refused or failed as the design allows, " + std::to_string(lost) +
           " lost after commit, " + std::to_string(falseSuccesses) + " false successes";
}

Summary summarize(const std::vector<Fault>& faults, const std::vector<StateRecord>& records) {
    Summary s;
    s.table.push_back("campaign: by fault class");
    s.table.push_back(
        "  class      states  upgraded  refused/failed  lost after commit  false success  "
        "other");
    for (Fault f : faults) {
        size_t n = 0, counts[5] = {};
        std::map<std::string, size_t> reasons;
        for (const StateRecord& r : records) {
            if (r.fault != f) continue;
            ++n;
            ++counts[static_cast<int>(r.ending)];
            if (r.ending == StateEnding::RefusedOrFailed) ++reasons[r.reason];
        }
        char row[160];
        snprintf(row, sizeof row, "  %-10s %6zu  %8zu  %14zu  %17zu  %13zu  %5zu", faultName(f), n,
                 counts[0], counts[1], counts[2], counts[3], counts[4]);
        s.table.push_back(row);
        for (const auto& r : reasons)
            s.table.push_back("      " + std::to_string(r.second) + " x " + r.first);
        s.ran += n;
        s.upgraded += counts[0];
        s.refused += counts[1];
        s.lost += counts[2];
        s.falseSuccesses += counts[3];
        s.others += counts[4];
    }
    for (const StateRecord& r : records) {
        if (r.cleanUpLeft) ++s.cleanUpsLeft;
    }
    return s;
}

std::string fileFingerprint(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return "";
    uint64_t hash = 14695981039346656037ULL;  // FNV-1a
    unsigned long long size = 0;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) {
        for (size_t i = 0; i < n; ++i)
            hash = (hash ^ static_cast<unsigned char>(buf[i])) * 1099511628211ULL;
        size += n;
    }
    const bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) return "";
    char text[64];
    snprintf(text, sizeof text, "%llu:%016llx", size, static_cast<unsigned long long>(hash));
    return text;
}

std::string recordedLogId(const std::string& logDir, bool withFailure) {
    const std::string upgrade = fileFingerprint(logDir + "/write.log");
    if (!withFailure) return upgrade;
    const std::string failure = fileFingerprint(logDir + "/failure/write.log");
    return upgrade.empty() || failure.empty() ? "" : upgrade + "+" + failure;
}

std::string faultList(const std::vector<Fault>& faults) {
    std::string list;
    for (Fault f : faults)
        list += (list.empty() ? "" : ",") + std::string(faultName(f));
    return list;
}

bool writeReport(const std::string& path, const Report& r, std::string* error) {
    std::ostringstream out;
    out << kMagic << "\n"
        << "seed\t" << r.seed << "\n"
        << "states\t" << r.asked << "\n"
        << "chosen\t" << r.total << "\n"
        << "faults\t" << r.faults << "\n"
        << "log\t" << host::escapedField(r.log) << "\n"
        << "shard\t" << r.shard.index << "/" << r.shard.count << "\n";
    for (const StateRecord& s : r.records) {
        out << "state\t" << s.number << "\t" << faultName(s.fault) << "\t" << endingName(s.ending)
            << "\t" << (s.cleanUpLeft ? "clean-up-left" : "-") << "\t"
            << host::escapedField(s.reason) << "\t" << (s.failureRun ? "failure:" : "main:")
            << s.entry << "\n";
    }
    return host::writeReportFile(path, out.str(), error);
}

bool readReport(const std::string& path, Report* r, std::string* error) {
    std::ifstream file;
    if (!host::openReportFile(path, kMagic, "a campaign report", &file, error)) {
        return false;
    }
    *r = Report();
    std::string line;
    bool seen[6] = {};
    size_t lineNo = 1;
    while (std::getline(file, line)) {
        ++lineNo;
        const std::vector<std::string> f = host::splitTabs(line);
        const std::string at = path + ":" + std::to_string(lineNo) + ": ";
        unsigned long long n = 0;
        if (f[0] == "state" && (f.size() == 6 || f.size() == 7)) {
            StateRecord s;
            std::vector<Fault> fault;
            std::string why;
            if (!number(f[1], &n) || n == 0 || !parseFaults(f[2], &fault, &why) ||
                fault.size() != 1 || !endingOf(f[3], &s.ending) ||
                (f[4] != "-" && f[4] != "clean-up-left") ||
                !host::unescapedField(f[5], &s.reason)) {
                *error = at + "bad state line";
                return false;
            }
            s.number = static_cast<size_t>(n);
            s.fault = fault[0];
            s.cleanUpLeft = f[4] == "clean-up-left";
            // The cut's place came later: a report without it still merges.
            if (f.size() == 7) {
                const bool failure = f[6].rfind("failure:", 0) == 0;
                const size_t colon = f[6].find(':');
                if ((!failure && f[6].rfind("main:", 0) != 0) ||
                    !number(f[6].substr(colon + 1), &n)) {
                    *error = at + "bad state line";
                    return false;
                }
                s.entry = static_cast<size_t>(n);
                s.failureRun = failure;
            }
            r->records.push_back(s);
        } else if (f.size() == 2 && f[0] == "seed" && number(f[1], &n)) {
            r->seed = n;
            seen[0] = true;
        } else if (f.size() == 2 && f[0] == "states" && number(f[1], &n)) {
            r->asked = static_cast<size_t>(n);
            seen[1] = true;
        } else if (f.size() == 2 && f[0] == "chosen" && number(f[1], &n)) {
            r->total = static_cast<size_t>(n);
            seen[2] = true;
        } else if (f.size() == 2 && f[0] == "faults") {
            std::vector<Fault> faults;
            if (!parseFaults(f[1], &faults, error)) {
                *error = at + *error;
                return false;
            }
            r->faults = f[1];
            seen[3] = true;
        } else if (f.size() == 2 && f[0] == "log" && host::unescapedField(f[1], &r->log)) {
            seen[4] = true;
        } else if (f.size() == 2 && f[0] == "shard" && parseShard(f[1], &r->shard, error)) {
            seen[5] = true;
        } else {
            *error = at + "unexpected line";
            return false;
        }
    }
    if (std::find(std::begin(seen), std::end(seen), false) != std::end(seen)) {
        *error = path + " lacks part of its header";
        return false;
    }
    return true;
}

bool mergeReports(const std::vector<Report>& reports, Report* merged, std::string* error) {
    if (reports.empty()) {
        *error = "no reports";
        return false;
    }
    const Report& first = reports.front();
    *merged = first;
    merged->records.clear();
    merged->shard = Shard();
    std::vector<size_t> seen(first.total, 0);
    for (size_t k = 0; k < reports.size(); ++k) {
        const Report& r = reports[k];
        const std::string which = "report " + std::to_string(k + 1);
        if (r.seed != first.seed || r.asked != first.asked || r.total != first.total) {
            *error = which + " is of seed " + std::to_string(r.seed) + ", --states " +
                     std::to_string(r.asked) + " (" + std::to_string(r.total) +
                     " chosen), report 1 of seed " + std::to_string(first.seed) + ", --states " +
                     std::to_string(first.asked) + " (" + std::to_string(first.total) + ")";
            return false;
        }
        if (r.faults != first.faults) {
            *error = which + " has the classes " + r.faults + ", report 1 " + first.faults;
            return false;
        }
        if (r.log != first.log) {
            *error = which + " replayed another recorded upgrade than report 1 (" + r.log +
                     " against " + first.log + ")";
            return false;
        }
        for (const StateRecord& s : r.records) {
            if (s.number == 0 || s.number > first.total) {
                *error = which + " has state " + std::to_string(s.number) + " of only " +
                         std::to_string(first.total);
                return false;
            }
            if (seen[s.number - 1]++ != 0) {
                *error = "state " + std::to_string(s.number) + " is in more than one report";
                return false;
            }
            merged->records.push_back(s);
        }
    }
    const std::string unclaimed = host::unclaimedInReports(seen, "states");
    if (!unclaimed.empty()) {
        *error = unclaimed;
        return false;
    }
    std::sort(merged->records.begin(), merged->records.end(),
              [](const StateRecord& a, const StateRecord& b) { return a.number < b.number; });
    return true;
}

}  // namespace board
