#include "orrery/user_keys.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "kelp/data/map.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/command_registry.hpp"
#include "orrery/text_file.hpp"

namespace orrery::user_keys {

using kelp::Value;

namespace {

std::mutex live_mutex;
std::shared_ptr<const UserKeys> live_keys;
std::shared_ptr<const WindowFns> live_window_fns;

std::vector<Value> items(const Value& coll) {
  std::vector<Value> out;
  if (const kelp::Object* o = coll.obj()) o->each([&](const Value& x) { out.push_back(x); return true; });
  return out;
}

bool is_coll(const Value& v) {
  return v.is(kelp::Kind::Vector) || v.is(kelp::Kind::List) || kelp::is_set(v) || v.is(kelp::Kind::Seq);
}

std::string keyword_text(const Value& v) {
  if (!kelp::is_keyword(v)) return {};
  const auto& k = v.as<kelp::Keyword>();
  return k.has_ns() ? std::string(k.ns()) + "/" + std::string(k.name()) : std::string(k.name());
}

const Value K_WINDOW = kelp::keyword("window"), K_EDITOR = kelp::keyword("editor"),
            K_REMOVE = kelp::keyword("remove"), K_KEY = kelp::keyword("key"), K_KEYS = kelp::keyword("keys"),
            K_MODS = kelp::keyword("mods"), K_NOT = kelp::keyword("not"), K_EXACT = kelp::keyword("exact"),
            K_PHYSICAL = kelp::keyword("physical?"), K_COMMAND = kelp::keyword("command"),
            K_THEN = kelp::keyword("then");

// A modifier set as names: keywords by their text, anything else printed, so that no two differ by accident.
std::set<std::string> mod_names(const Value* set) {
  std::set<std::string> out;
  if (!set) return out;
  if (!is_coll(*set)) return {kelp::pr_str(*set)};
  for (const Value& x : items(*set)) out.insert(kelp::is_keyword(x) ? keyword_text(x) : kelp::pr_str(x));
  return out;
}

std::set<std::string> mod_names(keymap::Mods mods) {
  std::set<std::string> out;
  for (keymap::Mods m : {keymap::SHIFT, keymap::CTRL, keymap::ALT, keymap::SUPER, keymap::META, keymap::CMD})
    if (mods & m) out.insert(std::string(keymap::mod_name(m)));
  return out;
}

ChordId chord_id(const Value& m) {
  ChordId c;
  if (const Value* key = kelp::get(m, K_KEY))
    c.keys.push_back(key->is(kelp::Kind::String) ? std::string(kelp::str_view(*key)) : kelp::pr_str(*key));
  if (const Value* keys = kelp::get(m, K_KEYS); keys && is_coll(*keys))
    for (const Value& k : items(*keys))
      c.keys.push_back(k.is(kelp::Kind::String) ? std::string(kelp::str_view(k)) : kelp::pr_str(k));
  std::sort(c.keys.begin(), c.keys.end());
  c.keys.erase(std::unique(c.keys.begin(), c.keys.end()), c.keys.end());
  c.mods = mod_names(kelp::get(m, K_MODS));
  c.not_ = mod_names(kelp::get(m, K_NOT));
  if (const Value* exact = kelp::get(m, K_EXACT)) c.exact = mod_names(exact);
  const Value* physical = kelp::get(m, K_PHYSICAL);
  c.physical = physical && physical->is_bool() && physical->as_bool();
  return c;
}

ChordId chord_id(const keymap::Chord& ch) {
  ChordId c;
  c.keys = ch.names();
  std::sort(c.keys.begin(), c.keys.end());
  c.mods = mod_names(ch.mods);
  c.not_ = mod_names(ch.not_);
  if (ch.exact) c.exact = mod_names(*ch.exact);
  c.physical = ch.physical;
  return c;
}

// Whether the binding fires on some state holding no modifier but Shift.
bool fires_without_modifiers(const keymap::Chord& c) {
  return keymap::modifiers_match(c, 0) || keymap::modifiers_match(c, keymap::MASK_SHIFT);
}

}  // namespace

const std::vector<Binding>& UserKeys::scope(std::string_view name) const {
  static const std::vector<Binding> none;
  return name == "window" ? window : name == "editor" ? editor : none;
}

const UserKeys& no_keys() {
  static const UserKeys none;
  return none;
}

std::shared_ptr<const UserKeys> live() {
  std::lock_guard lock(live_mutex);
  if (!live_keys) live_keys = std::make_shared<const UserKeys>();
  return live_keys;
}

void set_live(std::shared_ptr<const UserKeys> keys) {
  if (!keys) keys = std::make_shared<const UserKeys>();
  std::lock_guard lock(live_mutex);
  live_keys = std::move(keys);
}

std::shared_ptr<const WindowFns> window_fns() {
  std::lock_guard lock(live_mutex);
  return live_window_fns;
}

void set_window_fns(std::shared_ptr<const WindowFns> fns) {
  std::lock_guard lock(live_mutex);
  live_window_fns = std::move(fns);
}

std::filesystem::path keys_path(const std::filesystem::path& settings_path) {
  return settings_path.parent_path() / "keys.edn";
}

std::string_view template_text() {
  static const std::string text =
      ";; Your own key bindings for Orrery. Saving this file in Orrery reloads it,\n"
      ";; and so does \"Reload your key bindings\" in the command palette.\n"
      ";;\n"
      ";; :window keys work anywhere in the window, :editor keys while the editor\n"
      ";; has the focus. Yours are tried first, so they win over Orrery's own.\n"
      ";; :remove drops one of Orrery's or a plugin's bindings: name its key,\n"
      ";; its modifiers and its command.\n"
      ";; \"List every key binding\" in the palette prints each command's id and\n"
      ";; keys. Modifiers are :cmd (Cmd on a Mac, Ctrl elsewhere), :shift, :alt,\n"
      ";; :ctrl, :meta and :super.\n"
      ";; {:window [{:key \"e\" :mods #{:cmd :shift} :command :run/run}]\n"
      ";;  :editor []\n"
      ";;  :remove [{:key \"r\" :mods #{:cmd} :command :run/run}]}\n"
      "{:window []\n"
      " :editor []\n"
      " :remove []}\n";
  return text;
}

Registered registered(const std::set<std::string>& plugin_window_commands,
                      const std::set<std::string>& plugin_editor_commands) {
  namespace cr = command_registry;
  Registered reg;
  reg.window_commands = cr::window_commands().ids();
  reg.editor_commands = cr::editor_commands().ids();
  reg.window_commands.insert(plugin_window_commands.begin(), plugin_window_commands.end());
  reg.editor_commands.insert(plugin_editor_commands.begin(), plugin_editor_commands.end());
  reg.window_conditions = cr::condition_ids(cr::window_conditions());
  reg.editor_conditions = cr::condition_ids(cr::editor_conditions());
  return reg;
}

std::optional<std::string> binding_problem(const Value& m, std::string_view scope, const Registered& reg) {
  if (!kelp::is_map(m)) return "isn't a map";
  const bool window = scope == "window";
  // Every command either scope has counts as registered here, so that one of the other scope gets the sentence
  // that says which scope it belongs to.
  std::set<std::string> commands = reg.window_commands;
  commands.insert(reg.editor_commands.begin(), reg.editor_commands.end());
  const auto& conditions = window ? reg.window_conditions : reg.editor_conditions;
  auto found = keymap::problems(kelp::make_vector({m}), commands, conditions);
  if (!found.empty()) {
    std::string out;
    for (auto& p : found) {
      constexpr std::string_view prefix = "binding 0 ";
      if (p.starts_with(prefix)) p.erase(0, prefix.size());
      out += (out.empty() ? "" : ", ") + p;
    }
    return out;
  }
  auto b = keymap::to_binding(m);
  if (!b) return "isn't a binding";
  // The window sees a key before the editor does, so either scope's binding would run each time the key types.
  const auto names = b->names();
  if (std::any_of(names.begin(), names.end(), [](const std::string& n) { return keymap::is_typing_key(n); }) &&
      fires_without_modifiers(*b))
    return "binds a key that types with no modifier but Shift, which would replace typing";
  if (!b->command.empty()) {
    const auto& own = window ? reg.window_commands : reg.editor_commands;
    const auto& other = window ? reg.editor_commands : reg.window_commands;
    if (!own.count(b->command) && other.count(b->command))
      return "names :" + b->command + ", which is " + (window ? "an editor" : "a window") + " command";
  }
  return std::nullopt;
}

std::optional<std::string> remove_problem(const Value& entry) {
  if (!kelp::is_map(entry)) return "isn't a map";
  if (!kelp::get(entry, K_KEY) && !kelp::get(entry, K_KEYS)) return "has neither :key nor :keys";
  if (!kelp::get(entry, K_COMMAND)) return "has no :command";
  return std::nullopt;
}

Read read_keys(std::string_view text, const Registered& reg) {
  Read out;
  auto read = kelp::read_edn(text);
  if (!read) {
    // Text with no form at all (blank, or only comments) binds nothing and says nothing; text whose forms read
    // but do not start with a map is named as such; anything else doesn't read.
    auto forms = kelp::read_edn("[" + std::string(text) + "\n]");
    if (forms && items(*forms).empty()) return out;
    if (forms && !kelp::is_map(items(*forms).front()))
      out.problems.push_back("the file must hold a map, {:window [...] :editor [...] :remove [...]}");
    else
      out.problems.push_back("couldn't be read (" + read.failure().message + "), so none of it is loaded");
    return out;
  }
  const Value& m = *read;
  if (!kelp::is_map(m)) {
    out.problems.push_back("the file must hold a map, {:window [...] :editor [...] :remove [...]}");
    return out;
  }
  std::vector<Value> unknown;
  m.obj()->each_entry([&](const Value& k, const Value&) {
    if (!(k == K_WINDOW || k == K_EDITOR || k == K_REMOVE)) unknown.push_back(k);
    return true;
  });
  if (!unknown.empty()) {
    std::string list;
    for (const auto& k : unknown) list += (list.empty() ? "" : " ") + kelp::pr_str(k);
    out.problems.push_back("has unknown keys (" + list + "), only :window :editor :remove");
  }
  for (const Value* section : {&K_WINDOW, &K_EDITOR, &K_REMOVE}) {
    const Value* entries = kelp::get(m, *section);
    if (!entries) continue;
    const std::string name = kelp::pr_str(*section);
    if (!entries->is(kelp::Kind::Vector)) {
      out.problems.push_back(name + " isn't a vector; skipped");
      continue;
    }
    size_t place = 0;
    for (const Value& e : items(*entries)) {
      ++place;
      const bool removal = section == &K_REMOVE;
      auto problem = removal ? remove_problem(e) : binding_problem(e, keyword_text(*section), reg);
      if (problem) {
        out.problems.push_back(name + " entry " + std::to_string(place) + ": " + *problem + "; skipped");
      } else if (removal) {
        out.keys.remove.push_back(e);
      } else {
        (section == &K_WINDOW ? out.keys.window : out.keys.editor).push_back(*keymap::to_binding(e));
      }
    }
  }
  return out;
}

std::optional<Identity> chord(const Value& m) {
  if (!kelp::is_map(m)) return std::nullopt;
  Identity id;
  id.first = chord_id(m);
  if (const Value* command = kelp::get(m, K_COMMAND))
    id.command = kelp::is_keyword(*command) ? keyword_text(*command) : kelp::pr_str(*command);
  if (const Value* then = kelp::get(m, K_THEN); then && is_coll(*then))
    for (const Value& c : items(*then)) {
      ChordId step;
      if (kelp::is_map(c)) step = chord_id(c);
      else step.keys.push_back(kelp::pr_str(c));
      id.then.push_back(std::move(step));
    }
  return id;
}

Identity chord(const Binding& b) {
  Identity id;
  id.first = chord_id(static_cast<const keymap::Chord&>(b));
  id.command = b.command;
  for (const auto& c : b.then) id.then.push_back(chord_id(c));
  return id;
}

bool removes(const Value& entry, const Binding& b) {
  if (remove_problem(entry)) return false;
  return chord(entry) == chord(b);
}

std::vector<Binding> without_removed(const std::vector<Binding>& bindings, const std::vector<Value>& remove) {
  std::vector<std::optional<Identity>> ids;
  for (const auto& e : remove)
    if (!remove_problem(e)) ids.push_back(chord(e));
  std::vector<Binding> out;
  for (const auto& b : bindings) {
    const Identity id = chord(b);
    if (std::none_of(ids.begin(), ids.end(), [&](const auto& r) { return r == id; })) out.push_back(b);
  }
  return out;
}

std::vector<Binding> layer(const UserKeys& keys, std::string_view scope, const std::vector<Binding>& base) {
  std::vector<Binding> out = keys.scope(scope);
  auto rest = without_removed(base, keys.remove);
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

Loaded load_keys(const std::filesystem::path& path, const Registered& reg) {
  Loaded out;
  text_file::Bytes bytes = text_file::read_regular(path);
  if (!bytes.text && (bytes.error == ENOENT || bytes.error == ENOTDIR)) return out;
  out.status = Status::loaded;
  if (!bytes.text) {
    out.problems.push_back("couldn't be opened (" + std::string(std::strerror(bytes.error)) + ")");
    return out;
  }
  const std::string& text = *bytes.text;
  Read read = read_keys(text, reg);
  out.keys = std::move(read.keys);
  out.problems = std::move(read.problems);
  return out;
}

std::vector<std::string> report_lines(const std::filesystem::path& path, const Loaded& loaded) {
  if (loaded.status == Status::absent) return {};
  std::vector<std::string> out;
  const size_t n = loaded.keys.binding_count();
  std::string line = "; " + path.string() + ": ";
  line += n == 0 ? "no key bindings" : n == 1 ? "1 key binding" : std::to_string(n) + " key bindings";
  line += " of yours loaded";
  if (!loaded.keys.remove.empty()) line += ", " + std::to_string(loaded.keys.remove.size()) + " removed";
  out.push_back(line + ".");
  for (const auto& p : loaded.problems) out.push_back("; " + path.string() + ": " + p);
  return out;
}

std::string missing_line(const std::filesystem::path& path) {
  return "; " + path.string() + " doesn't exist yet. \"Open your key bindings file\" makes one.";
}

}  // namespace orrery::user_keys
