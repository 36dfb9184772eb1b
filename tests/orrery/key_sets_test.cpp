#include "orrery/key_sets.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "orrery/command_registry.hpp"
#include "orrery/key_seq.hpp"
#include "orrery/user_keys.hpp"

namespace orrery::key_sets {
namespace {

using keymap::Binding;
using keymap::MASK_ALT;
using keymap::MASK_CTRL;
using keymap::MASK_META;
using keymap::MASK_SHIFT;
using keymap::Outcome;
namespace cr = command_registry;

constexpr std::string_view LINUX = "Linux", MAC = "Mac OS X";

// The live bindings of a scope with the set on, as the registry lays them: the set's, then the shipped ones less
// what the set removes.
std::vector<Binding> live_with(std::string_view id, std::string_view scope, std::string_view os) {
  auto out = as_bindings(bindings(id, scope, os));
  auto shipped = user_keys::without_removed(cr::shipped_bindings(scope), bindings(id, "remove", os));
  out.insert(out.end(), shipped.begin(), shipped.end());
  return out;
}

// The command the key runs in the scope, starting a sequence when it is one; "" when nothing matches.
std::string run_key(const std::vector<Binding>& live, std::string_view key, uint32_t state, std::string_view os,
                    std::string* ran) {
  keymap::Key k{*keymap::key_value(key), state, std::string(key)};
  auto step = key_seq::step(k, os);
  if (step) return "";
  keymap::DispatchOptions opts;
  opts.holds = [](std::string_view) { return true; };
  opts.run = [ran](const Binding& b) {
    *ran = b.command;
    return Outcome::handled;
  };
  opts.physical = k.physical;
  opts = cr::with_seq_start(std::move(opts), live, k);
  keymap::dispatch(live, k.keyval, k.state, opts);
  return *ran;
}

TEST(KeySets, TheSetsReadAndNameOnlyRegisteredCommands) {
  EXPECT_EQ(ids(), (std::vector<std::string>{"default", "calva"}));
  EXPECT_EQ(label("default"), "Orrery default");
  EXPECT_EQ(label("calva"), "Calva paredit");
  EXPECT_EQ(key_set("no-such").id, "default");
  EXPECT_EQ(system(MAC), "mac");
  EXPECT_EQ(system(LINUX), "linux");
  EXPECT_EQ(system("Windows 11"), "linux");

  std::set<std::string> commands = cr::window_commands().ids();
  for (const auto& id : cr::editor_commands().ids()) commands.insert(id);
  for (const auto& s : sets())
    for (std::string_view os : {LINUX, MAC})
      for (std::string_view scope : {"window", "editor"}) {
        auto entries = bindings(s.id, scope, os);
        EXPECT_EQ(keymap::problems(kelp::make_vector(std::span<const kelp::Value>(entries)), commands,
                                   cr::condition_ids(scope == "window" ? cr::window_conditions()
                                                                       : cr::editor_conditions())),
                  std::vector<std::string>{})
            << s.id << " " << scope << " " << os;
        EXPECT_EQ(as_bindings(entries).size(), entries.size());
      }
  for (const auto& e : bindings("calva", "remove", LINUX)) EXPECT_FALSE(user_keys::remove_problem(e));
}

TEST(KeySets, OsMarksKeepAnEntryToItsSystem) {
  auto commands_of = [](std::string_view os) {
    std::vector<std::string> out;
    for (const auto& b : as_bindings(bindings("calva", "editor", os)))
      out.push_back(b.command + (b.is_sequence() ? " seq" : ""));
    return out;
  };
  const auto on_linux = commands_of(LINUX), on_mac = commands_of(MAC);
  auto has = [](const std::vector<std::string>& v, const std::string& x) {
    return std::find(v.begin(), v.end(), x) != v.end();
  };
  EXPECT_TRUE(has(on_linux, "paredit/kill-right seq") && !has(on_linux, "paredit/kill-right"));
  EXPECT_TRUE(has(on_mac, "paredit/kill-right") && !has(on_mac, "paredit/kill-right seq"));
  EXPECT_TRUE(has(on_linux, "paredit/expand-selection") && !has(on_mac, "paredit/expand-selection"));
  EXPECT_EQ(on_linux.front(), "paredit/raise seq");  // file order
  for (std::string_view os : {LINUX, MAC})
    for (std::string_view scope : {"window", "editor", "remove"})
      for (const auto& e : bindings("calva", scope, os)) EXPECT_FALSE(kelp::get(e, kelp::keyword("os")));
  EXPECT_EQ(bindings("calva", "window", LINUX).size(), 1u);
  EXPECT_EQ(bindings("calva", "window", MAC).size(), 2u);
  EXPECT_TRUE(bindings("default", "editor", LINUX).empty());
}

TEST(KeySets, CalvaOnLinuxAndOnAMac) {
  key_seq::cancel();
  struct Case {
    std::string_view os;
    std::string_view scope;
    std::vector<std::pair<std::string_view, uint32_t>> keys;  // pressed in turn
    std::string runs;
  };
  const std::vector<Case> cases = {
      // Ctrl+K Ctrl+K is a sequence; the first key alone runs nothing yet.
      {LINUX, "editor", {{"k", MASK_CTRL}, {"k", MASK_CTRL}}, "paredit/kill-right"},
      {LINUX, "editor", {{"k", MASK_CTRL}, {"h", MASK_CTRL}}, "paredit/kill-left"},
      {LINUX, "editor", {{"k", MASK_CTRL}}, ""},
      {LINUX, "editor", {{"p", MASK_CTRL | MASK_ALT}, {"r", MASK_CTRL | MASK_ALT}}, "paredit/raise"},
      {LINUX, "editor", {{"r", MASK_CTRL | MASK_ALT}, {"s", MASK_CTRL | MASK_ALT}}, "paredit/rewrap-square"},
      {LINUX, "editor", {{"period", MASK_CTRL | MASK_ALT}}, "paredit/slurp-forward"},
      // The window no longer takes Ctrl+Alt+P or Ctrl+Alt+R, which the editor's sequences start on.
      {LINUX, "window", {{"p", MASK_CTRL | MASK_ALT}}, ""},
      {LINUX, "window", {{"r", MASK_CTRL | MASK_ALT}}, ""},
      {LINUX, "window", {{"r", MASK_CTRL}}, "run/run"},
      {LINUX, "window", {{"F5", 0}}, "run/run"},
      {MAC, "window", {{"p", MASK_META | MASK_ALT}}, "parinfer/next-mode"},
      {MAC, "window", {{"p", MASK_CTRL | MASK_ALT}}, ""},
      {MAC, "editor", {{"k", MASK_CTRL}}, "paredit/kill-right"},
      {MAC, "editor", {{"BackSpace", MASK_META}}, "paredit/kill-left"},
  };
  for (const auto& c : cases) {
    const auto live = live_with("calva", c.scope, c.os);
    std::string ran;
    for (const auto& [key, state] : c.keys) run_key(live, key, state, c.os, &ran);
    EXPECT_EQ(ran, c.runs) << c.os << " " << c.scope << " " << c.keys.front().first;
    key_seq::cancel();
  }

  // The default set takes nothing away.
  EXPECT_EQ(live_with("default", "window", LINUX).size(), cr::shipped_bindings("window").size());
}

TEST(KeySets, TheLiveSet) {
  EXPECT_EQ(live(), "default");
  set_live("calva");
  EXPECT_EQ(live(), "calva");
  EXPECT_EQ(live_layer()->remove.size(), 2u);
  EXPECT_EQ(live_bindings("editor").size(), bindings("calva", "editor", key_seq::os_name()).size());
  EXPECT_EQ(live_layer()->editor.size(), live_bindings("editor").size());
  set_live("gone");
  EXPECT_EQ(live(), "default");
  EXPECT_TRUE(live_layer()->editor.empty());
}

}  // namespace
}  // namespace orrery::key_sets
