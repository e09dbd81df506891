// File-system helpers shared by the log and the extraction. Errors come back as errno values;
// none of these follow a symbolic link unless they say so.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "sys/expected.h"

namespace kestro::sys {

/// Creates `path` with `leaf_mode` and its missing ancestors with `parent_mode` (the umask
/// applies). An existing directory (or a link to one) counts as created; else the errno of
/// the last mkdir (EEXIST when something else is in the way).
Expected<void, int> create_directories(const std::string& path, mode_t parent_mode,
                                       mode_t leaf_mode);

/// Deletes a directory at `path` with everything below it, or a symbolic link at `path`
/// (never its target). A plain file is left alone. Failures are ignored: this is clean-up.
void remove_tree(const std::string& path);

/// Deletes whatever is at `path`: a directory with everything below it, as remove_tree does,
/// or anything else itself (a link, never its target). Failures are ignored.
void remove_entry(const std::string& path);

/// Opens and fsyncs every regular file and every directory under the directory `path` (not a
/// link there), never following a link or opening anything else, then has the disk itself
/// hold it (full_sync); the errno of the first failing step otherwise.
Expected<void, int> flush_tree(const std::string& path);

/// The target of symbolic link `path`, whole however long, or the errno of readlink.
Expected<std::string, int> read_link(const std::string& path);

/// The working directory, whole however long, or the errno of getcwd.
Expected<std::string, int> working_directory();

/// `path` itself when it begins with "/"; else the working directory, "/" and `path`; or the
/// errno of getcwd.
Expected<std::string, int> absolute_path(const std::string& path);

/// Who owns a file.
struct Owner {
  uid_t user = 0;
  gid_t group = 0;
};

/// The owner and group of `path`, following links, or the errno of stat.
Expected<Owner, int> owner_of(const std::string& path);

/// Whether the file system that holds `path` is mounted read-only, or the errno of statvfs.
Expected<bool, int> on_read_only_volume(const std::string& path);

/// True when `path` names a directory, following links; false when its status is unreadable.
bool is_directory(const std::string& path);

/// The entry names of directory `path` in the order the system yields them, without "." and
/// "..", or the errno of opening it. A failing read ends the listing early.
Expected<std::vector<std::string>, int> list_directory(const std::string& path);

}  // namespace kestro::sys
