// The check before success: every partition a list wrote is read back and
// compared with the MD5 its list gives for the whole new image. The item
// checks prove that each part was right when it was written; this proves
// that the partition holds the new image now, so that an item skipped as
// already done, a part no line named, or a write the device lost cannot end
// in success flags over a wrong image.
#include <cstdio>
#include <set>

#include "item_steps.h"
#include "list_line.h"
#include "package.h"
#include "partition.h"

using namespace item_steps;

namespace {

// One promise of a list: `length` bytes of the partition from `start`
// (kWholeStream: all of it) hash to `md5`.
struct ImageClaim_T {
    std::string partition;
    std::string device;
    uint64_t start;
    uint64_t length;
    std::string md5;
};

// The claims of one list: its "total" line covers the new image from the
// partition's start; an "entotal" line covers the image it writes, whose
// length the builder puts in the size field.
void collectClaims(const std::string& list, std::vector<ImageClaim_T>& claims) {
    std::string why;
    // Lines the runner refused stopped the run before this check.
    forEachListItem(
        list,
        [&claims](const CongfigItemValue_T& item) {
            const std::string mode = fieldText(item.upgradMode);
            const bool isTotal = mode == ota_format::kTotal;
            if (!isTotal && mode != ota_format::kEntotal) {
                return true;
            }
            ImageClaim_T claim;
            claim.partition = fieldText(item.fileName);
            claim.device = "/dev/zero";
            if (getLoadEmmcNum(claim.partition, claim.device) == 0) {
                return true;  // its line failed already; nothing was written for it
            }
            claim.md5 = fieldText(item.checkSum);
            if (isTotal) {
                claim.start = 0;
                claim.length = item.offset > 0 ? static_cast<uint64_t>(item.offset) : kWholeStream;
            } else {
                claim.start = item.offset > 0 ? static_cast<uint64_t>(item.offset) : 0;
                // A list written by hand may leave the size at 0: the image this
                // run wrote then gives it.
                const auto written = m_entotalWritten.find(claim.partition);
                claim.length = item.fileSize > 0 ? static_cast<uint64_t>(item.fileSize)
                               : written != m_entotalWritten.end() ? written->second
                                                                   : 0;
            }
            claims.push_back(claim);
            return true;
        },
        &why);
}

}  // namespace

int checkUpgradedPartitions() {
    std::vector<ImageClaim_T> claims;
    for (const std::string& list : m_updateListFile) {
        collectClaims(list, claims);
    }
    int failures = 0;
    for (const ImageClaim_T& claim : claims) {
        // Checked a moment ago by its "total" line, and not written since.
        if (m_upgradedAtStart.count(claim.partition) != 0) {
            continue;
        }
        if (claim.length == 0) {
            OTA_LOG("final check of %s: its list gives no image length, cannot check.\n",
                    claim.partition.c_str());
            ++failures;
            continue;
        }
        std::string actual;
        bool direct = false;
        if (!md5OfDevice(claim.device, claim.start, claim.length, &actual, &direct)) {
            OTA_LOG("final check of %s: cannot read %s.\n", claim.partition.c_str(),
                    claim.device.c_str());
            ++failures;
            continue;
        }
        if (actual != claim.md5) {
            OTA_LOG("final check of %s: %s holds %s, its list expects %s.\n",
                    claim.partition.c_str(), claim.device.c_str(), actual.c_str(),
                    claim.md5.c_str());
            m_failure = UpgradeFailure_T{claim.partition, "",
                                         "final check: " + claim.device + " holds " + actual +
                                             ", its list expects " + claim.md5};
            ++failures;
            continue;
        }
        OTA_LOG("final check of %s: %s holds its new image (%s)%s.\n", claim.partition.c_str(),
                claim.device.c_str(), actual.c_str(), direct ? "" : ", read through the cache");
    }
    return failures == 0 ? 0 : 1;
}
