// MD5 as the set compares it: 32 lowercase hexadecimal digits.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace mpp {

class Md5Digest {
public:
    Md5Digest();
    ~Md5Digest();
    Md5Digest(const Md5Digest&) = delete;
    Md5Digest& operator=(const Md5Digest&) = delete;

    void update(const void* data, size_t size);
    // Ends the digest; the object is spent afterwards.
    std::string hex();

private:
    struct State;
    std::unique_ptr<State> state_;
};

std::string md5Hex(const void* data, size_t size);

// MD5 of a whole file; empty when it cannot be read.
std::string md5OfFile(const std::string& path);

}  // namespace mpp
