// The record of how each upgrade ended. Another program (the downloader, a
// field report) reads it; the boot stage's flags stay the only commitment.
#include "upgrade_record.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ground.h"
#include "package.h"

namespace {

constexpr char kResult[] = "result";
constexpr char kPackageSha[] = "package_sha256";
constexpr char kStarts[] = "starts";
constexpr char kFailedPartition[] = "failed_partition";
constexpr char kFailedItem[] = "failed_item";
constexpr char kMessage[] = "message";
// While a failure ending runs: the running-chain byte it writes, and
// whether it got as far as every flag byte.
constexpr char kEnding[] = "ending";
constexpr char kChainTarget[] = "chain_target";
constexpr char kEndingStarted[] = "started";
constexpr char kEndingDone[] = "done";
// Set once a start of this package passed its pre-check and began the lists.
constexpr char kWriting[] = "writing";
// Bytes 5 and 8 before this package's success ending first began, "XX,YY".
constexpr char kBeforeSuccess[] = "flags_before_success";
constexpr char kYes[] = "yes";

ResultRecord_T g_record;

std::string packageSha256() {
    const int fd = openReadable(ota_paths::kPackage);
    if (fd < 0) {
        return std::string();
    }
    StreamResult_T read;
    const bool hashed = streamChunks(fd, 0, kWholeStream, StreamHash::Sha256, nullptr, &read);
    close(fd);
    return hashed ? hexDigest(read.digest) : std::string();
}

bool endingInterrupted(const ResultRecord_T& record) {
    return resultValue(record, kEnding) == kEndingStarted &&
           !resultValue(record, kChainTarget).empty();
}

void save() {
    if (writeResultRecord(ota_paths::kLastResult, g_record) != 0) {
        OTA_LOG("cannot write %s.\n", ota_paths::kLastResult);
    }
}

}  // namespace

void recordStart() {
    const ResultRecord_T previous = readResultRecord(ota_paths::kLastResult);
    const std::string sha = packageSha256();
    // A failure ending cut short: its package is gone (or, cut before the
    // removal, still the same one). Its record stays until the ending is
    // finished, so that the chain byte is toggled once.
    if (endingInterrupted(previous) && (sha.empty() || sha == resultValue(previous, kPackageSha))) {
        g_record = previous;
        const long starts = atol(resultValue(g_record, kStarts).c_str());
        setResultValue(g_record, kStarts, std::to_string(starts + 1));
        save();
        return;
    }
    long starts = 1;
    const bool samePackage = !sha.empty() && sha == resultValue(previous, kPackageSha);
    if (samePackage) {
        starts = atol(resultValue(previous, kStarts).c_str()) + 1;
    }
    g_record.clear();
    setResultValue(g_record, kResult, "in progress");
    setResultValue(g_record, kPackageSha, sha);
    setResultValue(g_record, kStarts, std::to_string(starts));
    if (samePackage && resultValue(previous, kWriting) == kYes) {
        setResultValue(g_record, kWriting, kYes);
    }
    if (samePackage && !resultValue(previous, kBeforeSuccess).empty()) {
        setResultValue(g_record, kBeforeSuccess, resultValue(previous, kBeforeSuccess));
    }
    save();
}

void recordWritingBegins() {
    if (resultValue(g_record, kWriting) != kYes) {
        setResultValue(g_record, kWriting, kYes);
        save();
    }
}

bool writingBegan() {
    return resultValue(g_record, kWriting) == kYes;
}

void recordPhase(const std::string& phase, double seconds) {
    char text[32];
    snprintf(text, sizeof text, "%.3f", seconds);
    setResultValue(g_record, "seconds_" + phase, text);
}

void recordEnding(const char* result) {
    const bool upgraded = strcmp(result, "upgraded") == 0;
    if (endingInterrupted(g_record)) {
        if (!upgraded) {
            return;  // the interrupted ending's own result stands
        }
        // The ending was cut before it removed the package, so before any
        // flag byte: this start ran the package again and upgraded the set.
        // What the record said of the ending no longer holds.
        for (const char* key :
             {kEnding, kChainTarget, kFailedPartition, kFailedItem, kMessage}) {
            dropResultValue(g_record, key);
        }
    }
    setResultValue(g_record, kResult, result);
    if (!m_failure.message.empty()) {
        setResultValue(g_record, kFailedPartition, m_failure.partition);
        setResultValue(g_record, kFailedItem, m_failure.item);
        setResultValue(g_record, kMessage, m_failure.message);
    }
    for (const auto& list : m_listSeconds) {
        recordPhase("list_" + list.first, list.second);
    }
    save();
}

unsigned char chainTargetForEnding(unsigned char (*fresh)()) {
    if (endingInterrupted(g_record)) {
        const int target = atoi(resultValue(g_record, kChainTarget).c_str());
        OTA_LOG("a failure ending was cut short: the running chain byte gets %d again.\n", target);
        return static_cast<unsigned char>(target);
    }
    const unsigned char target = fresh();
    setResultValue(g_record, kChainTarget, std::to_string(target));
    setResultValue(g_record, kEnding, kEndingStarted);
    save();
    OTA_LOG("the failure ending writes %d to the running chain byte.\n", target);
    return target;
}

void recordEndingDone() {
    setResultValue(g_record, kEnding, kEndingDone);
    save();
}

void recordBytesBeforeSuccess(SuccessBytes_T bytes) {
    // The first time only: a later start of the same package finds the
    // bytes an interrupted success ending wrote, not the set's own.
    if (!resultValue(g_record, kBeforeSuccess).empty()) {
        return;
    }
    char text[8];
    snprintf(text, sizeof text, "%02X,%02X", bytes.byte5, bytes.byte8);
    setResultValue(g_record, kBeforeSuccess, text);
    save();
}

bool bytesBeforeSuccess(SuccessBytes_T* bytes) {
    const std::string text = resultValue(g_record, kBeforeSuccess);
    unsigned int byte5 = 0, byte8 = 0;
    char end = 0;
    if (text.size() != 5 || sscanf(text.c_str(), "%2X,%2X%c", &byte5, &byte8, &end) != 2) {
        return false;
    }
    bytes->byte5 = static_cast<unsigned char>(byte5);
    bytes->byte8 = static_cast<unsigned char>(byte8);
    return true;
}
