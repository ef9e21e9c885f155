// What every export shares: nothing but one envelope leaves it.
#pragma once

#include <new>
#include <utility>

namespace velno {

// {"code":"General","value":"Internal error"}, for failures that are not a DidError
// (exhausted memory, a broken invariant below the boundary).
char* internal_error_answer() noexcept;
// {"code":"General","value":"Out of memory"}, from the answer set aside if need be.
char* out_of_memory_answer() noexcept;

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

// The frame of an export whose work may commit before its answer is made (create_did
// stores its DID, then describes it): memory that runs out is answered "Out of memory",
// the one failure after which a host is told to look whether the work was done, rather
// than "Internal error", which a host would retry.
template <class F>
char* committing_export_frame(F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (const std::bad_alloc&) {
    return out_of_memory_answer();
  } catch (...) {
    return internal_error_answer();
  }
}

}  // namespace velno
