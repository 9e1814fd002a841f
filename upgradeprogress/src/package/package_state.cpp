// The state of one upgrade that the list runner and the item actions share.
// Worker thread only; the worker resets the counters before each run.
#include "package.h"

int m_totalItemNum = 0;
int m_curItemNum = 0;
bool isNeedCheck = false;
bool isUpgraded = false;
std::string m_totalFileName;
void* m_archiveHandle = nullptr;

namespace {

std::vector<std::string> listPaths(const char* dir,
                                   const char* const (&partitions)[ota_format::kPartitionCount]) {
    std::vector<std::string> paths;
    for (const char* partition : partitions) {
        paths.push_back(std::string(dir) + ota_format::kListPrefix + partition +
                        ota_format::kListSuffix);
    }
    return paths;
}

}  // namespace

const std::vector<std::string> m_checkdir = {ota_paths::kPatchDir, ota_paths::kOriginalDir,
                                             ota_paths::kUpdateDir, ota_paths::kListDir};
const std::vector<std::string> m_updateListFile =
    listPaths(ota_paths::kListDir, ota_format::kRunOrder);
const std::vector<std::string> m_unzipUpdateListFile =
    listPaths(ota_format::kEntryDir, ota_format::kExtractOrder);

std::map<std::string, std::string> m_updateListText;
UpgradeFailure_T m_failure;
int m_partitionWrites = 0;
std::vector<std::pair<std::string, double>> m_listSeconds;
