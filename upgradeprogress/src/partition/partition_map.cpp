// Partition name to eMMC device. The table order decides which row wins when
// a name contains more than one partition name: tvservice first, optfs last.
#include <string>

#include "control/fixed_paths.h"
#include "partition/partition.h"

// Built before main runs and never changed afterwards.
static const std::string m_optfsDevice = ota_paths::kOptfsDevice;
static const std::string m_usrfsDevice = ota_paths::kUsrfsDevice;
static const std::string m_serialsdataDevice = ota_paths::kSerialsdataDevice;
static const std::string m_tvserviceDevice = ota_paths::kTvserviceDevice;

namespace {

struct PartitionRow {
    const char* name;
    const std::string* device;
};

const PartitionRow kPartitionMap[] = {
    {"tvservice", &m_tvserviceDevice},
    {"usrfs", &m_usrfsDevice},
    {"serialsdata", &m_serialsdataDevice},
    {"optfs", &m_optfsDevice},
};

}  // namespace

int getLoadEmmcNum(const std::string& name, std::string& device)
{
    for (const PartitionRow& row : kPartitionMap) {
        if (name.find(row.name) != std::string::npos) {
            device = *row.device;
            return 1;
        }
    }
    return 0;
}
