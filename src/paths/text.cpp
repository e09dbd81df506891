#include "paths/text.h"

#include <cstdint>

namespace kestro {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Decodes one character at `pos`. On success returns its length and sets `cp`; on an
// ill-formed sequence returns 0 and sets `bad` to the length of its maximal subpart (>= 1).
// The second-byte ranges are those of the Unicode Standard's well-formed table, which is
// what makes overlongs and surrogates fail at their second byte.
size_t decode(std::string_view s, size_t pos, uint32_t& cp, size_t& bad) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char lead = b(pos);
  if (lead < 0x80) {
    cp = lead;
    return 1;
  }
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    cp = lead & 0x0Fu;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    cp = lead & 0x07u;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    bad = 1;
    return 0;
  }
  for (size_t i = 1; i <= need; ++i) {
    if (pos + i >= s.size() || b(pos + i) < lo || b(pos + i) > hi) {
      bad = i;
      return 0;
    }
    cp = (cp << 6) | (b(pos + i) & 0x3Fu);
    lo = 0x80;
    hi = 0xBF;
  }
  return need + 1;
}

bool is_white_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  uint32_t cp = 0;
  size_t bad = 0;
  for (size_t pos = 0; pos < bytes.size();) {
    size_t len = decode(bytes, pos, cp, bad);
    if (len == 0) return false;
    pos += len;
  }
  return true;
}

bool equals_ascii_folded(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

std::string to_text(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  uint32_t cp = 0;
  size_t bad = 0;
  for (size_t pos = 0; pos < bytes.size();) {
    size_t len = decode(bytes, pos, cp, bad);
    if (len == 0) {
      out += kReplacement;
      pos += bad;
    } else {
      out.append(bytes.substr(pos, len));
      pos += len;
    }
  }
  return out;
}

std::string message_text(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  const std::string text = to_text(bytes);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
  return out;
}

std::string_view trim_white_space(std::string_view text) {
  uint32_t cp = 0;
  size_t bad = 0;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t len = decode(text, begin, cp, bad);
    if (len == 0 || !is_white_space(cp)) break;
    begin += len;
  }
  size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last character: skip continuation bytes.
    size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    size_t len = decode(text, start, cp, bad);
    if (len != end - start || !is_white_space(cp)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace kestro
