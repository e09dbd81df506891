// Reads a Mach-O file, universal or thin, and checks the code signature of each slice by
// recomputing every page hash of its CodeDirectory, without trusting any tool's summary:
//   - the signature (LC_CODE_SIGNATURE) is an embedded-signature SuperBlob whose CodeDirectory
//     hashes the slice from its first byte up to the signature, page by page, with SHA-256;
//   - each page's hash equals the one recorded, so one changed byte anywhere before the
//     signature, or in the recorded hashes, fails the check.
// The layouts are LLVM's copies of <mach-o/loader.h>, <mach-o/fat.h> and the code-signing blobs
// (llvm/BinaryFormat/MachO.h, from Debian's llvm-16-dev; only its types and constants are used).
// A Mach-O is little-endian on both architectures, the fat header and the blobs big-endian.
//
// Usage: codesign_check FILE ARCH...   (the ARCHs, e.g. arm64, must carry a signature; another
// slice may). One line per slice; exit status 1 when any check fails, 2 when FILE is unreadable.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "llvm/BinaryFormat/MachO.h"

namespace MachO = llvm::MachO;

namespace {

// SHA-256 (FIPS 180-4) of `size` bytes at `data`.
std::array<uint8_t, 32> sha256(const uint8_t* data, size_t size) {
  static const uint32_t k[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
      0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
      0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
      0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
      0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
      0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
      0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
      0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
      0xc67178f2};
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  // The message, a 1 bit, zeros, and the length in bits: a whole number of 64-byte blocks.
  std::vector<uint8_t> m(data, data + size);
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  const uint64_t bits = static_cast<uint64_t>(size) * 8;
  for (int i = 7; i >= 0; --i) m.push_back(static_cast<uint8_t>(bits >> (i * 8)));
  for (size_t block = 0; block < m.size(); block += 64) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      const uint8_t* p = &m[block + i * 4];
      w[i] = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    }
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 =
          hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      hh = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    const uint32_t add[8] = {a, b, c, d, e, f, g, hh};
    for (int i = 0; i < 8; ++i) h[i] += add[i];
  }
  std::array<uint8_t, 32> out{};
  for (int i = 0; i < 32; ++i) out[i] = static_cast<uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
  return out;
}

// The whole file at `path`; false (with the reason on standard error) when it cannot be read.
bool read_all(const char* path, std::vector<uint8_t>& bytes) {
  int fd = -1;
  do fd = open(path, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    std::fprintf(stderr, "codesign_check: %s: %s\n", path, strerror(error));
    return false;
  }
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      std::fprintf(stderr, "codesign_check: %s: %s\n", path, strerror(error));
      close(fd);
      return false;
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  close(fd);
  return true;
}

// A window on part of the file that refuses to read outside it.
struct Bytes {
  const uint8_t* data;
  size_t size;
  bool has(size_t offset, size_t length) const { return offset <= size && length <= size - offset; }
  // The value of type T at `offset`, as stored (the caller swaps big-endian fields).
  template <typename T>
  bool get(size_t offset, T& value) const {
    if (!has(offset, sizeof(T))) return false;
    memcpy(&value, data + offset, sizeof(T));
    return true;
  }
};

uint32_t big(uint32_t v) { return __builtin_bswap32(v); }  // big-endian field on this host

const char* arch_name(uint32_t cputype) {
  if (cputype == MachO::CPU_TYPE_X86_64) return "x86_64";
  if (cputype == MachO::CPU_TYPE_ARM64) return "arm64";
  return "other";
}

// Checks the signature of the thin Mach-O `slice`; "" when it holds, else what is wrong.
// `signed_out` tells whether the slice has a signature at all.
std::string check_slice(Bytes slice, bool& signed_out, std::string& summary) {
  signed_out = false;
  MachO::mach_header_64 header{};
  if (!slice.get(0, header) || header.magic != MachO::MH_MAGIC_64) {
    return "not a 64-bit Mach-O";
  }
  MachO::linkedit_data_command signature{};
  size_t at = sizeof header;
  for (uint32_t i = 0; i < header.ncmds; ++i) {
    MachO::load_command command{};
    if (!slice.get(at, command) || command.cmdsize < sizeof command) {
      return "load command " + std::to_string(i) + " is cut short";
    }
    if (command.cmd == MachO::LC_CODE_SIGNATURE && !slice.get(at, signature)) {
      return "LC_CODE_SIGNATURE is cut short";
    }
    at += command.cmdsize;
  }
  if (signature.cmd != MachO::LC_CODE_SIGNATURE) return "no LC_CODE_SIGNATURE";
  signed_out = true;
  if (!slice.has(signature.dataoff, signature.datasize)) return "the signature lies outside";
  const Bytes blob{slice.data + signature.dataoff, signature.datasize};

  MachO::CS_SuperBlob super{};
  if (!blob.get(0, super) || big(super.magic) != MachO::CSMAGIC_EMBEDDED_SIGNATURE) {
    return "the signature is not an embedded-signature SuperBlob";
  }
  size_t directory_at = 0;
  for (uint32_t i = 0; i < big(super.count); ++i) {
    MachO::CS_BlobIndex index{};
    if (!blob.get(sizeof super + i * sizeof index, index)) return "the blob index is cut short";
    if (big(index.type) == MachO::CSSLOT_CODEDIRECTORY) directory_at = big(index.offset);
  }
  MachO::CS_CodeDirectory cd{};
  if (directory_at == 0 || !blob.get(directory_at, cd) ||
      big(cd.magic) != MachO::CSMAGIC_CODEDIRECTORY) {
    return "no CodeDirectory";
  }
  const Bytes directory{blob.data + directory_at, blob.size - directory_at};
  if (!directory.has(0, big(cd.length))) return "the CodeDirectory is cut short";
  if (cd.hashType != MachO::CS_HASHTYPE_SHA256 || cd.hashSize != 32) {
    return "the page hashes are not SHA-256 (hash type " + std::to_string(cd.hashType) + ")";
  }
  if (cd.pageSize == 0 || cd.pageSize > 16) {
    return "odd page size 2^" + std::to_string(cd.pageSize);
  }
  const uint32_t page = 1u << cd.pageSize;
  const uint32_t limit = big(cd.codeLimit);
  const uint32_t slots = big(cd.nCodeSlots);
  // The hashes must cover the slice up to the signature, no more and no less.
  if (limit != signature.dataoff) {
    return "the hashes cover " + std::to_string(limit) + " bytes, the signature starts at " +
           std::to_string(signature.dataoff);
  }
  if (slots != (limit + page - 1) / page) {
    return std::to_string(slots) + " page hashes for " + std::to_string(limit) + " bytes";
  }
  if (!directory.has(big(cd.hashOffset), size_t{slots} * cd.hashSize)) {
    return "the page hashes lie outside the CodeDirectory";
  }
  std::string bad;
  int mismatches = 0;
  for (uint32_t i = 0; i < slots; ++i) {
    const size_t start = size_t{i} * page;
    const size_t length = std::min<size_t>(page, limit - start);
    const auto actual = sha256(slice.data + start, length);
    const uint8_t* recorded = directory.data + big(cd.hashOffset) + size_t{i} * cd.hashSize;
    if (memcmp(actual.data(), recorded, actual.size()) != 0) {
      if (mismatches++ == 0)
        bad = "page " + std::to_string(i) + " (from byte " + std::to_string(start) +
              ") does not match its hash";
    }
  }
  if (mismatches != 0) {
    return bad + (mismatches > 1 ? " (" + std::to_string(mismatches) + " pages in all)" : "");
  }
  std::string identifier = "?";
  if (directory.has(big(cd.identOffset), 1)) {
    const char* text = reinterpret_cast<const char*>(directory.data + big(cd.identOffset));
    identifier.assign(text, strnlen(text, directory.size - big(cd.identOffset)));
  }
  const uint32_t flags = big(cd.flags);
  summary = std::string((flags & MachO::CS_ADHOC) != 0 ? "ad-hoc" : "non-ad-hoc") +
            " signature of \"" + identifier + "\", " + std::to_string(slots) +
            " SHA-256 page hashes of " + std::to_string(page) +
            " bytes, each recomputed: all match";
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: codesign_check FILE ARCH...\n");
    return 2;
  }
  std::vector<uint8_t> bytes;
  if (!read_all(argv[1], bytes)) return 2;
  const Bytes file{bytes.data(), bytes.size()};

  struct Slice {
    const char* arch;
    Bytes bytes;
  };
  std::vector<Slice> slices;
  MachO::fat_header fat{};
  MachO::mach_header_64 thin{};
  if (file.get(0, fat) && big(fat.magic) == MachO::FAT_MAGIC) {
    for (uint32_t i = 0; i < big(fat.nfat_arch); ++i) {
      MachO::fat_arch entry{};
      if (!file.get(sizeof fat + i * sizeof entry, entry) ||
          !file.has(big(entry.offset), big(entry.size))) {
        std::printf("FAILED: fat entry %u lies outside the file\n", i);
        return 1;
      }
      slices.push_back(
          {arch_name(big(entry.cputype)), Bytes{file.data + big(entry.offset), big(entry.size)}});
    }
  } else if (file.get(0, thin) && thin.magic == MachO::MH_MAGIC_64) {
    slices.push_back({arch_name(static_cast<uint32_t>(thin.cputype)), file});
  } else {
    std::printf("FAILED: %s is not a Mach-O file\n", argv[1]);
    return 1;
  }

  int status = 0;
  for (int i = 2; i < argc; ++i) {
    bool found = false;
    for (const Slice& slice : slices) found = found || strcmp(slice.arch, argv[i]) == 0;
    if (!found) {
      std::printf("FAILED: no %s slice to check the signature of\n", argv[i]);
      status = 1;
    }
  }
  for (const Slice& slice : slices) {
    bool required = false;
    for (int i = 2; i < argc; ++i) required = required || strcmp(slice.arch, argv[i]) == 0;
    bool is_signed = false;
    std::string summary;
    const std::string problem = check_slice(slice.bytes, is_signed, summary);
    if (problem.empty()) {
      std::printf("%s: %s\n", slice.arch, summary.c_str());
    } else if (!is_signed && !required) {
      std::printf("%s: not signed (%s)\n", slice.arch, problem.c_str());
    } else {
      std::printf("FAILED: %s: %s\n", slice.arch, problem.c_str());
      status = 1;
    }
  }
  return status;
}
