// Between two renames the installed bundle's name is free: a power cut there leaves the Mac
// without its application, and a process of an administrator may take the name meanwhile.
// Exchanging the two names in one step leaves no such moment; only where the volume cannot do
// that (HFS+, some network and FAT volumes) are there two renames again.
#include "apply/swap.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>

#include "paths/paths.h"
#include "paths/text.h"
#include "sys/fd.h"
#include "sys/fs.h"
#include "sys/os_error.h"
#include "sys/platform.h"
#include "sys/retry.h"

namespace kestro {

namespace {

constexpr int kAttempts = 3;

// Renames `from` to `to`, removing whatever is in the way at `to` (which `rename` cannot
// replace: a folder with something in it, or a file where a folder goes) and trying again, at
// most kAttempts times; the errno of the last attempt otherwise.
int rename_clearing(const std::string& from, const std::string& to) {
  int error = 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (rename(from.c_str(), to.c_str()) == 0) return 0;
    error = errno;
    if (error != ENOTEMPTY && error != EEXIST && error != ENOTDIR && error != EISDIR) break;
    sys::remove_entry(to);
  }
  return error;
}

// Two renames, for a volume that cannot exchange names.
Expected<void, std::string> swap_by_renames(const std::string& fresh, const std::string& installed,
                                            const std::string& backup) {
  sys::remove_entry(backup);
  if (rename(installed.c_str(), backup.c_str()) != 0) {
    const int error = errno;
    return fail("cannot move " + message_text(installed) + " to " + message_text(backup) + ": " +
                sys::os_error_text(error));
  }
  const int error = rename_clearing(fresh, installed);
  if (error == 0) return {};
  // The old build goes back; and if even that cannot be done, nobody else's folder stays at
  // the installed bundle's name.
  if (rename_clearing(backup, installed) != 0) sys::remove_entry(installed);
  return fail("cannot move " + message_text(fresh) + " to " + message_text(installed) + ": " +
              sys::os_error_text(error));
}

}  // namespace

Expected<void, std::string> swap_bundles(const std::string& fresh, const std::string& installed,
                                         const std::string& backup) {
  // The new build's files must be on the disk before the name points at them: the rename is
  // journaled, the files it names may not be.
  if (auto flushed = sys::flush_tree(fresh); !flushed) {
    return fail("cannot flush " + message_text(fresh) + ": " + sys::os_error_text(flushed.error()));
  }
  auto exchanged = sys::exchange_paths(fresh, installed);
  if (exchanged) {
    // The old build is at `fresh` now. Kept as the backup where nothing is in the way;
    // otherwise it stays there, and the root shell removes it with its folder.
    sys::remove_entry(backup);
    (void)sys::rename_no_replace(fresh, backup);
  } else if (exchanged.error() == ENOTSUP) {
    if (auto moved = swap_by_renames(fresh, installed, backup); !moved) return moved;
  } else {
    return fail("cannot exchange " + message_text(fresh) + " and " + message_text(installed) +
                ": " + sys::os_error_text(exchanged.error()));
  }
  // The update has happened, whatever comes of this: the disk is asked to hold the folder's
  // new entries too.
  sys::UniqueFd folder(sys::retry_eintr([&] {
    return open(parent(installed).value_or("/").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  if (folder.valid()) (void)sys::full_sync(folder.get());
  return {};
}

}  // namespace kestro
