#include "verify_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "file_util.h"
#include "ground.h"

namespace mpp {

namespace {

// The program's record is a few hundred bytes; show no more than this of one.
constexpr size_t kShownBytes = 65536;

// The set's /var/local lies in SETDIR/var-local, as the sandbox runner lays it.
std::string recordPath(const std::string& setDir) {
    const std::string varLocal = "/var/local/";
    return setDir + "/var-local/" + (ota_paths::kLastResult + varLocal.size());
}

}  // namespace

SetRecord readSetRecord(const std::string& setDir) {
    SetRecord record;
    const std::string path = recordPath(setDir);
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) return record;
    record.present = true;
    std::string text;
    char buf[4096];
    while (text.size() < kShownBytes) {
        ssize_t got = read(fd.get(), buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buf, static_cast<size_t>(got));
    }
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        record.lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    // The result as a reader on the set takes it, not as the lines look.
    record.result = resultValue(readResultRecord(path.c_str()), "result");
    return record;
}

}  // namespace mpp
