#include "orrery/menus.hpp"

#include <map>
#include <stdexcept>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/palette.hpp"
#include "orrery/resources.hpp"

namespace orrery::menus {

using kelp::Value;

namespace {

const Value K_LABEL = kelp::keyword("label"), K_SECTIONS = kelp::keyword("sections"),
            K_COMMAND = kelp::keyword("command");

bool is_mac(std::string_view os) { return os == "Mac OS X"; }

std::vector<Value> elements(const Value& v) {
  std::vector<Value> out;
  if (const kelp::Object* o = v.obj()) o->each([&](const Value& x) { out.push_back(x); return true; });
  return out;
}

std::string keyword_text(const Value& v) {
  if (!kelp::is_keyword(v)) return {};
  const auto& k = v.as<kelp::Keyword>();
  return k.has_ns() ? std::string(k.ns()) + "/" + std::string(k.name()) : std::string(k.name());
}

struct ReadError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

Node read_node(const Value& m, bool top, const std::string& where);

std::vector<std::vector<Node>> read_sections(const Value& v, const std::string& where) {
  if (!v.is(kelp::Kind::Vector)) throw ReadError(where + "'s :sections isn't a vector of sections.");
  std::vector<std::vector<Node>> out;
  size_t s = 0;
  for (const Value& section : elements(v)) {
    ++s;
    std::string here = where + ", section " + std::to_string(s);
    if (!section.is(kelp::Kind::Vector)) throw ReadError(here + ", isn't a vector of items.");
    std::vector<Node> nodes;
    size_t i = 0;
    for (const Value& item : elements(section))
      nodes.push_back(read_node(item, false, here + " item " + std::to_string(++i)));
    out.push_back(std::move(nodes));
  }
  return out;
}

Node read_node(const Value& m, bool top, const std::string& where) {
  if (!kelp::is_map(m)) throw ReadError(where + " isn't a map.");
  Node n;
  if (const Value* label = kelp::get(m, K_LABEL)) {
    if (!label->is(kelp::Kind::String)) throw ReadError(where + "'s :label isn't a string.");
    n.label = std::string(kelp::str_view(*label));
  }
  const Value* sections = kelp::get(m, K_SECTIONS);
  n.submenu = top || sections;
  if (sections) n.sections = read_sections(*sections, where);
  const Value* command = kelp::get(m, K_COMMAND);
  if (!n.submenu && command) n.command = kelp::is_keyword(*command) ? keyword_text(*command) : kelp::pr_str(*command);
  return n;
}

// A node's name in a path: its label, else its place.
std::string name_of(const Node& n, const std::string& place) { return n.label.empty() ? place : n.label; }

void node_problems(const Node& n, const std::string& path, const std::set<std::string>& ids,
                   std::vector<std::string>& out) {
  if (!n.submenu) {
    if (n.label.empty()) out.push_back(path + " has no label");
    if (!ids.count(n.command)) out.push_back(path + " isn't a command");
    return;
  }
  if (n.label.empty()) out.push_back(path + " has no label");
  if (n.sections.empty()) out.push_back(path + " has no sections");
  for (size_t s = 0; s < n.sections.size(); ++s) {
    if (n.sections[s].empty()) out.push_back(path + " has an empty section");
    for (size_t i = 0; i < n.sections[s].size(); ++i) {
      const Node& child = n.sections[s][i];
      std::string place = "section " + std::to_string(s + 1) + " item " + std::to_string(i + 1);
      std::string child_path = path + (child.submenu ? " > " : ": ") + name_of(child, place);
      node_problems(child, child_path, ids, out);
    }
  }
}

void collect_items(const Node& n, std::vector<const Node*>& out) {
  for (const auto& section : n.sections)
    for (const auto& child : section) {
      if (child.submenu)
        collect_items(child, out);
      else
        out.push_back(&child);
    }
}

void fill_keys(Node& n, const keymap::Keymap& keymap, std::string_view os) {
  if (!n.submenu) {
    n.action = action_name(n.command);
    n.accel.clear();
    n.keys_text.clear();
    if (const Binding* b = shown_binding(keymap, n.command))
      n.accel = accel(*b, os);
    else if (const Binding* s = sequence_binding(keymap, n.command))
      n.keys_text = keys_text(*s, os);
    return;
  }
  for (auto& section : n.sections)
    for (auto& child : section) fill_keys(child, keymap, os);
}

const Binding* first_binding(const keymap::Keymap& keymap, std::string_view id, bool sequence) {
  for (const char* scope : {"window", "editor"}) {
    auto it = keymap.find(scope);
    if (it == keymap.end()) continue;
    for (const auto& b : it->second)
      if (b.command == id && b.when.empty() && b.is_sequence() == sequence) return &b;
  }
  return nullptr;
}

}  // namespace

std::optional<Menus> read_menus(std::string_view edn_text, std::string* error) {
  auto fail = [&](std::string sentence) -> std::optional<Menus> {
    if (error) *error = std::move(sentence);
    return std::nullopt;
  };
  auto read = kelp::read_edn(edn_text);
  if (!read) return fail("The menus don't read as EDN: " + read.failure().message);
  if (!read->is(kelp::Kind::Vector)) return fail("The menus aren't a vector of menus.");
  try {
    Menus out;
    size_t i = 0;
    for (const Value& m : elements(*read)) out.push_back(read_node(m, true, "menu " + std::to_string(++i)));
    return out;
  } catch (const ReadError& e) {
    return fail(std::string("The menus don't read: ") + e.what());
  }
}

const Menus& shipped() {
  static const Menus menus = [] {
    auto text = resource("orrery/menus.edn");
    if (!text) throw std::logic_error("This build carries no menus.");
    std::string error;
    auto read = read_menus(*text, &error);
    if (!read) throw std::logic_error(error);
    return std::move(*read);
  }();
  return menus;
}

bool is_submenu(const Node& n) { return n.submenu; }

std::vector<const Node*> items(const Node& menu) {
  std::vector<const Node*> out;
  collect_items(menu, out);
  return out;
}

std::vector<std::string> command_ids(const Menus& menus) {
  std::vector<std::string> out;
  for (const auto& m : menus)
    for (const Node* item : items(m)) out.push_back(item->command);
  return out;
}

std::vector<std::string> menu_problems(const Node& menu, const std::set<std::string>& ids, size_t index) {
  std::vector<std::string> out;
  node_problems(menu, name_of(menu, "menu " + std::to_string(index + 1)), ids, out);
  return out;
}

std::vector<std::string> problems(const Menus& menus, const std::set<std::string>& ids) {
  std::vector<std::string> out;
  for (size_t i = 0; i < menus.size(); ++i) {
    auto more = menu_problems(menus[i], ids, i);
    out.insert(out.end(), more.begin(), more.end());
  }
  std::map<std::string, int> seen;
  for (const auto& id : command_ids(menus))
    if (++seen[id] == 2) out.push_back(":" + id + " is listed twice");
  return out;
}

std::string action_name(std::string_view id) {
  std::string out(id);
  if (auto slash = out.find('/'); slash != std::string::npos) out[slash] = '.';
  return out;
}

std::string command_of(std::string_view action) {
  std::string out(action);
  if (auto dot = out.rfind('.'); dot != std::string::npos) out[dot] = '/';
  return out;
}

std::string accel(const Binding& b, std::string_view os) {
  using namespace keymap;
  Mods m = b.exact ? *b.exact : b.mods;
  if (m & CMD) m = Mods(m | (is_mac(os) ? META : CTRL));
  std::string out;
  if (m & SHIFT) out += "<Shift>";
  if (m & ALT) out += "<Alt>";
  if (m & CTRL) out += "<Control>";
  if (m & META) out += "<Meta>";
  if (m & SUPER) out += "<Super>";
  std::string key = b.key;
  if (key.empty()) {
    for (const auto& k : b.keys)
      if (k.rfind("KP_", 0) != 0) {
        key = k;
        break;
      }
    if (key.empty() && !b.keys.empty()) key = b.keys.front();
  }
  return out + key;
}

const Binding* shown_binding(const keymap::Keymap& keymap, std::string_view id) {
  return first_binding(keymap, id, false);
}

const Binding* sequence_binding(const keymap::Keymap& keymap, std::string_view id) {
  return first_binding(keymap, id, true);
}

std::string mac_symbols(std::string_view label) {
  struct Sign {
    std::string_view word, sign;
  };
  static constexpr Sign SIGNS[] = {{"Cmd+", "⌘"}, {"Ctrl+", "⌃"}, {"Option+", "⌥"}, {"Shift+", "⇧"}};
  std::string out;
  size_t i = 0;
  while (i < label.size()) {
    bool replaced = false;
    for (const auto& s : SIGNS)
      if (label.substr(i, s.word.size()) == s.word) {
        out += s.sign;
        i += s.word.size();
        replaced = true;
        break;
      }
    if (!replaced) out += label[i++];
  }
  return out;
}

std::string keys_text(const Binding& b, std::string_view os) {
  std::string label = palette::chord_label(b, os);
  return is_mac(os) ? mac_symbols(label) : label;
}

Node with_keys(Node menu, const keymap::Keymap& keymap, std::string_view os) {
  fill_keys(menu, keymap, os);
  return menu;
}

Menus tree(const Menus& menus, const keymap::Keymap& keymap, std::string_view os) {
  Menus out;
  for (const auto& m : menus) out.push_back(with_keys(m, keymap, os));
  return out;
}

Menus tree(const keymap::Keymap& keymap, std::string_view os) { return tree(shipped(), keymap, os); }

bool has_tick(std::string_view id) { return id == "run/reset-on-run"; }

}  // namespace orrery::menus
