// Fuzzes the path rules with two byte strings: a path `p` (checked alone) and a second string
// `q` that is also joined onto `p`. Components are re-derived here from the rules in paths.h.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "paths/paths.h"

namespace {

using kestro::parent;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// "/" for the root, "." for a leading current directory, else the non-empty pieces, ".." kept.
std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> out;
  if (!path.empty() && path[0] == '/') out.emplace_back("/");
  size_t begin = out.size();  // skip the root's "/"
  for (bool first = true; begin <= path.size(); first = false) {
    size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    const std::string piece = path.substr(begin, end - begin);
    if (!piece.empty() && (piece != "." || (first && out.empty()))) out.push_back(piece);
    begin = end + 1;
  }
  return out;
}

bool is_app(const std::optional<std::string>& ext) {
  if (!ext || ext->size() != 3) return false;
  std::string lower = *ext;
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return lower == "app";
}

void check_path(const std::string& p) {
  const auto parts = components(p);
  const auto name = kestro::file_name(p);
  const bool normal_last =
      !parts.empty() && parts.back() != "/" && parts.back() != "." && parts.back() != "..";
  check(name.has_value() == normal_last && (!name || *name == parts.back()));

  // The parent is a prefix of the path with every component but the last.
  const auto up = parent(p);
  check(up.has_value() == (!parts.empty() && parts.back() != "/"));
  if (up) {
    check(p.compare(0, up->size(), *up) == 0);
    check(components(*up) == std::vector<std::string>(parts.begin(), parts.end() - 1));
  }
  if (name) {
    check(!name->empty() && name->find('/') == std::string::npos && *name != "." && *name != "..");
    const std::string again = kestro::join(*up, *name);
    check(kestro::file_name(again) == name);
    const auto again_up = parent(again);
    check(again_up && components(*again_up) == components(*up));
  }

  const auto ext = kestro::extension(p);
  const auto stem = kestro::file_stem(p);
  check(stem.has_value() == name.has_value() && (name || !ext));
  if (ext) {
    check(ext->find('.') == std::string::npos && !stem->empty() && *stem + "." + *ext == *name);
  } else if (name) {
    check(*stem == *name && (name->rfind('.') == 0 || name->rfind('.') == std::string::npos));
  }
  check(kestro::has_app_extension(p) == is_app(ext));

  // The bundle is the path or its nearest ancestor by `parent` with an "app" extension.
  std::optional<std::string> expected;
  for (std::optional<std::string> at = p; at && !expected; at = parent(*at)) {
    if (kestro::has_app_extension(*at)) expected = at;
  }
  const auto bundle = kestro::enclosing_app_bundle(p);
  check(bundle == expected);
  check(!bundle ||
        (p.compare(0, bundle->size(), *bundle) == 0 && kestro::has_app_extension(*bundle)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string p = provider.ConsumeRandomLengthString();
  const std::string q = provider.ConsumeRemainingBytesAsString();
  check_path(p);
  check_path(q);

  const std::string joined = kestro::join(p, q);
  if (!q.empty() && q[0] == '/') {
    check(joined == q);
  } else {
    const size_t seam = !p.empty() && p.back() != '/' ? 1 : 0;
    check(joined.size() == p.size() + seam + q.size() && joined.compare(0, p.size(), p) == 0 &&
          joined.compare(p.size() + seam, q.size(), q) == 0 &&
          (seam == 0 || joined[p.size()] == '/'));
  }
  return 0;
}
