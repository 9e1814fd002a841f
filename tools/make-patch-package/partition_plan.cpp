#include "partition_plan.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "bsdiff_gen.h"
#include "child_process.h"
#include "file_util.h"
#include "interrupt.h"
#include "md5_digest.h"
#include "package.h"

namespace mpp {

namespace {

constexpr long long kPartSize = static_cast<long long>(ota_format::kPartSize);

long long partCount(long long size) {
    return (size + kPartSize - 1) / kPartSize;
}

long long partLength(long long size, int index) {
    const long long start = static_cast<long long>(index) * kPartSize;
    if (start >= size) {
        return 0;
    }
    return std::min(kPartSize, size - start);
}

std::string md5OfRange(int fd, long long offset, long long length, std::string* error) {
    Md5Digest digest;
    std::vector<char> buffer(1 << 20);
    while (length > 0) {
        const size_t chunk = static_cast<size_t>(std::min<long long>(length, buffer.size()));
        if (!readAt(fd, buffer.data(), chunk, static_cast<off_t>(offset))) {
            *error = "short read";
            return std::string();
        }
        digest.update(buffer.data(), chunk);
        offset += static_cast<long long>(chunk);
        length -= static_cast<long long>(chunk);
    }
    return digest.hex();
}

// The MD5 of a whole image from its parts, which the workers read in any
// order: each part is hashed once every part before it has been, so the image
// is read only once, by the workers. Workers take parts in increasing order,
// so a wait lasts at most as long as an earlier part takes to be read.
class OrderedDigest {
public:
    // False when the digest was abandoned before part `index` came up.
    bool feed(int index, const void* data, size_t size) {
        std::unique_lock<std::mutex> guard(lock_);
        turn_.wait(guard, [this, index] { return next_ == index || abandoned_; });
        if (abandoned_) {
            return false;
        }
        digest_.update(data, size);
        ++next_;
        turn_.notify_all();
        return true;
    }
    // Releases every worker waiting for a part that will never be fed.
    void abandon() {
        std::lock_guard<std::mutex> guard(lock_);
        abandoned_ = true;
        turn_.notify_all();
    }
    std::string hex() { return digest_.hex(); }

private:
    std::mutex lock_;
    std::condition_variable turn_;
    int next_ = 0;
    bool abandoned_ = false;
    Md5Digest digest_;
};

struct PartSources_T {
    const PlanContext_T* context;
    const PartitionPlan_T* plan;
    int oldFd;
    int newFd;
    OrderedDigest* oldImage;
};

std::string makePatchFile(const PlanContext_T& context, const std::vector<char>& oldBytes,
                          const std::vector<char>& newBytes, const std::string& oldFile,
                          const std::string& newFile, const std::string& patchFile) {
    if (context.diff == DiffTool::kDebianBsdiff) {
        const int made = runChild({context.bsdiff, oldFile, newFile, patchFile});
        return made == 0 ? std::string() : "bsdiff failed (status " + std::to_string(made) + ")";
    }
    std::vector<uint8_t> patch;
    const std::string error = bsdiff_gen::makePatch(
        reinterpret_cast<const uint8_t*>(oldBytes.data()), oldBytes.size(),
        reinterpret_cast<const uint8_t*>(newBytes.data()), newBytes.size(), &patch);
    if (!error.empty()) {
        return "the patch maker failed (" + error + ")";
    }
    if (!writeWholeFile(patchFile, patch.data(), patch.size())) {
        return "cannot write the patch";
    }
    return std::string();
}

// Makes a patch for one changed part and proves it: the set's applier, run
// on the installed part, must give exactly the new part.
std::string makeCheckedPatch(const PartSources_T& src, const std::vector<char>& oldBytes,
                             const std::vector<char>& newBytes, PartItem_T* item) {
    const std::string base = src.context->workDir + "/" + item->fileName;
    const std::string oldFile = base + ".old";
    const std::string newFile = base + ".new";
    const std::string outFile = base + ".out";
    const std::string patchFile = base + ".patch";
    struct Cleanup {
        std::vector<std::string> paths;
        ~Cleanup() {
            for (const std::string& path : paths) {
                unlink(path.c_str());
            }
        }
    } cleanup{{oldFile, newFile, outFile}};

    // The applier check reads the old part from a file; only Debian's bsdiff
    // needs the new part as a file too.
    const bool newAsFile = src.context->diff == DiffTool::kDebianBsdiff;
    if (!writeWholeFile(oldFile, oldBytes.data(), oldBytes.size()) ||
        (newAsFile && !writeWholeFile(newFile, newBytes.data(), newBytes.size()))) {
        return "cannot write the parts of " + item->fileName + " to " + src.context->workDir;
    }
    const std::string madeError =
        makePatchFile(*src.context, oldBytes, newBytes, oldFile, newFile, patchFile);
    if (!madeError.empty()) {
        unlink(patchFile.c_str());
        return madeError + " on " + item->fileName;
    }
    const long long patchSize = regularFileSize(patchFile);
    if (patchSize <= 0) {
        unlink(patchFile.c_str());
        return "no patch was made for " + item->fileName;
    }
    if (patchSize >= item->length ||
        bsdiff_gen::deflatesBelow(reinterpret_cast<const uint8_t*>(newBytes.data()),
                                  newBytes.size(), static_cast<size_t>(patchSize))) {
        // Carrying the part whole (deflated in the package) is smaller and
        // needs no installed content.
        unlink(patchFile.c_str());
        item->kind = ItemKind::kCreate;
        return std::string();
    }
    const int applied =
        runChild({src.context->checker, "--check-patch", oldFile, outFile, patchFile});
    if (applied != 0) {
        unlink(patchFile.c_str());
        return "the applier refused the patch of " + item->fileName + " (status " +
               std::to_string(applied) + ")";
    }
    if (md5OfFile(outFile) != item->checkSum) {
        unlink(patchFile.c_str());
        return "the patch of " + item->fileName + " does not rebuild the new part";
    }
    item->kind = ItemKind::kUpdate;
    item->patchPath = patchFile;
    item->patchSize = patchSize;
    item->patchMd5 = md5OfFile(patchFile);
    return std::string();
}

std::string planPart(const PartSources_T& src, int index, PartItem_T* item) {
    const PartitionPlan_T& plan = *src.plan;
    const long long oldLength = partLength(plan.oldSize, index);
    const long long newLength = partLength(plan.newSize, index);
    const off_t offset = static_cast<off_t>(index) * static_cast<off_t>(kPartSize);
    item->index = index;
    item->fileName = partName(plan.partition, index);
    item->offset = static_cast<long long>(offset);

    std::vector<char> oldBytes(static_cast<size_t>(oldLength));
    std::vector<char> newBytes(static_cast<size_t>(newLength));
    if (oldLength > 0 && !readAt(src.oldFd, oldBytes.data(), oldBytes.size(), offset)) {
        return "cannot read " + item->fileName + " from " + plan.oldPath;
    }
    if (newLength > 0 && !readAt(src.newFd, newBytes.data(), newBytes.size(), offset)) {
        return "cannot read " + item->fileName + " from " + plan.newPath;
    }
    if (!src.oldImage->feed(index, oldBytes.data(), oldBytes.size())) {
        return "stopped";  // another part failed first; its reason is reported
    }
    if (newLength == 0) {
        // Past the end of the new image: the set only logs it.
        item->kind = ItemKind::kDelete;
        item->length = oldLength;
        item->checkSum = md5Hex(oldBytes.data(), oldBytes.size());
        return std::string();
    }
    item->length = newLength;
    item->checkSum = md5Hex(newBytes.data(), newBytes.size());
    if (oldLength == 0) {
        item->kind = ItemKind::kCreate;
        return std::string();
    }
    if (oldBytes == newBytes) {
        item->kind = ItemKind::kChkSync;
        item->baseLength = newLength;
        item->baseMd5 = item->checkSum;
        return std::string();
    }
    if (oldLength != newLength) {
        // A part whose length changes is carried whole. Once written, its
        // staged copy on a resumed run is neither the old part nor the new
        // one, so a patch could never be applied to it again; a whole part
        // is simply written again.
        item->kind = ItemKind::kCreate;
        return std::string();
    }
    const std::string error = makeCheckedPatch(src, oldBytes, newBytes, item);
    if (error.empty() && item->kind == ItemKind::kUpdate) {
        item->baseLength = oldLength;
        item->baseMd5 = md5Hex(oldBytes.data(), oldBytes.size());
    }
    return error;
}

ListLine_T lineOf(const PartItem_T& item) {
    ListLine_T line;
    line.fileName = item.fileName;
    line.checkSum = item.checkSum;
    switch (item.kind) {
        case ItemKind::kChkSync:
            line.upgradMode = ota_format::kChkSync;
            break;
        case ItemKind::kUpdate:
            line.upgradMode = ota_format::kUpdate;
            line.offset = item.offset;
            break;
        case ItemKind::kCreate:
            line.upgradMode = ota_format::kCreate;
            line.offset = item.offset;
            break;
        case ItemKind::kDelete:
            line.upgradMode = ota_format::kDelete;
            break;
        case ItemKind::kEntotal:
            line.upgradMode = ota_format::kEntotal;
            line.fileSize = item.length;
            line.offset = item.offset;
            break;
    }
    return line;
}

std::string checkLines(const PartitionPlan_T& plan) {
    for (const ListLine_T& line : plan.lines) {
        const std::string reason = checkListLine(line);
        if (!reason.empty()) {
            return plan.partition + ": " + reason;
        }
    }
    return std::string();
}

std::string planSplit(const PlanContext_T& context, PartitionPlan_T& plan, int oldFd, int newFd,
                      const PartProgress& progress) {
    const long long oldParts = partCount(plan.oldSize);
    const long long newParts = partCount(plan.newSize);
    const long long parts = std::max(oldParts, newParts);
    if (parts > ota_format::kMaxParts) {
        return plan.partition + ": " + std::to_string(parts) + " parts, at most " +
               std::to_string(ota_format::kMaxParts) + " can be named";
    }

    ListLine_T total;
    total.upgradMode = ota_format::kTotal;
    total.fileName = plan.partition;
    total.checkSum = plan.newMd5;
    // The set stages this many installed bytes and compares the MD5 of this
    // many leading partition bytes with the new image.
    total.fileSize = plan.oldSize;
    total.offset = plan.newSize;
    plan.lines.push_back(total);
    // Refuse before the long work, not after it.
    std::string reason = checkLines(plan);
    if (!reason.empty()) {
        return reason;
    }

    plan.items.assign(static_cast<size_t>(parts), PartItem_T());
    if (progress) {
        progress(0, static_cast<int>(parts));
    }
    OrderedDigest oldImage;
    const PartSources_T sources{&context, &plan, oldFd, newFd, &oldImage};
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::mutex lock;
    std::string firstError;
    int done = 0;
    // Called with `lock` held. A worker that stops leaves its part unhashed,
    // so the workers waiting to hash later parts are let go.
    auto fail = [&](const std::string& error) {
        if (!failed.exchange(true)) {
            firstError = error;
        }
        oldImage.abandon();
    };
    auto work = [&]() {
        for (;;) {
            const int index = next.fetch_add(1);
            if (index >= parts || failed.load()) {
                if (index < parts) {
                    oldImage.abandon();
                }
                return;
            }
            if (interrupted()) {
                std::lock_guard<std::mutex> guard(lock);
                fail("interrupted");
                return;
            }
            const std::string error = planPart(sources, index, &plan.items[index]);
            std::lock_guard<std::mutex> guard(lock);
            if (!error.empty()) {
                fail(error);
                return;
            }
            ++done;
            if (progress) {
                progress(done, static_cast<int>(parts));
            }
        }
    };
    const int workers =
        static_cast<int>(std::max<long long>(1, std::min<long long>(context.jobs, parts)));
    std::vector<std::thread> threads;
    for (int i = 1; i < workers; ++i) {
        threads.emplace_back(work);
    }
    work();
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (failed.load()) {
        return plan.partition + ": " + firstError;
    }
    plan.oldMd5 = oldImage.hex();
    for (const PartItem_T& item : plan.items) {
        plan.lines.push_back(lineOf(item));
    }
    return checkLines(plan);
}

}  // namespace

std::string wholeImageName(const std::string& partition) {
    return partition + ".img";
}

std::string planPartition(const PlanContext_T& context, PartitionPlan_T& plan,
                          const PartProgress& progress) {
    plan.items.clear();
    plan.lines.clear();
    if (plan.newSize <= 0) {
        return plan.partition + ": the new image " + plan.newPath + " is empty";
    }
    if (plan.newSize >= kMaxImageSize) {
        return plan.partition + ": the new image " + plan.newPath + " has " +
               std::to_string(plan.newSize) + " bytes; images must stay below 2 GiB";
    }
    if (!plan.whole && plan.oldSize >= kMaxImageSize) {
        return plan.partition + ": the installed image " + plan.oldPath + " has " +
               std::to_string(plan.oldSize) + " bytes; images must stay below 2 GiB";
    }
    UniqueFd newFd(open(plan.newPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!newFd.valid()) {
        return plan.partition + ": cannot open " + plan.newPath;
    }
    std::string error;
    plan.newMd5 = md5OfRange(newFd.get(), 0, plan.newSize, &error);
    if (plan.newMd5.empty()) {
        return plan.partition + ": cannot read " + plan.newPath + ": " + error;
    }
    if (plan.whole) {
        PartItem_T item;
        item.kind = ItemKind::kEntotal;
        item.fileName = wholeImageName(plan.partition);
        item.checkSum = plan.newMd5;
        item.length = plan.newSize;
        plan.items.push_back(item);
        plan.lines.push_back(lineOf(item));
        const std::string reason = checkLines(plan);
        if (reason.empty() && progress) {
            progress(1, 1);
        }
        return reason;
    }
    UniqueFd oldFd(open(plan.oldPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!oldFd.valid()) {
        return plan.partition + ": cannot open " + plan.oldPath;
    }
    return planSplit(context, plan, oldFd.get(), newFd.get(), progress);
}

}  // namespace mpp
