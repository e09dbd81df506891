// Fuzzes the text helpers on arbitrary bytes: to_text is checked against a small decoder of its
// own that follows the "maximal ill-formed subpart" rule, message_text for control characters,
// and trim_white_space on its output.
#include <cstdint>
#include <string>
#include <string_view>

#include "paths/text.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Length of the well-formed character at `i` (setting `cp`), or 0 when there is none.
size_t char_at(std::string_view s, size_t i, uint32_t& cp) {
  const auto c = static_cast<unsigned char>(s[i]);
  const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  cp = n == 1 ? c : c & (0x7Fu >> n);
  for (size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  return cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) ? 0 : n;
}

bool valid(std::string_view s) {
  uint32_t cp = 0;
  for (size_t i = 0, n = 0; i < s.size(); i += n) {
    if ((n = char_at(s, i, cp)) == 0) return false;
  }
  return true;
}

// True when some well-formed character starts with `p`. The characters sharing a prefix form
// one run of code points, so trying the lowest and highest continuation bytes is enough.
bool starts_a_char(std::string_view p) {
  uint32_t cp = 0;
  for (char fill : {'\x80', '\xBF'}) {
    for (std::string s(p); s.size() <= 4; s += fill) {
      if (char_at(s, 0, cp) == s.size()) return true;
    }
  }
  return false;
}

std::string decode(std::string_view x) {
  std::string out;
  uint32_t cp = 0;
  for (size_t i = 0; i < x.size();) {
    if (size_t n = char_at(x, i, cp)) {
      out.append(x.substr(i, n));
      i += n;
      continue;
    }
    size_t m = 1;  // the lone bad byte, or the longest start of a character, whichever is longer
    while (m < 3 && i + m < x.size() && starts_a_char(x.substr(i, m + 1))) ++m;
    out += "\xEF\xBF\xBD";
    i += m;
  }
  return out;
}

bool white(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// True when `s` is nothing but white space characters.
bool all_white(std::string_view s) {
  uint32_t cp = 0;
  for (size_t i = 0, n = 0; i < s.size(); i += n) {
    if ((n = char_at(s, i, cp)) == 0 || !white(cp)) return false;
  }
  return true;
}

// True when the first or the last character of `s` (valid text) is white space.
bool white_at_ends(std::string_view s) {
  if (s.empty()) return false;
  uint32_t first = 0, last = 0;
  size_t start = s.size() - 1;
  while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
  char_at(s, 0, first);
  char_at(s, start, last);
  return white(first) || white(last);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view x(reinterpret_cast<const char*>(data), size);
  const std::string t = kestro::to_text(x);

  check(kestro::is_valid_utf8(x) == valid(x));
  check(t == decode(x));
  check(kestro::is_valid_utf8(t) && valid(t));
  check((t == x) == valid(x));     // valid text is kept, anything else is changed
  check(kestro::to_text(t) == t);  // idempotent
  check(t.size() >= x.size());     // a bad run of 1..3 bytes becomes 3 bytes
  // A valid head decodes on its own: to_text(a + b) == a + to_text(b).
  const size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  if (valid(x.substr(0, cut))) {
    check(t == std::string(x.substr(0, cut)) + kestro::to_text(x.substr(cut)));
  }

  // A message is one line of text: no control character is left raw, and text without any
  // stays as it is.
  const std::string m = kestro::message_text(x);
  bool controls = false;
  for (char c : t) controls |= static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  for (char c : m) check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  check(valid(m) && (m == t) == !controls && m.size() >= t.size());

  const std::string_view s = kestro::trim_white_space(t);
  check(s.data() >= t.data() && s.data() + s.size() <= t.data() + t.size());
  const size_t head = static_cast<size_t>(s.data() - t.data());
  check(valid(s) && !white_at_ends(s));
  check(all_white(t.substr(0, head)) && all_white(t.substr(head + s.size())));
  check(kestro::trim_white_space(s) == s);
  return 0;
}
