// Texts crossing the C interface.
#pragma once

#include <string>
#include <string_view>

namespace velno {

// A malloc'd NUL-terminated copy that belongs to the host (released with free).
// A NUL byte inside `text` is written as the six characters \u0000, so the host
// receives the whole text. Without memory for the copy it answers General "Out of
// memory", from an answer put aside if need be (when the library is loaded, and again
// by the next copy that finds memory). Null only when even that answer has been handed out and
// malloc still finds no 44 bytes: the process is never ended for want of an answer.
char* string_to_host_text(std::string_view text) noexcept;

// The same copy, or null without memory for it: for log records (a record that finds
// no memory is dropped, and never takes the answer put aside) and for answers made
// before the work they report.
char* host_text_or_null(std::string_view text) noexcept;

// The bytes before the first NUL, copied without any check. `text` is not null.
std::string host_text_to_string(const char* text);

}  // namespace velno
