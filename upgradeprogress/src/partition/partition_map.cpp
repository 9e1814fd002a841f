// Partition name to eMMC device. The match order decides which partition wins
// when a name contains more than one partition name: tvservice first, optfs
// last.
#include <string>

#include "ground.h"
#include "partition.h"

namespace {

// Built before main runs and never changed afterwards.
const std::string m_optfsDevice = ota_paths::kOptfsDevice;
const std::string m_usrfsDevice = ota_paths::kUsrfsDevice;
const std::string m_serialsdataDevice = ota_paths::kSerialsdataDevice;
const std::string m_tvserviceDevice = ota_paths::kTvserviceDevice;

struct PartitionRow {
    const char* name;
    const std::string* device;
};

const PartitionRow kPartitionMap[] = {
    {ota_paths::kTvservice, &m_tvserviceDevice},
    {ota_paths::kUsrfs, &m_usrfsDevice},
    {ota_paths::kSerialsdata, &m_serialsdataDevice},
    {ota_paths::kOptfs, &m_optfsDevice},
};

}  // namespace

int getLoadEmmcNum(const std::string& name, std::string& device) {
    for (const PartitionRow& row : kPartitionMap) {
        if (name.find(row.name) != std::string::npos) {
            device = *row.device;
            return 1;
        }
    }
    return 0;
}
