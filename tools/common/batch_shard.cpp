#include "batch_shard.h"

#include <cerrno>
#include <cstdlib>

namespace host {

namespace {

bool parseCount(const char* text, unsigned long long* out) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *out = value;
    return true;
}

// `position` counted from 0.
bool setShard(unsigned long long position, unsigned long long count, const std::string& from,
              Shard* out, std::string* error) {
    if (count == 0) {
        *error = from + ": no shard count";
        return false;
    }
    if (position >= count) {
        *error =
            from + ": shard " + std::to_string(position + 1) + " of only " + std::to_string(count);
        return false;
    }
    out->index = static_cast<size_t>(position + 1);
    out->count = static_cast<size_t>(count);
    return true;
}

}  // namespace

bool parseShard(const std::string& text, Shard* out, std::string* error) {
    const size_t slash = text.find('/');
    unsigned long long index = 0, count = 0;
    if (slash == std::string::npos || !parseCount(text.substr(0, slash).c_str(), &index) ||
        !parseCount(text.substr(slash + 1).c_str(), &count) || index == 0) {
        *error = "'" + text + "' is not I/N with I counted from 1";
        return false;
    }
    return setShard(index - 1, count, "--shard " + text, out, error);
}

bool shardFromEnvironment(const std::function<const char*(const char*)>& getEnv, size_t shards,
                          Shard* out, bool* found, std::string* error) {
    *found = true;
    unsigned long long index = 0, count = 0, min = 0;
    if (const char* node = getEnv("CI_NODE_INDEX")) {
        const char* total = getEnv("CI_NODE_TOTAL");
        if (!parseCount(node, &index) || index == 0) {
            *error = std::string("CI_NODE_INDEX '") + node + "' is not counted from 1";
            return false;
        }
        if (!parseCount(total, &count)) {
            *error = "CI_NODE_INDEX without a CI_NODE_TOTAL";
            return false;
        }
        if (shards != 0 && shards != count) {
            *error = "--shards " + std::to_string(shards) + " but CI_NODE_TOTAL " +
                     std::to_string(count);
            return false;
        }
        return setShard(index - 1, count, "CI_NODE_INDEX", out, error);
    }
    if (const char* task = getEnv("SLURM_ARRAY_TASK_ID")) {
        if (!parseCount(task, &index) || !parseCount(getEnv("SLURM_ARRAY_TASK_MIN"), &min) ||
            index < min) {
            *error = "SLURM_ARRAY_TASK_ID without a SLURM_ARRAY_TASK_MIN at or below it";
            return false;
        }
        return setShard(index - min, shards, "SLURM_ARRAY_TASK_ID (needs --shards N)", out, error);
    }
    if (const char* completion = getEnv("JOB_COMPLETION_INDEX")) {
        if (!parseCount(completion, &index)) {
            *error = std::string("JOB_COMPLETION_INDEX '") + completion + "' is not a number";
            return false;
        }
        return setShard(index, shards, "JOB_COMPLETION_INDEX (needs --shards N)", out, error);
    }
    *found = false;
    return true;
}

bool chooseShard(const Shard* given, size_t shards, bool writesReport,
                 const std::function<const char*(const char*)>& getEnv, Shard* out,
                 std::string* error) {
    if (given != nullptr) {
        if (shards != 0 && shards != given->count) {
            *error = "--shard " + std::to_string(given->index) + "/" +
                     std::to_string(given->count) + " and --shards " + std::to_string(shards) +
                     " disagree";
            return false;
        }
        *out = *given;
        return true;
    }
    *out = Shard();
    if (shards == 0 && !writesReport) return true;
    // One job of a batch: the engine says which.
    bool found = false;
    if (!shardFromEnvironment(getEnv, shards, out, &found, error)) return false;
    if (!found && shards != 0) {
        *error = "--shards " + std::to_string(shards) +
                 " but no --shard I/N, CI_NODE_INDEX, SLURM_ARRAY_TASK_ID or JOB_COMPLETION_INDEX";
        return false;
    }
    return true;
}

std::string unclaimedInReports(const std::vector<size_t>& seen, const std::string& plural) {
    std::string missing;
    size_t missed = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        if (seen[i] != 0) continue;
        if (++missed <= 10) missing += (missing.empty() ? "" : ", ") + std::to_string(i + 1);
    }
    if (missed == 0) return "";
    return std::to_string(missed) + " of " + std::to_string(seen.size()) + " " + plural +
           " are in no report: " + missing + (missed > 10 ? ", ..." : "");
}

}  // namespace host
