#include "support/env.h"

#include <stdlib.h>

namespace kestro::test {

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = getenv(name)) saved_ = old;
  set(value);
}

ScopedEnv::~ScopedEnv() { set(saved_ ? saved_->c_str() : nullptr); }

void ScopedEnv::set(const char* value) {
  if (value != nullptr) {
    setenv(name_.c_str(), value, 1);
  } else {
    unsetenv(name_.c_str());
  }
}

}  // namespace kestro::test
