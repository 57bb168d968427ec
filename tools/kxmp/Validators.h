#pragma once
// Option checks shared by the subcommands.

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdint>
#include <string>

namespace kxmp::cli {

// A whole decimal number that fits 64 bits: the parser alone would wrap "-1" into a huge
// subclient id and saturate numbers that are too large.
inline const CLI::Validator kUnsigned(
    [](std::string& text) {
      uint64_t value = 0;
      const char* end = text.data() + text.size();
      auto [ptr, ec] = std::from_chars(text.data(), end, value);
      const bool ok = !text.empty() && ec == std::errc() && ptr == end;
      return ok ? std::string() : std::string("must be a whole number from 0 to 18446744073709551615");
    },
    "UINT64");

}  // namespace kxmp::cli
