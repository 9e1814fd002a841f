// Partition writing and verification: partition name to eMMC device, writing
// a finished image at an offset, MD5 checks of files and device heads.
#pragma once

#include <cstdio>
#include <string>

constexpr long kFlashChunkSize = 4194304;  // 4 MiB per read and write call

int getLoadEmmcNum(const std::string& name, std::string& device);
int updateModuleBlock(const std::string& imagePath, const std::string& partitionName, long offset);
int flashWriterBlock(const char* device, long offset, const char* imagePath);
void OTA_flashWrite_releaseBuf(FILE* image, FILE* device, unsigned char* buffer);

// 0 when the MD5 of the first `length` bytes (0: the whole file) equals
// `expected` as 32 lower-case hex digits; 1 otherwise.
int checkMD5Sum(std::string path, std::string expected, int length);
