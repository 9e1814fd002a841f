#include "manifest.h"

#include <initializer_list>

#include "package.h"

namespace mpp {

namespace {

// Joins `fields` with the list separator and ends the line.
std::string manifestLine(std::initializer_list<std::string> fields) {
    std::string line;
    for (const std::string& field : fields) {
        if (!line.empty()) {
            line += ota_format::kFieldSeparator;
        }
        line += field;
    }
    return line + '\n';
}

}  // namespace

std::string manifestText(const std::vector<PartitionPlan_T>& plans, long long release) {
    using std::to_string;
    std::string text =
        manifestLine({ota_format::kManifestVersionKey, to_string(ota_format::kManifestVersion)});
    text += manifestLine({ota_format::kManifestReleaseKey, to_string(release)});
    for (const PartitionPlan_T& plan : plans) {
        // A whole image is written whatever the partition holds: the package
        // is built on no installed image there.
        if (!plan.whole) {
            text += manifestLine({ota_format::kManifestImageKey, plan.partition,
                                  ota_format::kManifestBase, to_string(plan.oldSize), plan.oldMd5});
        }
        text += manifestLine({ota_format::kManifestImageKey, plan.partition,
                              ota_format::kManifestNew, to_string(plan.newSize), plan.newMd5});
        for (const PartItem_T& item : plan.items) {
            if (item.kind != ItemKind::kUpdate && item.kind != ItemKind::kChkSync) {
                continue;
            }
            text += manifestLine({ota_format::kManifestPartKey, item.fileName,
                                  to_string(item.offset), to_string(item.baseLength), item.baseMd5,
                                  to_string(item.length), item.checkSum});
        }
    }
    return text;
}

}  // namespace mpp
