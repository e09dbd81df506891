// The child that bench_capture (and the references in scripts/bench.sh) drain: writes N MiB
// to stdout and N MiB to stderr, alternating 64 KiB blocks, then exits 0.
// Usage: bench_child N
#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr size_t kBlock = size_t{64} * 1024;

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_child MIB\n");
    return 2;
  }
  const long mib = std::strtol(argv[1], nullptr, 10);
  std::vector<char> block(kBlock);
  for (size_t i = 0; i < kBlock; ++i) block[i] = static_cast<char>('a' + i % 26);
  const long blocks = mib * (1024L * 1024 / static_cast<long>(kBlock));
  for (long i = 0; i < blocks; ++i) {
    if (!write_all(1, block.data(), kBlock) || !write_all(2, block.data(), kBlock)) return 1;
  }
  return 0;
}
