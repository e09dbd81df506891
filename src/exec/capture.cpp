// run_capture: both output pipes are drained together, so a child that fills one pipe while
// the helper waits on the other can never block; the child is reaped only after both pipes
// reached end-of-file.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "exec/spawn.h"
#include "sys/io.h"
#include "sys/retry.h"

namespace kestro {

namespace {

// Appends as std::string::append does, except that a full buffer grows fourfold, not twofold.
// A big capture is bounded by page faults: every page of a new block is faulted in (and
// zeroed by the kernel) when first written, and a block left behind by a move was faulted in
// for nothing. With doubling, the blocks left behind add up to the final size again, twice
// the faults the data itself needs; growing fourfold leaves a third. Capacity never written
// costs address space, not memory, so the peak resident size stays that of the data.
void append_growing(std::string& buffer, const char* data, size_t size) {
  if (buffer.capacity() - buffer.size() < size) {
    buffer.reserve(std::max(buffer.capacity() * 4, buffer.size() + size));
  }
  buffer.append(data, size);
}

enum class ReadState { WouldBlock, EndOfFile, Failed };

// Appends everything `fd` holds now to `buffer`; on Failed, `error` is the errno.
ReadState read_available(int fd, std::string& buffer, int& error) {
  char chunk[65536];
  for (;;) {
    ssize_t n = sys::retry_eintr([&] { return read(fd, chunk, sizeof chunk); });
    if (n > 0) {
      append_growing(buffer, chunk, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return ReadState::EndOfFile;
    error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK) return ReadState::WouldBlock;
    return ReadState::Failed;
  }
}

// Reads both pipes to end-of-file; the errno of a failing poll or read otherwise.
Expected<void, int> drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  for (int fd : {out_fd, err_fd}) {
    if (auto set = sys::set_nonblocking(fd, true); !set) return set;
  }
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* buffers[2] = {&out, &err};
  int error = 0;
  for (;;) {
    if (sys::retry_eintr([&] { return poll(fds, 2, -1); }) == -1) {
      error = errno;
      return fail(error);
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      ReadState state = read_available(fds[i].fd, *buffers[i], error);
      if (state == ReadState::Failed) return fail(error);
      if (state == ReadState::EndOfFile) {
        // One stream is done: the other is simply read to its end, blocking.
        const int other = 1 - i;
        if (auto set = sys::set_nonblocking(fds[other].fd, false); !set) return set;
        state = read_available(fds[other].fd, *buffers[other], error);
        if (state != ReadState::EndOfFile) return fail(error);
        return {};
      }
    }
  }
}

}  // namespace

Expected<CapturedOutput, SpawnError> run_capture(const Command& command) {
  auto child = exec_detail::start_captured(command, false);
  if (!child) return fail(child.error());

  CapturedOutput captured;
  auto drained =
      drain(child.value().out.get(), child.value().err.get(), captured.out, captured.err);
  child.value().out.reset();
  child.value().err.reset();

  auto status = exec_detail::wait_child(child.value().pid);
  if (!status) return fail(status.error());
  if (!drained) return fail(SpawnError{drained.error()});
  captured.status = status.value();
  return captured;
}

}  // namespace kestro
