#include "verify_report.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "verify.h"
#include "batch_shard.h"
#include "report_fields.h"

namespace mpp {

namespace {

const char kMagic[] = "make-patch-package verify report 1";
const char kUpgrades[] = "upgrades";

const char* endingName(CutEnding e) {
    switch (e) {
        case CutEnding::Survived:
            return "survived";
        case CutEnding::PackageLeft:
            return "survived-package-left";
        case CutEnding::Lost:
            break;
    }
    return "lost";
}

bool endingOf(const std::string& name, CutEnding* out) {
    for (CutEnding e : {CutEnding::Survived, CutEnding::PackageLeft, CutEnding::Lost}) {
        if (name == endingName(e)) {
            *out = e;
            return true;
        }
    }
    return false;
}

bool number(const std::string& text, long* out) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = strtol(text.c_str(), nullptr, 10);
    return true;
}

// A device call count as the summary shows it: -1 when the run never said.
bool calls(const std::string& text, long* out) {
    if (text == "-1") {
        *out = -1;
        return true;
    }
    return number(text, out);
}

bool seconds(const std::string& text, double* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    *out = strtod(text.c_str(), &end);
    return errno == 0 && *end == '\0' && *out >= 0;
}

std::string fixed(double value, int decimals) {
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The cuts a run's header chooses; false when --cuts is not one a sweep takes.
bool plannedFor(const VerifyRun& run, std::vector<PlannedCut>* planned) {
    long cuts = 0;
    if (run.cutsAsked == "every") {
        cuts = -1;
    } else if (!number(run.cutsAsked, &cuts) || cuts == 0) {
        return false;
    }
    *planned = planCuts(cuts, 0, run.bases);
    return true;
}

}  // namespace

std::vector<long> cutPoints(long cuts, long deviceCalls) {
    std::vector<long> points;
    if (deviceCalls <= 0 || cuts == 0) return points;
    if (cuts < 0 || cuts >= deviceCalls) {
        for (long k = 1; k <= deviceCalls; ++k)
            points.push_back(k);
        return points;
    }
    if (cuts == 1) return {deviceCalls};
    for (long i = 0; i < cuts; ++i) {
        long k = 1 + (deviceCalls - 1) * i / (cuts - 1);
        if (points.empty() || points.back() != k) points.push_back(k);
    }
    return points;
}

std::vector<PlannedCut> planCuts(long cuts, long cutAt, const std::vector<VerifiedBase>& bases) {
    std::vector<PlannedCut> planned;
    for (size_t i = 0; i < bases.size(); ++i) {
        if (bases[i].verdict != kUpgrades) continue;
        const std::vector<long> points =
            cutAt > 0 ? std::vector<long>{cutAt} : cutPoints(cuts, bases[i].deviceCalls);
        for (long k : points)
            planned.push_back({i, k});
    }
    return planned;
}

int printVerifySummary(const VerifyRun& run, FILE* out) {
    bool allGood = true;
    int verdictWidth = 18;
    for (const VerifiedBase& b : run.bases)
        verdictWidth = std::max(verdictWidth, static_cast<int>(b.verdict.size()));
    fprintf(out, "\n%-40s %-*s %8s %8s  %s\n", "base", verdictWidth, "verdict", "seconds", "calls",
            "cuts");
    for (size_t i = 0; i < run.bases.size(); ++i) {
        const VerifiedBase& b = run.bases[i];
        long tried = 0, survived = 0;
        std::string left;
        for (const CutRecord& cut : run.cuts) {
            if (cut.base != i) continue;
            ++tried;
            if (cut.ending != CutEnding::Lost) ++survived;
            if (cut.ending == CutEnding::PackageLeft)
                left += (left.empty() ? "" : ", ") + std::to_string(cut.deviceCall);
        }
        const std::string cutsText = tried == 0 ? "-"
                                                : std::to_string(survived) + " of " +
                                                      std::to_string(tried) + " cuts survived";
        fprintf(out, "%-40s %-*s %8.1f %8ld  %s\n", b.dir.c_str(), verdictWidth, b.verdict.c_str(),
                b.seconds, b.deviceCalls, cutsText.c_str());
        if (!b.detail.empty() && b.verdict != kUpgrades) fprintf(out, "    %s\n", b.detail.c_str());
        for (const CutRecord& cut : run.cuts) {
            if (cut.base != i || cut.ending != CutEnding::Lost) continue;
            fprintf(out, "    cut at device call %ld (%s)\n      reproduce: %s\n", cut.deviceCall,
                    cut.reason.c_str(), cut.reproduce.c_str());
        }
        // The set boots its new images either way; a package left behind
        // only costs /OAD its space until the next download replaces it.
        if (!left.empty()) {
            fprintf(out,
                    "    note: after the cuts at device calls %s the set upgraded but /OAD still "
                    "holds the package\n",
                    left.c_str());
        }
        allGood = allGood && b.verdict == kUpgrades && survived == tried;
    }
    if (run.reports > 1) {
        fprintf(out, "cut sweep: %zu cuts in %.1f s, added up over %zu shards\n", run.cuts.size(),
                run.sweepSeconds, run.reports);
    } else if (run.shard.count > 1 && run.total > 0) {
        fprintf(out, "cut sweep: shard %zu/%zu, %zu of %ld cuts in %.1f s\n", run.shard.index,
                run.shard.count, run.cuts.size(), run.total, run.sweepSeconds);
    } else if (run.total > 0) {
        fprintf(out, "cut sweep: %zu cuts in %.1f s\n", run.cuts.size(), run.sweepSeconds);
    }
    fprintf(out, "%s\n",
            allGood ? "verify: every base upgrades" : "verify: NOT every base upgrades");
    return allGood ? 0 : 1;
}

bool writeVerifyReport(const std::string& path, const VerifyRun& run, std::string* error) {
    std::ostringstream out;
    out << kMagic << "\n"
        << "package\t" << host::escapedField(run.package) << "\n"
        << "sha256\t" << run.packageSha256 << "\n"
        << "cuts\t" << run.cutsAsked << "\n"
        << "total\t" << run.total << "\n"
        << "shard\t" << run.shard.index << "/" << run.shard.count << "\n"
        << "sweep\t" << fixed(run.sweepSeconds, 3) << "\n";
    for (size_t i = 0; i < run.bases.size(); ++i) {
        const VerifiedBase& b = run.bases[i];
        out << "base\t" << i + 1 << "\t" << host::escapedField(b.dir) << "\t" << b.images << "\t"
            << host::escapedField(b.verdict) << "\t" << b.deviceCalls << "\t" << fixed(b.seconds, 3)
            << "\t" << host::escapedField(b.detail) << "\n";
    }
    for (const CutRecord& cut : run.cuts) {
        out << "cut\t" << cut.number << "\t" << cut.base + 1 << "\t" << cut.deviceCall << "\t"
            << endingName(cut.ending) << "\t" << host::escapedField(cut.reason) << "\t"
            << host::escapedField(cut.reproduce) << "\n";
    }
    return host::writeReportFile(path, out.str(), error);
}

bool readVerifyReport(const std::string& path, VerifyRun* run, std::string* error) {
    std::ifstream file;
    if (!host::openReportFile(path, kMagic, "a verify report", &file, error)) {
        return false;
    }
    *run = VerifyRun();
    std::string line;
    enum { kPackage, kSha, kCuts, kTotal, kShard, kSweep, kHeaderFields };
    bool seen[kHeaderFields] = {};
    size_t lineNo = 1;
    while (std::getline(file, line)) {
        ++lineNo;
        const std::vector<std::string> f = host::splitTabs(line);
        const std::string at = path + ":" + std::to_string(lineNo) + ": ";
        long n = 0;
        if (f[0] == "cut" && f.size() == 7) {
            CutRecord cut;
            if (!number(f[1], &cut.number) || cut.number == 0 || !number(f[2], &n) || n == 0 ||
                !number(f[3], &cut.deviceCall) || !endingOf(f[4], &cut.ending) ||
                !host::unescapedField(f[5], &cut.reason) ||
                !host::unescapedField(f[6], &cut.reproduce)) {
                *error = at + "bad cut line";
                return false;
            }
            cut.base = static_cast<size_t>(n - 1);
            run->cuts.push_back(cut);
        } else if (f[0] == "base" && f.size() == 8) {
            VerifiedBase b;
            if (!number(f[1], &n) || static_cast<size_t>(n) != run->bases.size() + 1 ||
                !host::unescapedField(f[2], &b.dir) || !host::unescapedField(f[4], &b.verdict) ||
                !calls(f[5], &b.deviceCalls) || !seconds(f[6], &b.seconds) ||
                !host::unescapedField(f[7], &b.detail) || !run->cuts.empty()) {
                *error = at + "bad base line";
                return false;
            }
            b.images = f[3];
            run->bases.push_back(b);
        } else if (f.size() == 2 && f[0] == "package" &&
                   host::unescapedField(f[1], &run->package)) {
            seen[kPackage] = true;
        } else if (f.size() == 2 && f[0] == "sha256" && f[1].size() == 64 &&
                   f[1].find_first_not_of("0123456789abcdef") == std::string::npos) {
            run->packageSha256 = f[1];
            seen[kSha] = true;
        } else if (f.size() == 2 && f[0] == "cuts") {
            run->cutsAsked = f[1];
            seen[kCuts] = true;
        } else if (f.size() == 2 && f[0] == "total" && number(f[1], &run->total)) {
            seen[kTotal] = true;
        } else if (f.size() == 2 && f[0] == "shard" && host::parseShard(f[1], &run->shard, error)) {
            seen[kShard] = true;
        } else if (f.size() == 2 && f[0] == "sweep" && seconds(f[1], &run->sweepSeconds)) {
            seen[kSweep] = true;
        } else {
            *error = at + "unexpected line";
            return false;
        }
    }
    if (std::find(std::begin(seen), std::end(seen), false) != std::end(seen)) {
        *error = path + " lacks part of its header";
        return false;
    }
    // The numbers must be the ones the header's sweep gives its cuts.
    std::vector<PlannedCut> planned;
    if (!plannedFor(*run, &planned)) {
        *error = path + ": '" + run->cutsAsked + "' is not a --cuts of a sweep";
        return false;
    }
    if (static_cast<long>(planned.size()) != run->total) {
        *error = path + " counts " + std::to_string(run->total) + " cuts, its bases and --cuts " +
                 run->cutsAsked + " make " + std::to_string(planned.size());
        return false;
    }
    for (const CutRecord& cut : run->cuts) {
        if (cut.number > run->total || planned[cut.number - 1].base != cut.base ||
            planned[cut.number - 1].deviceCall != cut.deviceCall) {
            *error = path + ": cut " + std::to_string(cut.number) +
                     " is not the one its header's sweep numbers so";
            return false;
        }
    }
    return true;
}

bool mergeVerifyReports(const std::vector<VerifyRun>& reports, VerifyRun* merged,
                        std::string* error) {
    if (reports.empty()) {
        *error = "no reports";
        return false;
    }
    const VerifyRun& first = reports.front();
    *merged = first;
    merged->cuts.clear();
    merged->shard = host::Shard();
    merged->reports = reports.size();
    merged->sweepSeconds = 0;
    std::vector<size_t> seenIn(static_cast<size_t>(first.total), 0);
    for (size_t k = 0; k < reports.size(); ++k) {
        const VerifyRun& r = reports[k];
        const std::string which = "report " + std::to_string(k + 1);
        if (r.packageSha256 != first.packageSha256) {
            *error = which + " verified another package than report 1 (" + r.package + " sha256 " +
                     r.packageSha256 + ", report 1 " + first.package + " sha256 " +
                     first.packageSha256 + ")";
            return false;
        }
        if (r.bases.size() != first.bases.size()) {
            *error = which + " ran " + std::to_string(r.bases.size()) + " bases, report 1 " +
                     std::to_string(first.bases.size());
            return false;
        }
        for (size_t i = 0; i < r.bases.size(); ++i) {
            const VerifiedBase& a = first.bases[i];
            const VerifiedBase& b = r.bases[i];
            const std::string base = "base " + std::to_string(i + 1) + " (" + b.dir + ")";
            if (b.images != a.images) {
                *error =
                    which + "'s " + base + " holds other images than report 1's (" + a.dir + ")";
                return false;
            }
            if (b.verdict != a.verdict || b.deviceCalls != a.deviceCalls) {
                *error = which + "'s uncut run of " + base + " was '" + b.verdict + "' in " +
                         std::to_string(b.deviceCalls) + " device calls, report 1's '" + a.verdict +
                         "' in " + std::to_string(a.deviceCalls);
                return false;
            }
        }
        if (r.cutsAsked != first.cutsAsked || r.total != first.total) {
            *error = which + " is of --cuts " + r.cutsAsked + " (" + std::to_string(r.total) +
                     " cuts), report 1 of --cuts " + first.cutsAsked + " (" +
                     std::to_string(first.total) + ")";
            return false;
        }
        for (const CutRecord& cut : r.cuts) {
            if (cut.number <= 0 || cut.number > first.total) {
                *error = which + " has cut " + std::to_string(cut.number) + " of only " +
                         std::to_string(first.total);
                return false;
            }
            size_t& in = seenIn[static_cast<size_t>(cut.number - 1)];
            if (in != 0) {
                *error = "cut " + std::to_string(cut.number) + " is in report " +
                         std::to_string(in) + " and " + which;
                return false;
            }
            in = k + 1;
            merged->cuts.push_back(cut);
        }
        merged->sweepSeconds += r.sweepSeconds;
    }
    const std::string unclaimed = host::unclaimedInReports(seenIn, "cuts");
    if (!unclaimed.empty()) {
        *error = unclaimed;
        return false;
    }
    std::sort(merged->cuts.begin(), merged->cuts.end(),
              [](const CutRecord& a, const CutRecord& b) { return a.number < b.number; });
    return true;
}

}  // namespace mpp
