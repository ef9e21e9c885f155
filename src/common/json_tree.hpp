// Releasing JSON value trees without allocating.
//
// nlohmann's destructor flattens a non-empty array or object onto a std::vector before
// freeing it. When memory has run out, that allocation throws inside a destructor and
// ends the process. A tree released here is taken apart leaf by leaf, so that every
// container is empty by the time nlohmann destroys it, which allocates nothing.
#pragma once

#include <nlohmann/json.hpp>

namespace velno {

// Leaves `tree` null; never allocates and never throws, whatever the tree's depth.
void release_tree(nlohmann::json& tree) noexcept;

// Releases a tree that the scope owns when the scope ends, also while an exception
// unwinds it. A tree to be returned must be moved out explicitly, e.g.
// `return nlohmann::json(std::move(tree))`, or copy elision would hand out the tree
// that this releases.
class TreeRelease {
 public:
  explicit TreeRelease(nlohmann::json& tree) : tree_(tree) {}
  TreeRelease(const TreeRelease&) = delete;
  TreeRelease& operator=(const TreeRelease&) = delete;
  ~TreeRelease() { release_tree(tree_); }

 private:
  nlohmann::json& tree_;
};

}  // namespace velno
