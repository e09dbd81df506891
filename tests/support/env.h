// Test support: environment variables changed for one scope.
#pragma once

#include <optional>
#include <string>

namespace kestro::test {

/// Sets `name` to `value` (nullptr unsets it) until the end of the scope, then restores what
/// it was before.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  /// Sets (or, with nullptr, unsets) the variable again; the restore is unchanged.
  void set(const char* value);

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

}  // namespace kestro::test
