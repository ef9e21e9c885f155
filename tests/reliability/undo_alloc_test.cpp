// A change of password whose last allocations are refused removes its undo copy all
// the same: undo_alloc_host refuses each of them in turn and lists the directory after.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "child_process.hpp"
#include "support/test_support.hpp"

namespace velno::reliability {
namespace {

TEST(UndoCopyAllocations, RefusedAllocationsAtTheEndOfAChangeLeaveOnlyTheWalletFile) {
#ifdef VELNO_UNDO_ALLOC_HOST
  test::TempDir root;
  const ChildResult result = run_child({VELNO_UNDO_ALLOC_HOST, root.path(), std::to_string(env_int("VELNO_UNDO_ALLOC_LAST", 12))});
  std::printf("%s", result.output.c_str());
  EXPECT_TRUE(result.exited && result.status == 0) << result.output;
#else
  GTEST_SKIP() << "refusing allocations needs a Linux build without sanitizers";
#endif
}

}  // namespace
}  // namespace velno::reliability
