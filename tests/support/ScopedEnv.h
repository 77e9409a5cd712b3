// An environment variable set for a scope, and put back as it was afterwards.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <utility>

namespace norva::testing {

class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    ::setenv(name_.c_str(), value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_.c_str(), old_->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// The local time zone (a TZ value) for a scope; the C library's zone follows at both ends.
class ScopedZone {
 public:
  explicit ScopedZone(const std::string& tz) : tz_(std::in_place, "TZ", tz) { ::tzset(); }
  ~ScopedZone() {
    tz_.reset();
    ::tzset();
  }

 private:
  std::optional<ScopedEnv> tz_;
};

}  // namespace norva::testing
