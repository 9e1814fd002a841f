// The one diagnostic format of the program: "file:line:function(): message".
// Everything goes to standard output with printf; main makes stdout line
// buffered so that a power cut or a kill loses no line already logged.
#pragma once

#include <cstdio>

#define OTA_LOG(fmt, ...) \
    printf("%s:%d:%s(): " fmt, __FILE__, __LINE__, __func__, ##__VA_ARGS__)
