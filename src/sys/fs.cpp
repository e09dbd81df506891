#include "sys/fs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <memory>

#include "sys/fd.h"
#include "sys/retry.h"

namespace kestro::sys {

namespace {

bool is_dot_or_dotdot(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Owner of a DIR stream; closing it also closes its descriptor.
struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The entry names of directory `name` under `dir_fd`, without "." and "..", read whole so that
// the stream is closed before anyone acts on them; or the errno of opening it.
Expected<std::vector<std::string>, int> read_names(int dir_fd, const char* name) {
  int fd = retry_eintr([&] { return openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) {
    int error = errno;
    return fail(error);
  }
  DIR* raw = fdopendir(fd);
  if (raw == nullptr) {
    int error = errno;
    close(fd);
    return fail(error);
  }
  std::unique_ptr<DIR, DirCloser> dir(raw);  // closing the stream closes `fd`
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir.get())) {
    if (!is_dot_or_dotdot(entry->d_name)) names.emplace_back(entry->d_name);
  }
  return names;
}

// The entries of the directory open as `dir_fd`; none when it cannot be read.
std::vector<std::string> names_in(int dir_fd) {
  auto names = read_names(dir_fd, ".");
  return names ? std::move(names.value()) : std::vector<std::string>{};
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

UniqueFd open_directory(int dir_fd, const char* name) {
  return UniqueFd(retry_eintr(
      [&] { return openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
}

// One directory on the way down: the entries still to remove, its identity (to recognise it
// again when climbing back through ".."), and its name in the directory above.
struct Level {
  std::vector<std::string> names;
  size_t next = 0;
  struct stat id;
  std::string name;
};

// Removes everything below the directory open as `dir`, whose status is `top_id`, and
// returns whether the walk got back to it. Depth-first with only the current directory
// open, so depth is bounded by memory, not by the descriptor limit: going down opens the
// child without following links and checks it is the entry that was examined; going up
// opens ".." and checks it is the directory we came from. A mismatch means someone moved
// the tree while we worked, and the walk stops rather than delete outside it.
bool remove_below(UniqueFd dir, const struct stat& top_id) {
  std::vector<Level> stack;
  stack.push_back({names_in(dir.get()), 0, top_id, ""});
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next < level.names.size()) {
      const std::string name = level.names[level.next++];
      struct stat entry {};
      if (fstatat(dir.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (!S_ISDIR(entry.st_mode)) {
        unlinkat(dir.get(), name.c_str(), 0);
        continue;
      }
      UniqueFd child = open_directory(dir.get(), name.c_str());
      struct stat child_id {};
      if (!child.valid() || fstat(child.get(), &child_id) != 0 || !same_file(child_id, entry)) {
        // Unreadable (mode 000, say) or replaced meanwhile: if it is empty, this removes it.
        unlinkat(dir.get(), name.c_str(), AT_REMOVEDIR);
        continue;
      }
      stack.push_back({names_in(child.get()), 0, child_id, name});
      dir = std::move(child);
      continue;
    }
    const std::string done = level.name;
    stack.pop_back();
    if (stack.empty()) return true;
    UniqueFd up(
        retry_eintr([&] { return openat(dir.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    struct stat up_id {};
    if (!up.valid() || fstat(up.get(), &up_id) != 0 || !same_file(up_id, stack.back().id)) {
      return false;
    }
    dir = std::move(up);
    unlinkat(dir.get(), done.c_str(), AT_REMOVEDIR);
  }
  return true;
}

}  // namespace

Expected<void, int> create_directories(const std::string& path, mode_t parent_mode,
                                       mode_t leaf_mode) {
  if (path.empty() || mkdir(path.c_str(), leaf_mode) == 0) return {};
  int error = errno;
  if (error == ENOENT) {
    // Each ancestor in turn, from the top: mkdir -p without needing the path rules. Ones
    // that exist fail with EEXIST and do no harm; the first other failure is the cause.
    int cause = 0;
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      if (mkdir(path.substr(0, slash).c_str(), parent_mode) == 0) continue;
      const int failed = errno;
      if (failed != EEXIST && cause == 0) cause = failed;
    }
    if (mkdir(path.c_str(), leaf_mode) == 0) return {};
    error = errno;
    if (error == ENOENT && cause != 0) error = cause;
  }
  // Covers "already there" and a racing creator alike.
  if (is_directory(path)) return {};
  return fail(error);
}

void remove_tree(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISLNK(st.st_mode)) {
    unlink(path.c_str());
    return;
  }
  if (!S_ISDIR(st.st_mode)) return;
  UniqueFd dir = open_directory(AT_FDCWD, path.c_str());
  struct stat dir_id {};
  if (dir.valid() && (fstat(dir.get(), &dir_id) != 0 || !same_file(dir_id, st))) return;
  // A directory that cannot be opened may still be empty, and then rmdir takes it.
  if (dir.valid() && !remove_below(std::move(dir), dir_id)) return;
  rmdir(path.c_str());
}

Expected<std::string, int> read_link(const std::string& path) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) {
      const int error = errno;
      return fail(error);
    }
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);  // possibly cut short: again with more room
  }
}

Expected<std::string, int> working_directory() {
  std::vector<char> buffer(256);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    const int error = errno;
    if (error != ERANGE) return fail(error);
    buffer.resize(buffer.size() * 2);
  }
  return std::string(buffer.data());
}

Expected<std::string, int> absolute_path(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  auto cwd = working_directory();
  if (!cwd) return fail(cwd.error());
  const std::string& base = cwd.value();
  return base + (base.back() == '/' ? "" : "/") + path;
}

Expected<Owner, int> owner_of(const std::string& path) {
  struct stat st {};
  if (retry_eintr([&] { return stat(path.c_str(), &st); }) != 0) {
    const int error = errno;
    return fail(error);
  }
  return Owner{st.st_uid, st.st_gid};
}

Expected<bool, int> on_read_only_volume(const std::string& path) {
  struct statvfs fs {};
  if (retry_eintr([&] { return statvfs(path.c_str(), &fs); }) != 0) {
    const int error = errno;
    return fail(error);
  }
  return (fs.f_flag & ST_RDONLY) != 0;
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Expected<std::vector<std::string>, int> list_directory(const std::string& path) {
  return read_names(AT_FDCWD, path.c_str());
}

}  // namespace kestro::sys
