#include "sys/fs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>

#include "paths/paths.h"
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

// Empties the directory open as `dir_fd`. Each entry is examined without following links:
// a directory is emptied and removed, anything else is unlinked. Only one descriptor per level
// stays open while descending.
void remove_contents(int dir_fd) {
  auto names = read_names(dir_fd, ".");
  if (!names) return;
  for (const std::string& name : names.value()) {
    struct stat st {};
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      UniqueFd child(retry_eintr([&] {
        return openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      }));
      if (child.valid()) remove_contents(child.get());
      unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR);
    } else {
      unlinkat(dir_fd, name.c_str(), 0);
    }
  }
}

}  // namespace

int create_directories(const std::string& path, mode_t parent_mode, mode_t leaf_mode) {
  if (path.empty()) return 0;
  if (mkdir(path.c_str(), leaf_mode) == 0) return 0;
  int error = errno;
  if (error == ENOENT) {
    auto up = parent(path);
    if (up && !up->empty()) {
      int up_error = create_directories(*up, parent_mode, parent_mode);
      if (up_error != 0) return up_error;
      if (mkdir(path.c_str(), leaf_mode) == 0) return 0;
      error = errno;
    }
  }
  // Covers "already there" and a racing creator alike.
  if (is_directory(path)) return 0;
  return error;
}

void remove_tree(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISLNK(st.st_mode)) {
    unlink(path.c_str());
    return;
  }
  if (!S_ISDIR(st.st_mode)) return;
  UniqueFd dir(retry_eintr(
      [&] { return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
  if (!dir.valid()) return;
  remove_contents(dir.get());
  rmdir(path.c_str());
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Expected<std::vector<std::string>, int> list_directory(const std::string& path) {
  return read_names(AT_FDCWD, path.c_str());
}

}  // namespace kestro::sys
