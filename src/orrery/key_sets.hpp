// Key sets: named groups of bindings shipped with Orrery, one of which is on at a time (the settings file's
// :key-set). A set sits under your own keys and over the plugins' and the shipped bindings, and its :remove
// entries drop shipped bindings while it is on. An entry may carry :os :mac or :os :linux to be on for that system
// only; Windows counts as Linux.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"
#include "orrery/keymap.hpp"

namespace orrery::key_sets {

inline constexpr std::string_view default_id = "default";

struct KeySet {
  std::string id;  // without the colon: "calva"
  std::string label;
  // The entries as the resource holds them, :os marks included.
  std::vector<kelp::Value> window, editor, remove;
};

// Every set, in the chooser's order: the default one, then Calva's paredit keys.
const std::vector<KeySet>& sets();
std::vector<std::string> ids();
// The set with that id; the default one for an id Orrery has no set for.
const KeySet& key_set(std::string_view id);
// The chooser's name of the set.
const std::string& label(std::string_view id);
// "mac" for the os.name property of macOS, "linux" for every other system.
std::string_view system(std::string_view os_name);
// The entries of scope ("window", "editor" or "remove") that are on for that system, in file order, without :os.
std::vector<kelp::Value> bindings(std::string_view id, std::string_view scope, std::string_view os_name);

// The id of the set that is on (the default one until set_live names another) and its entries for this build's
// system, read as bindings once per change so the key handlers take them as they are.
struct Layer {
  std::string id;
  std::vector<keymap::Binding> window, editor;
  std::vector<kelp::Value> remove;
  const std::vector<keymap::Binding>& scope(std::string_view name) const;
};
std::string live();
std::shared_ptr<const Layer> live_layer();
// Turns on the set with that id (the default one for an unknown id).
void set_live(std::string_view id);
// The chosen set's entries of scope on this system.
std::vector<kelp::Value> live_bindings(std::string_view scope);

// The set's entries of a scope on a system read as bindings; entries that don't read are left out.
std::vector<keymap::Binding> as_bindings(const std::vector<kelp::Value>& entries);

}  // namespace orrery::key_sets
