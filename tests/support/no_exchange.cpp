// Test support, Linux only: preloaded into the helper (LD_PRELOAD), renameat2 fails as on a
// volume that cannot exchange names, so that the swap falls back to rename(2).
#include <errno.h>

extern "C" int renameat2(int, const char*, int, const char*, unsigned int) {
  errno = EINVAL;
  return -1;
}
