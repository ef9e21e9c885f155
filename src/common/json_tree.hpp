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
// The same, zeroing every string and member name first: for trees that held secrets.
void wipe_tree(nlohmann::json& tree) noexcept;

// A deep copy of `tree`. nlohmann's own copy, when an allocation fails part-way, frees
// its half-made copy with the allocating release above, which ends the process. This
// one builds the copy inside a tree that is whole at every step, releases that as
// above when memory runs out, and passes the std::bad_alloc on. Needs no recursion.
nlohmann::json copy_tree(const nlohmann::json& tree);

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

// A value tree that is wiped and released as above when it ends: the reader's trees
// may hold a decrypted value.
class JsonTree {
 public:
  JsonTree() = default;
  JsonTree(JsonTree&& o) noexcept : tree_(std::move(o.tree_)) {}
  JsonTree& operator=(JsonTree&& o) noexcept {
    if (this != &o) {
      wipe_tree(tree_);
      tree_ = std::move(o.tree_);
    }
    return *this;
  }
  JsonTree(const JsonTree&) = delete;
  JsonTree& operator=(const JsonTree&) = delete;
  ~JsonTree() { wipe_tree(tree_); }

  nlohmann::json& get() { return tree_; }
  const nlohmann::json& get() const { return tree_; }
  const nlohmann::json* operator->() const { return &tree_; }
  operator const nlohmann::json&() const { return tree_; }

 private:
  nlohmann::json tree_;
};

}  // namespace velno
