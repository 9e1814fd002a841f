#include "progress.h"

#include <cstdio>

namespace mpp {

namespace {
constexpr int kBarWidth = 40;
}

void Progress::begin(const std::string& title) {
    std::lock_guard<std::mutex> guard(lock_);
    title_ = title;
    if (!enabled_) {
        return;
    }
    printf("%s\n", title.c_str());
    fflush(stdout);
}

void Progress::update(int done, int total) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!enabled_ || total <= 0) {
        return;
    }
    const int filled = done * kBarWidth / total;
    printf("\r  [%.*s%*s] %d/%d parts", filled, "########################################",
           kBarWidth - filled, "", done, total);
    fflush(stdout);
    open_ = true;
}

void Progress::end() {
    std::lock_guard<std::mutex> guard(lock_);
    if (enabled_ && open_) {
        printf("\n");
        fflush(stdout);
    }
    open_ = false;
}

}  // namespace mpp
