// Path rules. Every rule works on the bytes of the path alone: nothing follows links or asks
// the file system. They differ from std::filesystem::path on purpose (trailing "/", "."
// pieces, names such as "foo.").
//
// Components: a leading "/" is the root; the rest is split at "/"; empty pieces (from "//" or
// a trailing "/") give nothing; "." gives nothing except as the very first piece of a
// relative path (the current directory); ".." is the parent directory and is never resolved;
// anything else is a normal name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestro {

/// `name` alone if it is absolute; else `base` and `name` with exactly one "/" added at the
/// seam only when `base` is non-empty and does not end in "/".
///   ("/", "Library/Logs") => "/Library/Logs"     ("", "x.log") => "x.log"
///   ("/var/T/", "x")      => "/var/T/x"           ("/a", "/b")  => "/b"
std::string join(std::string_view base, std::string_view name);

/// The last component when it is a normal name; nothing for the root, ".", ".." or "".
///   "/Applications/Kestro.app/" => "Kestro.app"   "/Applications/Kestro.app/." => "Kestro.app"
///   "a/b/.." => none   "/" => none   "" => none   "." => none
std::optional<std::string> file_name(std::string_view path);

/// The path cut right after the component before its last one, text kept as it stands;
/// nothing for the root alone and for "".
///   "/Applications/Kestro.app" => "/Applications"   "/Applications" => "/"
///   "Kestro.app" => ""   "a//b/" => "a"   "./b" => "."   "/" => none   "" => none
std::optional<std::string> parent(std::string_view path);

/// The text after the last "." of the file name, unless that "." is its first byte.
///   "Kestro.app" => "app"   "x.y.app" => "app"   "Kestro." => ""   ".app" => none
///   "Kestro" => none   "/" => none
std::optional<std::string> extension(std::string_view path);

/// The file name without its extension and the "." before it.
///   "Kestro.app" => "Kestro"   "x.y.app" => "x.y"   ".app" => ".app"   "Kestro" => "Kestro"
std::optional<std::string> file_stem(std::string_view path);

/// True when the extension is three bytes equal to "app" with ASCII letters folded.
///   "Kestro.app", "Kestro.APP", "x.y.App", "/A/Kestro.app/" => true
///   ".app", "Kestro.app.zip", "Kestro.apps", "Kestro", "/" => false
bool has_app_extension(std::string_view path);

/// The path itself, or its nearest ancestor (by `parent`), that passes has_app_extension;
/// a matching path is returned unchanged, trailing "/" included.
///   "/A/Kestro.app/Contents/Library/Agent.app/Contents/MacOS/x" =>
///   "/A/Kestro.app/Contents/Library/Agent.app" "Kestro.app/Contents/MacOS/x" => "Kestro.app"
///   "/usr/local/bin/kestro" => none
std::optional<std::string> enclosing_app_bundle(std::string_view path);

}  // namespace kestro
