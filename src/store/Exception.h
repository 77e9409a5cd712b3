// The base of every failure Norva raises.
#pragma once

#include <stdexcept>
#include <string>

namespace norva {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace norva
