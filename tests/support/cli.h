// Command-line pieces shared by the host tools.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace uft {

// A decimal or 0x-hexadecimal number, the whole text.
inline std::uint64_t ParseNumber(const std::string& text) {
  std::size_t used = 0;
  const std::uint64_t value = std::stoull(text, &used, 0);
  if (used != text.size()) throw std::invalid_argument("not a number: " + text);
  return value;
}

// The value after option argv[i]; advances i past it.
inline std::string OptionValue(int argc, char** argv, int& i) {
  if (i + 1 >= argc) throw std::invalid_argument(std::string(argv[i]) + " needs a value");
  return argv[++i];
}

}  // namespace uft
