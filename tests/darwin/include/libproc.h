// Test-only stand-in for the macOS <libproc.h>, so that src/sys/platform_darwin.cpp can be
// compiled on Linux. It declares only the one call the helper makes, with the macOS signature.
// Nothing here is part of the helper; tests/darwin/platform_darwin_test.cpp defines the call.
#pragma once

#include <stdint.h>
#include <sys/proc_info.h>

extern "C" int proc_pidinfo(int pid, int flavor, uint64_t arg, void* buffer, int buffersize);
