// The record of how the last upgrade ended: plain key=value lines in
// /var/local/upgrade/last_result, replaced whole and durably each time, so
// that a reader never sees half a record and a power cut leaves either the
// old one or the new one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "ground.h"

namespace {

// A record is a few hundred bytes; a file far larger is not ours.
constexpr uint64_t kMaxRecordBytes = 65536;

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string resultValue(const ResultRecord_T& record, const std::string& key) {
    for (const auto& field : record) {
        if (field.first == key) {
            return field.second;
        }
    }
    return std::string();
}

void setResultValue(ResultRecord_T& record, const std::string& key, const std::string& value) {
    for (auto& field : record) {
        if (field.first == key) {
            field.second = value;
            return;
        }
    }
    record.emplace_back(key, value);
}

void dropResultValue(ResultRecord_T& record, const std::string& key) {
    for (auto it = record.begin(); it != record.end(); ++it) {
        if (it->first == key) {
            record.erase(it);
            return;
        }
    }
}

ResultRecord_T readResultRecord(const char* path) {
    ResultRecord_T record;
    std::string text;
    if (!readSmallFile(path, kMaxRecordBytes, &text)) {
        return record;
    }
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            break;  // a line cut short is no line
        }
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t equals = line.find('=');
        if (equals != std::string::npos && equals > 0) {
            setResultValue(record, line.substr(0, equals), line.substr(equals + 1));
        }
    }
    return record;
}

int writeResultRecord(const char* path, const ResultRecord_T& record) {
    std::string text;
    for (const auto& field : record) {
        // A value never breaks the line format, whatever a message held.
        std::string value = field.second;
        for (char& c : value) {
            if (c == '\n' || c == '\r') {
                c = ' ';
            }
        }
        text += field.first + "=" + value + "\n";
    }
    const std::string dir = parentOf(path);
    // The directory also holds the language file and a font, other
    // programs' files: it is made when missing, never replaced, and a link
    // in its place is not followed.
    mkdir(dir.c_str(), 0755);
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        return 1;
    }
    const std::string name = std::string(path).substr(dir.size() + 1);
    const std::string fresh = name + ".new";
    const int fd = openFreshFileAt(dirFd, fresh.c_str(), 0644);
    bool written = fd >= 0 && writeAll(fd, text.data(), text.size()) && fsync(fd) == 0;
    if (fd >= 0 && close(fd) != 0) {
        written = false;
    }
    // The new record replaces the old one whole, and the rename itself is
    // forced out before the caller's next step.
    written =
        written && renameat(dirFd, fresh.c_str(), dirFd, name.c_str()) == 0 && fsync(dirFd) == 0;
    if (!written) {
        unlinkat(dirFd, fresh.c_str(), 0);
    }
    close(dirFd);
    return written ? 0 : 1;
}
