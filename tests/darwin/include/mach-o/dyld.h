// Test-only stand-in for the macOS <mach-o/dyld.h>, so that src/sys/platform_darwin.cpp can be
// compiled on Linux. It declares only the one call the helper makes, with the macOS signature.
// Nothing here is part of the helper; tests/darwin/platform_darwin_test.cpp defines the call.
#pragma once

#include <stdint.h>

extern "C" int _NSGetExecutablePath(char* buf, uint32_t* bufsize);
