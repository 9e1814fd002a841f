// Writes real ZIP packages for tests with the same library family the set
// reads them with, so that a test exercises the reader on what a package
// builder produces: stored and deflated entries, any names, any sizes.
//
// Entry times are fixed so that two runs write byte-identical packages.
#pragma once

#include "testing/files.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <ziparchive/zip_archive.h>
#include <ziparchive/zip_writer.h>

namespace ota_test {

struct ZipFixtureEntry {
    std::string name;
    std::string bytes;
    bool compressed = false;
};

// 2020-01-01 12:00:00 UTC: any fixed time inside the DOS date range.
constexpr time_t kZipFixtureTime = 1577880000;

// Writes `entries` in order into a new ZIP file at `path`. Returns true when
// every entry and the central directory were written and the file closed.
inline bool writeZip(const std::string& path, const std::vector<ZipFixtureEntry>& entries) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = true;
    {
        ZipWriter writer(file);
        for (const ZipFixtureEntry& entry : entries) {
            const size_t flags = entry.compressed ? ZipWriter::kCompress : 0;
            if (writer.StartEntryWithTime(entry.name, flags, kZipFixtureTime) != 0) {
                ok = false;
                break;
            }
            // Feed large entries in slices, as a builder streaming a part file would.
            constexpr size_t kSlice = 1 << 20;
            for (size_t done = 0; ok && done < entry.bytes.size(); done += kSlice) {
                const size_t len = std::min(kSlice, entry.bytes.size() - done);
                ok = writer.WriteBytes(entry.bytes.data() + done, len) == 0;
            }
            if (!ok || writer.FinishEntry() != 0) {
                ok = false;
                break;
            }
        }
        if (ok) {
            ok = writer.Finish() == 0;
        }
    }
    return fclose(file) == 0 && ok;
}

// Reads every entry of the ZIP file at `path`, in the archive's order, into
// `entries`. Returns false when the file does not open as a ZIP or an entry
// does not extract whole.
inline bool readZip(const std::string& path, std::vector<ZipFixtureEntry>* entries) {
    entries->clear();
    ZipArchiveHandle handle = nullptr;
    if (OpenArchive(path.c_str(), &handle) != 0) {
        CloseArchive(handle);
        return false;
    }
    void* cookie = nullptr;
    bool ok = StartIteration(handle, &cookie) == 0;
    ZipEntry data;
    std::string name;
    int next = 0;
    while (ok && (next = Next(cookie, &data, &name)) == 0) {
        ZipFixtureEntry entry{name, std::string(data.uncompressed_length, '\0'),
                              data.method != kCompressStored};
        ok = ExtractToMemory(handle, &data, reinterpret_cast<uint8_t*>(&entry.bytes[0]),
                             static_cast<uint32_t>(entry.bytes.size())) == 0;
        entries->push_back(std::move(entry));
    }
    if (cookie != nullptr) {
        EndIteration(cookie);
    }
    CloseArchive(handle);
    return ok && next == -1;
}

}  // namespace ota_test
