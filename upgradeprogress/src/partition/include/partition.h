// Partition writing and verification: partition name to eMMC device, writing
// a finished image at an offset, MD5 checks of files and device heads.
#pragma once

#include <cstdio>
#include <cstdint>
#include <string>

#include "ground.h"

constexpr long kFlashChunkSize = kStreamChunk;  // bytes per read and write call

int getLoadEmmcNum(const std::string& name, std::string& device);
int updateModuleBlock(const std::string& imagePath, const std::string& partitionName, long offset);
int flashWriterBlock(const char* device, long offset, const char* imagePath);
void OTA_flashWrite_releaseBuf(FILE* image, FILE* device, unsigned char* buffer);
// The bytes of a held image, at `offset` into the device; 255 on failure.
int flashWriterImage(const char* device, long offset, const HeldImage_T& image);
// Writes a held image into the partition `partitionName` names, a second
// attempt after a failed one. `label` names the image in the log. Unlike
// updateModuleBlock it removes nothing: the image was never a file. 0 on
// success.
int updateModuleBlockImage(const HeldImage_T& image, const std::string& label,
                           const std::string& partitionName, long offset);

// 0 when the MD5 of the first `length` bytes (0: the whole file) equals
// `expected` as 32 lower-case hex digits; 1 otherwise.
int checkMD5Sum(std::string path, std::string expected, int length);
// The same for what is open on fd, named `what` in the log.
int checkMD5SumFd(int fd, const std::string& expected, int length, const std::string& what);
// 0 when the hex digests agree; otherwise logs both, as checkMD5Sum does.
int compareMD5(const std::string& actual, const std::string& expected, const std::string& what);
// MD5 (hex) of `length` bytes of a device from `start`, read past the page
// cache where the device allows it (`direct` tells whether it did). False
// when the device cannot be read that far.
bool md5OfDevice(const std::string& device, uint64_t start, uint64_t length, std::string* md5,
                 bool* direct);
