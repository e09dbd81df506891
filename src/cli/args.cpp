#include "cli/args.h"

#include <cstdint>

#include "paths/text.h"

namespace kestro {

namespace {

ArgvError missing(const char* what) { return {ArgvError::Kind::MissingFlag, what}; }

// Unsigned 32-bit decimal: one optional "+", then ASCII digits only.
bool parse_pid(const std::string& text, uint32_t& out) {
  size_t pos = !text.empty() && text[0] == '+' ? 1 : 0;
  if (pos == text.size()) return false;
  uint64_t value = 0;
  for (; pos < text.size(); ++pos) {
    if (text[pos] < '0' || text[pos] > '9') return false;
    value = value * 10 + static_cast<uint64_t>(text[pos] - '0');
    if (value > UINT32_MAX) return false;
  }
  out = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

std::string ArgvError::display() const {
  switch (kind) {
    case Kind::MissingFlag:
      return std::string("MissingFlag(\"") + flag + "\")";
    case Kind::InvalidPid:
      return "InvalidPid";
    case Kind::EmptyPath:
      return "EmptyPath";
    case Kind::InvalidUtf8:
      return "InvalidUtf8";
  }
  return "";
}

Expected<UpdateRequest, ArgvError> parse_args(const std::vector<std::string>& args) {
  static const char* const kFlags[] = {"--wait-pid", "--install", "--relaunch"};
  UpdateRequest request;
  bool given[3] = {false, false, false};

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!is_valid_utf8(arg)) return fail(ArgvError{ArgvError::Kind::InvalidUtf8});
    int flag = 0;
    while (flag < 3 && arg != kFlags[flag]) ++flag;
    if (flag == 3) {
      return fail(missing(!arg.empty() && arg[0] == '-' ? "unknown flag" : "unknown positional"));
    }
    if (i + 1 == args.size()) return fail(missing(kFlags[flag]));
    const std::string& value = args[++i];  // taken whatever it looks like, even "--install"
    if (!is_valid_utf8(value)) return fail(ArgvError{ArgvError::Kind::InvalidUtf8});
    if (flag == 0) {
      if (!parse_pid(value, request.wait_pid)) return fail(ArgvError{ArgvError::Kind::InvalidPid});
    } else {
      if (value.empty()) return fail(ArgvError{ArgvError::Kind::EmptyPath});
      (flag == 1 ? request.install : request.relaunch) = value;
    }
    given[flag] = true;
  }

  for (int flag = 0; flag < 3; ++flag) {
    if (!given[flag]) return fail(missing(kFlags[flag]));
  }
  return request;
}

}  // namespace kestro
