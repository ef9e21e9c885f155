// The refusal counter of the host programs that define malloc and its kin themselves:
// while armed, it counts allocations and refuses the N-th (or every one from it on).
// Each such program is a process of its own, so the state is one per process.
#pragma once

#include <atomic>
#include <climits>

namespace velno::reliability {

inline std::atomic<bool> g_armed{false};
inline long g_count = 0;
inline long g_nth = LONG_MAX;
inline bool g_every = false;

inline bool refuse() {
  if (!g_armed.load(std::memory_order_relaxed)) return false;
  const long n = ++g_count;
  return g_every ? n >= g_nth : n == g_nth;
}

}  // namespace velno::reliability
