// Small helpers shared by the tests.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norva::testing {

// The exception of type E that f raises; a test failure when it raises nothing.
template <class E, class F>
std::optional<E> Raised(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "nothing was raised";
  return std::nullopt;
}

// What f raised, as text; "" when it raised nothing.
template <class F>
std::string What(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// The lists one after the other.
inline std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> lists) {
  std::vector<std::string> all;
  for (const auto& list : lists) all.insert(all.end(), list.begin(), list.end());
  return all;
}

// The lines, each ended by CR LF.
inline std::string Crlf(std::initializer_list<std::string_view> lines) {
  std::string text;
  for (std::string_view line : lines) (text += line) += "\r\n";
  return text;
}

// The KEY=value lines of a file, as the interop fixtures write them.
inline std::map<std::string, std::string> ReadSettings(const std::string& path) {
  std::map<std::string, std::string> settings;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (auto eq = line.find('='); eq != std::string::npos)
      settings[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return settings;
}

}  // namespace norva::testing
