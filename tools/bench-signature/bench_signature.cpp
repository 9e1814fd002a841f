// bench-signature: how long the set's signature check takes on a signed
// package, next to hashing the same file once with the system's sha256sum.
//
//   bench-signature [--size-mib N] [--dir DIR] [--rounds R]
//
// Makes an N MiB package (default 100) in DIR (default $TMPDIR or /tmp),
// signs it with a fresh Ed25519 key, and reports the best of R rounds
// (default 5) of each, both reading from the page cache. The goal is a check
// within 1.2 times the time of sha256sum.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <ziparchive/zip_writer.h>

#include "package.h"
#include "package_signing.h"
#include "run_child.h"

namespace {

constexpr long kMiB = 1048576;
constexpr double kGoal = 1.2;

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// One stored entry of pseudo-random bytes: nothing to inflate, all to hash.
bool makePackage(const std::string& path, long sizeMiB) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = true;
    {
        ZipWriter writer(file);
        ok = writer.StartEntryWithTime("patch_package/usrfs.img", 0, 1577836800) == 0;
        std::vector<uint32_t> block(kMiB / 4);
        uint32_t state = 12345;
        for (long m = 0; m < sizeMiB && ok; ++m) {
            for (uint32_t& word : block) {
                state = state * 1664525u + 1013904223u;
                word = state;
            }
            ok = writer.WriteBytes(block.data(), kMiB) == 0;
        }
        ok = ok && writer.FinishEntry() == 0 && writer.Finish() == 0;
    }
    return fclose(file) == 0 && ok;
}

bool freshKey(mpp::SigningKey_T* key) {
    EVP_PKEY* pkey = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    const bool made =
        ctx != nullptr && EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_keygen(ctx, &pkey) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!made) {
        return false;
    }
    key->privateKey.reset(pkey, EVP_PKEY_free);
    unsigned char raw[ota_signature::kPublicKeySize];
    size_t rawSize = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(pkey, raw, &rawSize) != 1) {
        return false;
    }
    key->publicKey = publicKeyFromRaw(raw, "fresh key");
    return true;
}

// Best time of the whole check, opening the package afresh each round.
double checkTime(const std::string& path, const PublicKey_T& key, int rounds) {
    double best = 1e30;
    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const std::string why = fd >= 0 ? checkPackageSignature(fd, {key}) : "cannot open";
        if (fd >= 0) {
            close(fd);
        }
        if (!why.empty()) {
            fprintf(stderr, "bench-signature: the check failed: %s\n", why.c_str());
            return -1;
        }
        best = std::min(best, seconds(start));
    }
    return best;
}

double sha256sumTime(const std::string& path, int rounds) {
    host::ChildOptions quiet;
    quiet.outputFile = "/dev/null";
    double best = 1e30;
    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        if (!host::runChild({"sha256sum", path}, quiet).succeeded()) {
            fprintf(stderr, "bench-signature: sha256sum failed\n");
            return -1;
        }
        best = std::min(best, seconds(start));
    }
    return best;
}

void report(const char* what, long sizeMiB, double secs) {
    printf("%-36s %8.1f MiB/s  (%ld MiB in %.3f s)\n", what, sizeMiB / secs, sizeMiB, secs);
}

}  // namespace

int main(int argc, char** argv) {
    long sizeMiB = 100;
    int rounds = 5;
    std::string dir = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--size-mib" && i + 1 < argc) {
            sizeMiB = strtol(argv[++i], nullptr, 10);
        } else if (arg == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = static_cast<int>(strtol(argv[++i], nullptr, 10));
        } else {
            fprintf(stderr, "usage: bench-signature [--size-mib N] [--dir DIR] [--rounds R]\n");
            return 2;
        }
    }
    if (sizeMiB < 1 || sizeMiB > 4000 || rounds < 1) {
        fprintf(stderr, "bench-signature: give 1 to 4000 MiB and at least one round\n");
        return 2;
    }
    const std::string path = dir + "/bench-signature-" + std::to_string(getpid()) + ".zip";
    mpp::SigningKey_T key;
    std::string error;
    if (!makePackage(path, sizeMiB)) {
        error = "cannot write " + path;
    } else if (!freshKey(&key)) {
        error = "cannot make an Ed25519 key";
    } else {
        error = mpp::signPackageFile(path, key);
    }
    if (!error.empty()) {
        fprintf(stderr, "bench-signature: %s\n", error.c_str());
        unlink(path.c_str());
        return 1;
    }

    const double hashSecs = sha256sumTime(path, rounds);  // also fills the page cache
    const double checkSecs = hashSecs > 0 ? checkTime(path, key.publicKey, rounds) : -1;
    unlink(path.c_str());
    if (checkSecs < 0) {
        return 1;
    }
    report("signature check (SHA-256 + Ed25519)", sizeMiB, checkSecs);
    report("sha256sum command", sizeMiB, hashSecs);
    const double ratio = checkSecs / hashSecs;
    printf("check / sha256sum: %.2fx (goal: within %.1fx: %s)\n", ratio, kGoal,
           ratio <= kGoal ? "met" : "NOT met");
    return 0;
}
