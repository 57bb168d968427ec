#pragma once
// Option checks shared by the subcommands: numbers are refused when they do not fit, never
// cut or wrapped (the parser alone would wrap "-1" into a huge id and saturate numbers that
// are too large).

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdint>
#include <string>

#include "outside/catalog/CatalogValidation.h"

namespace kxmp::cli {

// A whole decimal number from minimum to maximum; typeName names the value in --help.
inline CLI::Validator WholeNumber(int64_t minimum, int64_t maximum, const std::string& typeName) {
  const std::string rule = "must be a whole number from " + std::to_string(minimum) + " to " + std::to_string(maximum);
  return CLI::Validator(
      [minimum, maximum, rule](std::string& text) {
        int64_t value = 0;
        const char* end = text.data() + text.size();
        auto [ptr, ec] = std::from_chars(text.data(), end, value);
        const bool ok = !text.empty() && ec == std::errc() && ptr == end && value >= minimum && value <= maximum;
        return ok ? std::string() : rule;
      },
      typeName);
}

// A subclient's or mount path's id, as the catalog holds them.
inline const CLI::Validator kId = WholeNumber(1, catalog::kMaxId, "ID");
// A place in a list, a time value: from 0 up.
inline const CLI::Validator kNonNegative = WholeNumber(0, INT64_MAX, "N");
// A stream number (it names StreamMetadata_<n>.xml).
inline const CLI::Validator kStreamNumber = WholeNumber(0, INT32_MAX, "N");

}  // namespace kxmp::cli
