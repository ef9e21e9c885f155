// Texts crossing the C interface.
#pragma once

#include <string>
#include <string_view>

namespace velno {

// A malloc'd NUL-terminated copy that belongs to the host (released with free).
// A NUL byte inside `text` is written as the six characters \u0000, so the host
// receives the whole text. Without memory for the copy it answers General "Out of
// memory", from an answer put aside earlier if need be. Never returns null (aborts only
// when even that has been handed out and malloc still finds no 44 bytes).
char* string_to_host_text(std::string_view text);

// The bytes before the first NUL, copied without any check. `text` is not null.
std::string host_text_to_string(const char* text);

}  // namespace velno
