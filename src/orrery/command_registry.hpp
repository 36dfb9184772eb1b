// Commands as data (an id, a doc line, a scope and a function of the key handler's context answering an
// outcome), the named conditions bindings ask for, the context menus, the layering of the live bindings and the
// two pipelines that turn a key press in the window or in the editor into 1 (used up) or 0 (GTK's). Nothing
// here touches GTK: the key handlers build a context of functions and call in.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kelp/data/value.hpp"
#include "orrery/key_seq.hpp"
#include "orrery/keymap.hpp"

namespace orrery::command_registry {

using keymap::Binding;
using keymap::Key;
using keymap::Outcome;

inline constexpr uint32_t KEY_ESCAPE = 0xff1b;

// What a key handler hands its commands and conditions: functions by name ("run-fn", "find-bar-focused?"),
// and the maps of functions some parts keep ("source-keys", "tree-keys"). Built per key, read when it runs.
class Ctx {
 public:
  using Fn = std::function<kelp::Value(std::span<const kelp::Value>)>;
  Ctx& set(std::string key, Fn f);
  // A function of no arguments.
  Ctx& set_thunk(std::string key, std::function<kelp::Value()> f);
  Ctx& set_sub(std::string key, Ctx sub);
  bool has(std::string_view key) const;
  const Ctx* sub(std::string_view key) const;
  // Throws a sentence when there is no function under key.
  kelp::Value call(std::string_view key, std::span<const kelp::Value> args = {}) const;
  kelp::Value call_sub(std::string_view sub_key, std::string_view key) const;

 private:
  std::vector<std::pair<std::string, Fn>> fns_;
  std::vector<std::pair<std::string, std::shared_ptr<const Ctx>>> subs_;
};

enum class Scope { window, editor, console };
std::string_view scope_name(Scope s);

using Run = std::function<Outcome(const Ctx& ctx, const kelp::Value& args)>;

struct Command {
  std::string id;  // without the colon: "run/run"
  std::string doc;
  Scope scope = Scope::window;
  Run run;               // empty: declared, not built yet; running it throws a sentence saying so
  bool palette = true;   // false: only works inside the key chain that guards it
  bool passes = false;   // true: may hand the key on
  std::string plugin;    // the plugin id, on plugin commands
};

// Commands in the order they were added, found by id.
class Table {
 public:
  Table() = default;
  Table(std::initializer_list<Command> commands);
  // Throws std::invalid_argument on an id the table already has.
  void add(Command c);
  const Command* find(std::string_view id) const;
  const std::vector<Command>& all() const { return commands_; }
  std::set<std::string> ids() const;
  // The two tables in order; throws on an id both have.
  Table merged(const Table& more) const;

 private:
  struct IdHash {
    using is_transparent = void;
    size_t operator()(std::string_view id) const { return std::hash<std::string_view>{}(id); }
  };
  std::vector<Command> commands_;
  std::unordered_map<std::string, size_t, IdHash, std::equal_to<>> index_;
};

// A run that applies the ctx's function under key to args and answers handled whatever it returns.
Run call(std::string key, std::vector<kelp::Value> args = {});

const Table& core_window_commands();
const Table& move_commands();
const Table& core_editor_commands();
const Table& core_console_commands();
// The commands the window's parts and the palette answer for, declared ahead of being built.
const Table& declared_commands();
// Each scope's whole table (the clash check runs when they are first built); commands: all three.
const Table& window_commands();
const Table& editor_commands();
const Table& console_commands();
const Table& commands();

using Condition = std::function<bool(const Ctx&)>;
using Conditions = std::map<std::string, Condition, std::less<>>;
const Conditions& window_conditions();
const Conditions& editor_conditions();
std::set<std::string> condition_ids(const Conditions& conditions);

// True when the named condition exists and holds for ctx.
keymap::Holds holds_fn(const Conditions& conditions, const Ctx& ctx);

// The binding's command from `table`, else from `more` (the live plugins'), run with ctx and the binding's
// :args; nil when neither has it.
Outcome run_command(const Table& table, const Table* more, const Ctx& ctx, const Binding& b);

struct MenuItem {
  std::string label;
  std::string action;
  std::string command;
};
const std::vector<MenuItem>& editor_menu();
const std::vector<MenuItem>& console_menu();

struct MenuEntry {
  std::string label;
  std::string action;
  std::function<void()> activate;  // runs the command, its outcome ignored; throws what the command throws
};
std::vector<MenuEntry> menu_items(const std::vector<MenuItem>& menu, const Table& commands,
                                  std::shared_ptr<const Ctx> ctx);

struct Ctxs {
  std::shared_ptr<const Ctx> window, editor, console;
};
// Runs id with the ctx of its own scope, as its key would; nil when the table has no such id.
Outcome run_command_in(const Table& table, const Ctxs& ctxs, std::string_view id);

// The key sequence's step with this build's os name: 1, or nothing with no sequence under way.
std::optional<int> seq_step(const Key& key);
keymap::DispatchOptions with_seq_start(keymap::DispatchOptions opts, const std::vector<Binding>& bindings,
                                       const Key& key);

// The bindings a scope's key handler dispatches over, in this order: your own, the chosen key set's, the
// plugins' (each kept while its command is a plugin's or the scope's own), then the shipped ones less every one
// a :remove entry names. A :remove entry is a map naming a shipped binding by some of its keys
// ({:command :run/run}, {:key "r" :mods #{:cmd}}): every binding whose map holds all of its entries goes.
struct Layers {
  std::vector<Binding> user;
  std::vector<Binding> key_set;
  std::vector<Binding> plugins;
  std::vector<Binding> shipped;
  std::vector<kelp::Value> remove;          // yours: drop key set, plugin and shipped bindings
  std::vector<kelp::Value> key_set_remove;  // the key set's: drop shipped bindings while the set is on
};
std::vector<Binding> live_bindings(const Layers& layers, const Table& scope_commands, const Table* plugin_commands);

// The shipped bindings of a scope ("window", "editor"): the keymap file's, then the parts'.
const std::vector<Binding>& shipped_bindings(std::string_view scope);

struct HandlerOptions {
  const std::vector<Binding>* bindings = nullptr;  // the scope's live bindings
  const Table* commands = nullptr;                 // the scope's table
  std::shared_ptr<const Table> plugin_commands;    // the live plugins' commands, or null
  std::shared_ptr<const Ctx> ctx;
  std::string_view os = key_seq::os_name();
};

// The whole answer of a key handler. A condition or command that throws leaves the key used (1) with its
// message in `report`, for the status bar.
struct Answer {
  int code = 0;
  std::string report;
  bool operator==(const Answer&) const = default;
};
Answer window_answer(const Key& key, const HandlerOptions& opts);
Answer editor_answer(const Key& key, const HandlerOptions& opts);

}  // namespace orrery::command_registry
