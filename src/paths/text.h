// Showing bytes as text.
#pragma once

#include <string>
#include <string_view>

namespace kestro {

/// True when `bytes` is well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

/// `bytes` decoded as UTF-8 with each maximal ill-formed subpart replaced by U+FFFD, the
/// practice of the Unicode Standard and the WHATWG decoder. Valid UTF-8 comes back unchanged.
///   "\xFF\xFE" => two U+FFFD   "a\xE2\x82" => "a" U+FFFD   "\xC0\xAF" => two U+FFFD
///   "\xED\xA0\x80" => three U+FFFD
std::string to_text(std::string_view bytes);

/// to_text of `bytes` with each byte below 0x20, and 0x7F, written as an escape: "\\n", "\\r",
/// "\\t", else "\\x" and two lower-case hex digits. The form every value takes in a message, so
/// that one message stays one line; a backslash stays as it is.
///   "a\nb" => "a\\nb"   "\x1B[0m" => "\\x1b[0m"   "\x7F" => "\\x7f"   "a\\b" => "a\\b"
std::string message_text(std::string_view bytes);

/// True when `text` equals `lower` (lower case ASCII) once the ASCII letters A to Z in `text`
/// are folded to lower case; no other folding.
///   ("APP", "app") => true   ("App", "app") => true   ("apps", "app") => false
bool equals_ascii_folded(std::string_view text, std::string_view lower);

/// `text` (valid UTF-8) without leading and trailing characters of the Unicode White_Space
/// property: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
/// U+202F, U+205F, U+3000.
std::string_view trim_white_space(std::string_view text);

}  // namespace kestro
