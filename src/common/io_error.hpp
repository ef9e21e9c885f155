// Failed file and directory operations, with the debug text that IO errors carry.
#pragma once

#include <string>
#include <string_view>

namespace velno {

struct IoError {
  enum class Shape { Os, Custom, KindOnly };
  Shape shape = Shape::Os;
  int code = 0;           // errno, for Shape::Os
  std::string kind;       // for Custom and KindOnly
  std::string message;    // for Custom

  static IoError os(int errnum);
  static IoError invalid_utf8();   // Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }
  static IoError write_zero();     // Error { kind: WriteZero, message: "failed to write whole buffer" }
  static IoError not_regular_file();  // Error { kind: InvalidInput, message: "not a regular file" }

  // Os { code: N, kind: K, message: "M" } | Error { kind: K, message: "M" } | Kind(K)
  std::string debug_text() const;
};

// The kind name of an error number ("NotFound" for ENOENT, "Uncategorized" for unlisted ones).
std::string_view io_error_kind_name(int errnum);

}  // namespace velno
