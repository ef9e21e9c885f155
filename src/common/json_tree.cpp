#include "common/json_tree.hpp"

#include <sodium.h>

#include <utility>
#include <vector>

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

void wipe_text(std::string& s) {
  if (!s.empty()) sodium_memzero(s.data(), s.size());
}

void wipe_leaf(Json& v) {
  if (v.is_string()) wipe_text(v.get_ref<std::string&>());
}

// Takes off the next child of `parent`, a leaf or an empty container.
void drop_next_child(Json& parent, bool wipe) {
  if (parent.is_array()) {
    auto& items = parent.get_ref<Json::array_t&>();
    if (wipe) wipe_leaf(items.back());
    items.pop_back();
    return;
  }
  auto& members = parent.get_ref<Json::object_t&>();
  // Extracted, so that the member name can be zeroed too; the node is freed here.
  auto node = members.extract(members.begin());
  if (wipe) {
    wipe_text(node.key());
    wipe_leaf(node.mapped());
  }
}

// Without recursion or a stack of its own: each round walks down from the root to a
// container whose next child has no children, and takes that child off. The walk is
// as long as the tree is deep, which the reader bounds.
void take_apart(Json& tree, bool wipe) noexcept {
  while (has_children(tree)) {
    Json* parent = &tree;
    while (has_children(next_child(*parent))) parent = &next_child(*parent);
    drop_next_child(*parent, wipe);
  }
  if (wipe) wipe_leaf(tree);
  tree = nullptr;
}

}  // namespace

void release_tree(nlohmann::json& tree) noexcept { take_apart(tree, false); }
void wipe_tree(nlohmann::json& tree) noexcept { take_apart(tree, true); }

nlohmann::json copy_tree(const nlohmann::json& tree) {
  Json copy;
  try {
    // Values still to copy, each into its place in `copy`, which holds null until then:
    // array elements are made all at once and map nodes never move, so places stay put.
    std::vector<std::pair<const Json*, Json*>> pending{{&tree, &copy}};
    while (!pending.empty()) {
      const auto [from, to] = pending.back();
      pending.pop_back();
      if (from->is_array()) {
        const auto& items = from->get_ref<const Json::array_t&>();
        *to = Json::array();
        auto& into = to->get_ref<Json::array_t&>();
        into.resize(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) pending.emplace_back(&items[i], &into[i]);
      } else if (from->is_object()) {
        *to = Json::object();
        auto& into = to->get_ref<Json::object_t&>();
        for (const auto& [name, value] : from->get_ref<const Json::object_t&>())
          pending.emplace_back(&value, &into.emplace_hint(into.end(), name, nullptr)->second);
      } else {
        // A leaf: when its string cannot be had, `to` stays null.
        *to = *from;
      }
    }
  } catch (...) {
    release_tree(copy);
    throw;
  }
  return copy;
}

}  // namespace velno
