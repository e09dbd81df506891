#include "paths/paths.h"

#include <vector>

#include "paths/text.h"

namespace kestro {

namespace {

enum class Kind { Root, CurDir, ParentDir, Normal };

struct Component {
  Kind kind;
  size_t begin;  // byte offsets of the component's text in the path
  size_t end;
};

std::vector<Component> components(std::string_view path) {
  std::vector<Component> out;
  size_t pos = 0;
  if (!path.empty() && path[0] == '/') {
    out.push_back({Kind::Root, 0, 1});
    pos = 1;
  }
  bool first_piece = true;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    size_t end = slash == std::string_view::npos ? path.size() : slash;
    std::string_view piece = path.substr(pos, end - pos);
    if (piece == ".") {
      if (first_piece && out.empty()) out.push_back({Kind::CurDir, pos, end});
    } else if (piece == "..") {
      out.push_back({Kind::ParentDir, pos, end});
    } else if (!piece.empty()) {
      out.push_back({Kind::Normal, pos, end});
    }
    first_piece = false;
    if (slash == std::string_view::npos) break;
    pos = slash + 1;
  }
  return out;
}

// Position of the "." that splits a file name into stem and extension, or npos.
size_t split_dot(std::string_view name) {
  size_t dot = name.rfind('.');
  return dot == 0 ? std::string_view::npos : dot;
}

}  // namespace

std::string join(std::string_view base, std::string_view name) {
  if (!name.empty() && name[0] == '/') return std::string(name);
  std::string out(base);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

std::optional<std::string> file_name(std::string_view path) {
  auto parts = components(path);
  if (parts.empty() || parts.back().kind != Kind::Normal) return std::nullopt;
  const Component& last = parts.back();
  return std::string(path.substr(last.begin, last.end - last.begin));
}

std::optional<std::string> parent(std::string_view path) {
  auto parts = components(path);
  if (parts.empty() || parts.back().kind == Kind::Root) return std::nullopt;
  if (parts.size() == 1) return std::string();
  return std::string(path.substr(0, parts[parts.size() - 2].end));
}

std::optional<std::string> extension(std::string_view path) {
  auto name = file_name(path);
  if (!name) return std::nullopt;
  size_t dot = split_dot(*name);
  if (dot == std::string_view::npos) return std::nullopt;
  return name->substr(dot + 1);
}

std::optional<std::string> file_stem(std::string_view path) {
  auto name = file_name(path);
  if (!name) return std::nullopt;
  size_t dot = split_dot(*name);
  if (dot == std::string_view::npos) return name;
  return name->substr(0, dot);
}

bool has_app_extension(std::string_view path) {
  auto ext = extension(path);
  return ext && equals_ascii_folded(*ext, "app");
}

std::optional<std::string> enclosing_app_bundle(std::string_view path) {
  std::string candidate(path);
  for (;;) {
    if (has_app_extension(candidate)) return candidate;
    auto up = parent(candidate);
    if (!up) return std::nullopt;
    candidate = std::move(*up);
  }
}

}  // namespace kestro
