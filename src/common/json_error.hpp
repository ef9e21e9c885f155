// A failure to read or write JSON, with the place of the fault in a parsed text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/result.hpp"

namespace velno {

struct JsonError {
  std::string message;                 // "missing field `key`", "trailing characters", ...
  std::optional<std::size_t> line;     // one-based; set for faults found in JSON text
  std::optional<std::size_t> column;   // one-based

  static JsonError at(std::string message, std::size_t line, std::size_t column);
  static JsonError plain(std::string message);

  // The message, followed by " at line <l> column <c>" when the fault has a place.
  std::string text() const;
};

template <class T>
using JsonResult = Result<T, JsonError>;

}  // namespace velno
