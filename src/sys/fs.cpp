#include "sys/fs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "sys/fd.h"
#include "sys/platform.h"
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

// One directory on the way down: the entries still to visit, its identity (to recognise it
// again when climbing back through ".."), and its name in the directory above.
struct Level {
  std::vector<std::string> names;
  size_t next = 0;
  struct stat id;
  std::string name;
};

// What a walk does at each step; each returns 0 to go on, or an errno that ends the walk.
struct Visitor {
  // Each entry that is not a directory.
  std::function<int(int dir_fd, const std::string& name, const struct stat& st)> entry;
  // A directory that cannot be opened, or that was replaced since it was examined.
  std::function<int(int dir_fd, const std::string& name)> unopened;
  // Each directory, open, once everything in it was visited; the top one last.
  std::function<int(int dir_fd)> finished;
  // Each directory below the top one once more, from its parent, after `finished`.
  std::function<int(int parent_fd, const std::string& name)> left;
};

int call(const std::function<int(int)>& hook, int fd) { return hook ? hook(fd) : 0; }

// Visits everything below the directory open as `dir`, whose status is `top_id`. Depth-first
// with only the current directory open, so depth is bounded by memory, not by the descriptor
// limit: going down opens the child without following links and checks it is the entry that
// was examined; going up opens ".." and checks it is the directory we came from. A mismatch
// means someone moved the tree while we worked, and the walk stops with ESTALE rather than act
// outside it. Returns 0, or the errno that ended the walk.
int walk_below(UniqueFd dir, const struct stat& top_id, const Visitor& visit) {
  std::vector<Level> stack;
  stack.push_back({names_in(dir.get()), 0, top_id, ""});
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next < level.names.size()) {
      const std::string name = level.names[level.next++];
      struct stat entry {};
      if (fstatat(dir.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (!S_ISDIR(entry.st_mode)) {
        if (const int error = visit.entry ? visit.entry(dir.get(), name, entry) : 0) return error;
        continue;
      }
      UniqueFd child = open_directory(dir.get(), name.c_str());
      struct stat child_id {};
      if (!child.valid() || fstat(child.get(), &child_id) != 0 || !same_file(child_id, entry)) {
        if (const int error = visit.unopened ? visit.unopened(dir.get(), name) : 0) return error;
        continue;
      }
      stack.push_back({names_in(child.get()), 0, child_id, name});
      dir = std::move(child);
      continue;
    }
    if (const int error = call(visit.finished, dir.get())) return error;
    const std::string done = level.name;
    stack.pop_back();
    if (stack.empty()) return 0;
    UniqueFd up(
        retry_eintr([&] { return openat(dir.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    struct stat up_id {};
    if (!up.valid() || fstat(up.get(), &up_id) != 0 || !same_file(up_id, stack.back().id)) {
      return ESTALE;
    }
    dir = std::move(up);
    if (const int error = visit.left ? visit.left(dir.get(), done) : 0) return error;
  }
  return 0;
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
  // A directory that cannot be opened may still be empty, and then rmdir takes it. Failures
  // on the way are clean-up's and go unnoticed; only a tree that moved stops the removal.
  Visitor remove;
  remove.entry = [](int dir_fd, const std::string& name, const struct stat&) {
    unlinkat(dir_fd, name.c_str(), 0);
    return 0;
  };
  // Unreadable (mode 000, say) or replaced meanwhile: if it is empty, this removes it.
  remove.unopened = remove.left = [](int dir_fd, const std::string& name) {
    unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR);
    return 0;
  };
  if (dir.valid() && walk_below(std::move(dir), dir_id, remove) != 0) return;
  rmdir(path.c_str());
}

void remove_entry(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    remove_tree(path);
  } else {
    unlink(path.c_str());
  }
}

Expected<void, int> flush_tree(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    const int error = errno;
    return fail(error);
  }
  if (!S_ISDIR(st.st_mode)) return fail(ENOTDIR);
  UniqueFd dir = open_directory(AT_FDCWD, path.c_str());
  struct stat dir_id {};
  if (!dir.valid() || fstat(dir.get(), &dir_id) != 0 || !same_file(dir_id, st)) {
    const int error = dir.valid() ? ESTALE : errno;
    return fail(error);
  }
  UniqueFd top(fcntl(dir.get(), F_DUPFD_CLOEXEC, 0));  // the walk takes `dir` away
  if (!top.valid()) {
    const int error = errno;
    return fail(error);
  }
  Visitor flush;
  // Regular files only: a link is not followed, and a device or FIFO is never opened, which
  // could block or act on the device. The check of the copy refuses those anyway.
  flush.entry = [](int dir_fd, const std::string& name, const struct stat& entry) {
    if (!S_ISREG(entry.st_mode)) return 0;
    UniqueFd file(retry_eintr([&] {
      return openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }));
    const int synced = file.valid() ? retry_eintr([&] { return fsync(file.get()); }) : -1;
    return synced == 0 ? 0 : errno;
  };
  flush.unopened = [](int, const std::string&) { return EACCES; };
  flush.finished = [](int dir_fd) {
    return retry_eintr([&] { return fsync(dir_fd); }) == 0 ? 0 : errno;
  };
  if (const int error = walk_below(std::move(dir), dir_id, flush)) return fail(error);
  return full_sync(top.get());
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
