// Test support, Linux only: preloaded into the helper (LD_PRELOAD), renameat2 refuses to
// exchange two names as a volume that cannot does, so that the swap falls back to two renames.
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>

extern "C" int renameat2(int from_dir, const char* from, int to_dir, const char* to,
                         unsigned int flags) {
  if ((flags & RENAME_EXCHANGE) != 0) {
    errno = EINVAL;
    return -1;
  }
  using Rename = int (*)(int, const char*, int, const char*, unsigned int);
  static const auto real = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "renameat2"));
  return real(from_dir, from, to_dir, to, flags);
}
