// What every export shares: nothing but one envelope leaves it.
#pragma once

#include <utility>

namespace velno {

// {"code":"General","value":"Internal error"}, for failures that are not a DidError
// (exhausted memory, a broken invariant below the boundary).
char* internal_error_answer() noexcept;

// Runs an export's body; anything it throws becomes the internal-error envelope
// instead of unwinding into the host.
template <class F>
char* export_frame(F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    return internal_error_answer();
  }
}

}  // namespace velno
