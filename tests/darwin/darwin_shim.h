// Forced in ahead of src/sys/platform_darwin.cpp (g++/clang++ -include) when it is compiled on
// Linux by scripts/check-darwin.sh. glibc has neither name below; macOS gives them these values.
//
// This check only compiles and links the file. The values are not meant for a Linux kernel:
// clock id 8 is CLOCK_REALTIME_ALARM there, not an uptime clock, and confstr does not know
// 65537 (it returns 0 and sets EINVAL). So nothing built with this header may call
// kestro::sys::uptime_now() for real, and user_temp_dir() reports nothing unless the test
// stands in for confstr.
//
// The shim deliberately includes no system header: one here would hide a missing #include in
// the file under test. If glibc ever defines either name itself, the redefinition is an error
// under -Werror, which is what we want to hear about.
#pragma once

#define _CS_DARWIN_USER_TEMP_DIR 65537
#define CLOCK_UPTIME_RAW 8
#define F_FULLFSYNC 51  // an unknown fcntl to Linux: EINVAL, as a volume that refuses it
#define RENAME_SWAP 0x2
#define RENAME_EXCL 0x4
extern "C" int renamex_np(const char* from, const char* to, unsigned int flags);
