// Progress on a terminal: a line per partition and a bar over its parts.
// Silent when standard output is not a terminal, so logs and pipes stay clean.
#pragma once

#include <mutex>
#include <string>

namespace mpp {

class Progress {
public:
    explicit Progress(bool enabled) : enabled_(enabled) {}

    void begin(const std::string& title);
    void update(int done, int total);
    void end();

private:
    bool enabled_;
    bool open_ = false;
    std::mutex lock_;
    std::string title_;
};

}  // namespace mpp
