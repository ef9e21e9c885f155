// Copying value trees while memory runs out: a copy refused part-way releases what it
// made without allocating and throws, where nlohmann's own copy ends the process.
#include "common/json_tree.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

// Sanitizers bring an operator new of their own: the refusing one below is left out there.
#include "support/sanitized.hpp"

#ifndef VELNO_TEST_SANITIZED

namespace {
// Allocations through operator new still granted (-1: any number), and those made.
std::atomic<long> g_granted{-1};
std::atomic<long> g_made{0};
// Not inlined: g++ would otherwise take the free() below for one of a new'd block.
[[gnu::noinline]] void release_block(void* p) noexcept { std::free(p); }
}  // namespace
void* operator new(std::size_t size) {
  if (g_granted.load() == 0) throw std::bad_alloc();
  if (g_granted.load() > 0) --g_granted;
  ++g_made;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { release_block(p); }
void operator delete(void* p, std::size_t) noexcept { release_block(p); }

namespace velno {
namespace {

using nlohmann::json;

// Member names and strings too long to be kept inside their string objects, so that
// each one is an allocation of its own.
std::string text(int i) { return "a text long enough to be allocated " + std::to_string(i); }

std::vector<json> hostile_trees() {
  json deep = json::array({1});
  for (int i = 1; i < 120; ++i) deep = json::array({std::move(deep)});
  json wide = json::object();
  for (int i = 0; i < 300; ++i) wide[text(i)] = text(i);
  return {
      {{"id", text(0)}, {"metadata", json::array({1})}, {"publicDID", false}, {"seed", nullptr}},
      {{text(1), text(2)}},
      {{"metadata", std::move(deep)}},
      {{"metadata", std::move(wide)}},
      json::array({json::object(), json::array(), text(3), 1.5, -1, true, nullptr, json::array({json::object({{text(4), json::array({text(5)})}})})}),
  };
}

TEST(JsonTreeCopy, EveryRefusalPartWayThrowsAndAnyMemoryEnoughCopiesExactly) {
  int n = 0;
  for (json& tree : hostile_trees()) {
    SCOPED_TRACE(++n);
    g_made = 0;
    json whole = copy_tree(tree);
    const long needed = g_made.load();
    EXPECT_EQ(whole, tree);
    ASSERT_GT(needed, 1);
    for (long granted = 0; granted < needed; ++granted) {
      g_granted = granted;
      bool refused = false;
      try {
        json copy = copy_tree(tree);
        release_tree(copy);
      } catch (const std::bad_alloc&) {
        refused = true;
      }
      g_granted = -1;
      EXPECT_TRUE(refused) << granted << " of " << needed;
    }
    release_tree(whole);
    EXPECT_TRUE(whole.is_null());
    release_tree(tree);
  }
}

}  // namespace
}  // namespace velno

#else

TEST(JsonTreeCopy, EveryRefusalPartWayThrowsAndAnyMemoryEnoughCopiesExactly) {
  GTEST_SKIP() << "refusing allocations needs a build without sanitizers";
}

#endif
