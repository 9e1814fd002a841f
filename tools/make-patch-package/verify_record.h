// The record a simulated set's program leaves of how its upgrade ended
// (/var/local/upgrade/last_result inside the set).
#pragma once

#include <string>
#include <vector>

namespace mpp {

struct SetRecord {
    bool present = false;
    std::vector<std::string> lines;  // as written, without their newlines
    std::string result;              // the value of "result", read as the set reads it
};

SetRecord readSetRecord(const std::string& setDir);

}  // namespace mpp
