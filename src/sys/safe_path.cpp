#include "sys/safe_path.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "sys/fs.h"

namespace kestro::sys {

namespace {

// As many links as the system itself follows in one path before it gives up with ELOOP.
constexpr int kMaxLinks = 32;

bool owned_by_us_or_root(const struct stat& st) { return st.st_uid == 0 || st.st_uid == geteuid(); }

// Others may rename entries of a directory they may write to, unless its sticky bit limits
// that to each entry's owner (as in /tmp).
bool safe_directory(const struct stat& st) {
  const bool others_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  return owned_by_us_or_root(st) && (!others_write || (st.st_mode & S_ISVTX) != 0);
}

// The components of `path` in reverse order, so that the next one is at the back, without
// the empty ones that repeated slashes make.
std::vector<std::string> components_reversed(const std::string& path) {
  std::vector<std::string> out;
  size_t end = path.size();
  while (end > 0) {
    const size_t slash = path.rfind('/', end - 1);
    const size_t begin = slash == std::string::npos ? 0 : slash + 1;
    if (end > begin) out.push_back(path.substr(begin, end - begin));
    if (slash == std::string::npos) break;
    end = slash;
  }
  return out;
}

// The path of `dir`'s parent; "/" stays "/". `dir` has no links, ".", "..", or doubled "/".
std::string parent_of(const std::string& dir) {
  const size_t slash = dir.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
}

// The status of `path` itself (a link is not followed), or the errno of lstat.
Expected<struct stat, int> status_of(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    const int error = errno;
    return fail(error);
  }
  return st;
}

// Success for a directory that others cannot change; else ENOTDIR or EACCES.
Expected<void, int> check_directory(const struct stat& st) {
  if (!S_ISDIR(st.st_mode)) return fail(ENOTDIR);
  if (!safe_directory(st)) return fail(EACCES);
  return {};
}

Expected<void, int> check_directory(const std::string& dir) {
  auto st = status_of(dir);
  if (!st) return fail(st.error());
  return check_directory(st.value());
}

}  // namespace

Expected<void, int> check_safe_path(const std::string& dir) {
  // `at` is always a real directory path: no links, "." or ".." in it, so its parent by
  // name is its parent on disk. Each directory is checked as it is entered.
  std::string at = "/";
  if (dir.empty() || dir[0] != '/') {
    auto cwd = working_directory();
    if (!cwd) return fail(cwd.error());
    at = cwd.value();
  }
  if (auto ok = check_directory(at); !ok) return ok;

  std::vector<std::string> rest = components_reversed(dir);
  int links = 0;
  while (!rest.empty()) {
    const std::string name = rest.back();
    rest.pop_back();
    if (name == ".") continue;
    const std::string next = name == ".." ? parent_of(at) : (at == "/" ? "" : at) + "/" + name;
    auto st = status_of(next);
    if (!st) return fail(st.error());
    if (S_ISLNK(st.value().st_mode)) {
      // Whoever owns a link may point it elsewhere at any time.
      if (!owned_by_us_or_root(st.value())) return fail(EACCES);
      if (++links > kMaxLinks) return fail(ELOOP);
      auto target = read_link(next);
      if (!target) return fail(target.error());
      const std::vector<std::string> more = components_reversed(target.value());
      rest.insert(rest.end(), more.begin(), more.end());
      if (!target.value().empty() && target.value()[0] == '/') {
        at = "/";
        if (auto ok = check_directory(at); !ok) return ok;
      }
      continue;
    }
    if (auto ok = check_directory(st.value()); !ok) return ok;
    at = next;
  }
  return {};
}

}  // namespace kestro::sys
