// Sets the local time zone (TZ) for one scope and restores the previous one.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace qx {

class ScopedZone {
 public:
  explicit ScopedZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedZone() {
    if (previous_) {
      setenv("TZ", previous_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedZone(const ScopedZone&) = delete;
  ScopedZone& operator=(const ScopedZone&) = delete;

 private:
  std::optional<std::string> previous_;
};

// Central European time with its summer rule, written out so that a test
// needs no zone database.
inline constexpr char kRome[] = "CET-1CEST,M3.5.0,M10.5.0/3";

}  // namespace qx
