#include "common/json_tree.hpp"

namespace velno {
namespace {

using Json = nlohmann::json;

bool has_children(const Json& v) {
  if (v.is_object()) return !v.get_ref<const Json::object_t&>().empty();
  if (v.is_array()) return !v.get_ref<const Json::array_t&>().empty();
  return false;
}

// The child that is taken off next: the last element, or the first member.
Json& next_child(Json& v) {
  if (v.is_array()) return v.get_ref<Json::array_t&>().back();
  return v.get_ref<Json::object_t&>().begin()->second;
}

// Takes off the next child of `parent`, a leaf or an empty container.
void drop_next_child(Json& parent) {
  if (parent.is_array()) {
    parent.get_ref<Json::array_t&>().pop_back();
    return;
  }
  auto& members = parent.get_ref<Json::object_t&>();
  members.erase(members.begin());
}

}  // namespace

// Without recursion or a stack of its own: each round walks down from the root to a
// container whose next child has no children, and takes that child off. The walk is
// as long as the tree is deep, which the reader bounds.
void release_tree(nlohmann::json& tree) noexcept {
  while (has_children(tree)) {
    Json* parent = &tree;
    while (has_children(next_child(*parent))) parent = &next_child(*parent);
    drop_next_child(*parent);
  }
  tree = nullptr;
}

}  // namespace velno
