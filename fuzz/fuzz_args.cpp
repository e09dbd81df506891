// Fuzzes parse_args. The input is the argument list with NUL bytes between arguments (an empty
// input is an empty list). On success the request is compared with a plain re-reading of the
// list; on failure the message must be one of the eight the helper can print.
#include <cstdint>
#include <string>
#include <vector>

#include "cli/args.h"
#include "paths/text.h"

namespace {

using Args = std::vector<std::string>;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

Args split(const uint8_t* data, size_t size) {
  Args args;
  if (size == 0) return args;
  args.emplace_back();
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back() += static_cast<char>(data[i]);
    }
  }
  return args;
}

// Optional "+", then one or more ASCII digits, at most 4294967295.
bool decimal(const std::string& text, uint64_t& out) {
  size_t i = text.rfind('+', 0) == 0 ? 1 : 0;
  if (i == text.size()) return false;
  out = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + static_cast<uint64_t>(text[i] - '0');
    if (out > 0xFFFFFFFFu) return false;
  }
  return true;
}

// A successful parse means the list is flag/value pairs and every value was good; the request
// then holds the last value of each flag.
void check_success(const Args& args, const kestro::UpdateRequest& got) {
  check(args.size() % 2 == 0);
  const std::string* last[3] = {nullptr, nullptr, nullptr};
  const char* const flags[3] = {"--wait-pid", "--install", "--relaunch"};
  for (size_t i = 0; i < args.size(); i += 2) {
    int f = 0;
    while (f < 3 && args[i] != flags[f]) ++f;
    check(f < 3);
    const std::string& value = args[i + 1];
    uint64_t pid = 0;
    check(kestro::is_valid_utf8(value));
    check(f == 0 ? decimal(value, pid) : !value.empty());
    last[f] = &value;
  }
  check(last[0] && last[1] && last[2]);
  uint64_t pid = 0;
  check(decimal(*last[0], pid) && got.wait_pid == pid);
  check(got.install == *last[1] && got.relaunch == *last[2]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Args args = split(data, size);
  const auto result = kestro::parse_args(args);
  const Args good_tail = {"--wait-pid", "7", "--install", "u.zip", "--relaunch", "/A/K.app"};
  Args longer = args;
  longer.insert(longer.end(), good_tail.begin(), good_tail.end());

  if (result) {
    check_success(args, result.value());
    // Values given later win; values given earlier do not disturb a good list.
    const auto replaced = kestro::parse_args(longer);
    check(replaced && replaced.value().wait_pid == 7 && replaced.value().install == "u.zip" &&
          replaced.value().relaunch == "/A/K.app");
    Args front = good_tail;
    front.insert(front.end(), args.begin(), args.end());
    const auto same = kestro::parse_args(front);
    check(same && same.value().wait_pid == result.value().wait_pid &&
          same.value().install == result.value().install &&
          same.value().relaunch == result.value().relaunch);
    return 0;
  }

  const std::string shown = result.error().display();
  static const char* const kTexts[] = {"MissingFlag(\"--wait-pid\")",
                                       "MissingFlag(\"--install\")",
                                       "MissingFlag(\"--relaunch\")",
                                       "MissingFlag(\"unknown flag\")",
                                       "MissingFlag(\"unknown positional\")",
                                       "InvalidPid",
                                       "EmptyPath",
                                       "InvalidUtf8"};
  bool known = false;
  for (const char* text : kTexts) known = known || shown == text;
  check(known);
  // The faulty argument is somewhere in the list.
  bool invalid = false, empty = false, positional = false, dashed = false;
  for (const std::string& arg : args) {
    invalid = invalid || !kestro::is_valid_utf8(arg);
    empty = empty || arg.empty();
    positional = positional || arg.rfind('-', 0) != 0;
    dashed = dashed || (arg.rfind('-', 0) == 0 && arg != "--wait-pid" && arg != "--install" &&
                        arg != "--relaunch");
  }
  check(shown != "InvalidUtf8" || invalid);
  check(shown != "EmptyPath" || empty);
  check(shown != "MissingFlag(\"unknown positional\")" || positional);
  check(shown != "MissingFlag(\"unknown flag\")" || dashed);
  // Unless a flag or a flag's value is missing, the error is met inside the list: arguments
  // added after it cannot change it.
  if (shown.rfind("MissingFlag(\"--", 0) != 0) {
    const auto again = kestro::parse_args(longer);
    check(!again && again.error().display() == shown);
  }
  return 0;
}
