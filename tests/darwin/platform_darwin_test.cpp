// Runs src/sys/platform_darwin.cpp on Linux. scripts/check-darwin.sh compiles that file against
// the stand-in <mach-o/dyld.h> and darwin_shim.h in this folder, then links it with this file:
// _NSGetExecutablePath is defined here, and confstr is routed here with -Wl,--wrap=confstr.
//
// uptime_now() is linked but never called: the shim's CLOCK_UPTIME_RAW (8) is
// CLOCK_REALTIME_ALARM to a Linux kernel, so a reading here would say nothing about macOS.
#include <errno.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/proc.h>

#include <optional>
#include <string>

#include "sys/platform.h"

// glibc's confstr, reached under this name through --wrap; the file under test reaches
// __wrap_confstr below whenever it calls confstr.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name is the linker's, for --wrap
extern "C" size_t __real_confstr(int name, char* buf, size_t len);

namespace {

// What the stand-in _NSGetExecutablePath does.
enum class Dyld {
  Answer,  // reports the size, then fills a buffer that is large enough
  Grows,   // the path gets longer between the size query and the fill, so the fill fails
};

// What the stand-in confstr does.
enum class Confstr {
  Glibc,       // hands the call to glibc, which does not know the macOS name
  Answer,      // knows the name and reports kTempDir
  FailsLater,  // reports a size, then returns 0 on the call that fills the buffer
};

constexpr char kExecutable[] = "/Applications/Kestro.app/Contents/MacOS/kestro-update";
constexpr char kLongerExecutable[] = "/Applications/Kestro 2.app/Contents/MacOS/kestro-update";
constexpr char kTempDir[] = "/var/folders/zz/zyxvpxvq6csfxvn_n0000000000000/T/";

Dyld g_dyld = Dyld::Answer;
int g_dyld_calls = 0;

// What the stand-in proc_pidinfo reports: a failure with this errno, else a process in this
// state that started at 1796597225 s and 123456 us.
int g_proc_errno = 0;
uint32_t g_proc_status = 2;  // SRUN
int g_proc_flavor = 0;

Confstr g_confstr = Confstr::Glibc;
int g_confstr_calls = 0;
int g_confstr_other_names = 0;  // calls with any name but _CS_DARWIN_USER_TEMP_DIR

int g_checks = 0;
int g_failures = 0;

void check(bool ok, const char* what) {
  ++g_checks;
  if (!ok) {
    ++g_failures;
    fprintf(stderr, "platform_darwin_test: FAILED: %s\n", what);
  }
}

// confstr's contract: the size needed including the terminating NUL; when `len` is not 0, as
// much of the value as fits, always terminated.
size_t answer_confstr(const char* value, char* buf, size_t len) {
  const size_t needed = strlen(value) + 1;
  if (buf != nullptr && len > 0) {
    const size_t copied = needed < len ? needed - 1 : len - 1;
    memcpy(buf, value, copied);
    buf[copied] = '\0';
  }
  return needed;
}

}  // namespace

// macOS's contract: 0 and the path copied when *bufsize is large enough; else -1 and *bufsize
// set to the size needed, NUL included.
extern "C" int _NSGetExecutablePath(char* buf, uint32_t* bufsize) {
  ++g_dyld_calls;
  const char* path = g_dyld == Dyld::Grows && g_dyld_calls > 1 ? kLongerExecutable : kExecutable;
  const auto needed = static_cast<uint32_t>(strlen(path) + 1);
  if (buf == nullptr || *bufsize < needed) {
    *bufsize = needed;
    return -1;
  }
  memcpy(buf, path, needed);
  return 0;
}

// macOS's contract: the bytes filled in, or 0 with errno set.
extern "C" int proc_pidinfo(int /*pid*/, int flavor, uint64_t /*arg*/, void* buffer,
                            int buffersize) {
  g_proc_flavor = flavor;
  if (g_proc_errno != 0 || buffersize < static_cast<int>(sizeof(proc_bsdinfo))) {
    errno = g_proc_errno;
    return 0;
  }
  *static_cast<proc_bsdinfo*>(buffer) = proc_bsdinfo{g_proc_status, 1796597225, 123456};
  return static_cast<int>(sizeof(proc_bsdinfo));
}

// Linked, never called: the swap has no buffers to handle, and the Mac jobs run it for real.
extern "C" int renamex_np(const char* /*from*/, const char* /*to*/, unsigned int /*flags*/) {
  return -1;
}

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name is the linker's, for --wrap
extern "C" size_t __wrap_confstr(int name, char* buf, size_t len) {
  ++g_confstr_calls;
  if (name != _CS_DARWIN_USER_TEMP_DIR) ++g_confstr_other_names;
  switch (g_confstr) {
    case Confstr::Glibc:
      return __real_confstr(name, buf, len);
    case Confstr::Answer:
      break;
    case Confstr::FailsLater:
      if (len > 0) {
        errno = EIO;
        return 0;
      }
      break;
  }
  if (name != _CS_DARWIN_USER_TEMP_DIR) {
    errno = EINVAL;
    return 0;
  }
  return answer_confstr(kTempDir, buf, len);
}

int main() {
  // Referenced so that the link has to resolve it; see the top of the file for why it is not run.
  timespec (*volatile uptime)() = &kestro::sys::uptime_now;
  (void)uptime;

  g_dyld = Dyld::Answer;
  g_dyld_calls = 0;
  const std::optional<std::string> exe = kestro::sys::executable_path();
  check(exe.has_value() && *exe == kExecutable, "executable_path() returns the path dyld reports");

  g_dyld = Dyld::Grows;
  g_dyld_calls = 0;
  check(!kestro::sys::executable_path().has_value(),
        "executable_path() returns nothing when _NSGetExecutablePath fails to fill the buffer");

  // glibc's own answer for the macOS name, which is the case on every Linux run.
  errno = 0;
  check(__real_confstr(_CS_DARWIN_USER_TEMP_DIR, nullptr, 0) == 0 && errno == EINVAL,
        "glibc's confstr returns 0 with EINVAL for _CS_DARWIN_USER_TEMP_DIR");

  g_confstr = Confstr::Glibc;
  g_confstr_calls = 0;
  g_confstr_other_names = 0;
  check(!kestro::sys::user_temp_dir().has_value(),
        "user_temp_dir() returns nothing when confstr returns 0");
  check(g_confstr_calls >= 1 && g_confstr_other_names == 0,
        "user_temp_dir() calls confstr with _CS_DARWIN_USER_TEMP_DIR (through --wrap)");

  g_confstr = Confstr::Answer;
  g_confstr_calls = 0;
  g_confstr_other_names = 0;
  const std::optional<std::string> temp = kestro::sys::user_temp_dir();
  check(temp.has_value() && *temp == kTempDir,
        "user_temp_dir() returns the whole directory confstr reports");
  check(g_confstr_other_names == 0, "user_temp_dir() asks only for _CS_DARWIN_USER_TEMP_DIR");

  g_confstr = Confstr::FailsLater;
  check(!kestro::sys::user_temp_dir().has_value(),
        "user_temp_dir() returns nothing when confstr fails while filling the buffer");

  auto running = kestro::sys::process_identity(42);
  check(running.ok() && running.value().started == 1796597225123456 && !running.value().zombie &&
            g_proc_flavor == PROC_PIDTBSDINFO,
        "process_identity() reads the start time, in microseconds, from PROC_PIDTBSDINFO");
  g_proc_status = SZOMB;
  auto zombie = kestro::sys::process_identity(42);
  check(zombie.ok() && zombie.value().zombie, "process_identity() tells a zombie");
  g_proc_errno = ESRCH;
  auto gone = kestro::sys::process_identity(42);
  check(!gone.ok() && gone.error() == ESRCH, "process_identity() passes the errno on");

  if (g_failures != 0) {
    fprintf(stderr, "platform_darwin_test: %d of %d checks failed\n", g_failures, g_checks);
    return 1;
  }
  printf("%d checks passed\n", g_checks);
  return 0;
}
