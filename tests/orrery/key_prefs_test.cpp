#include "orrery/key_prefs.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/key_sets.hpp"
#include "orrery/user_keys.hpp"
#include "support/temp_dir.hpp"

namespace orrery::key_prefs {
namespace {

using kelp::Value;
using keymap::MASK_ALT;
using keymap::MASK_CTRL;
using keymap::MASK_META;
using keymap::MASK_SHIFT;
using keymap::MASK_SUPER;
namespace cr = command_registry;

constexpr std::string_view LINUX = "Linux", MAC = "Mac OS X";

Value edn(std::string_view text) {
  auto r = kelp::read_edn(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? *r : Value();
}

Binding binding(std::string_view text) {
  auto b = keymap::to_binding(edn(text));
  EXPECT_TRUE(b) << text;
  return b ? *b : Binding{};
}

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The keys a window would have with keys.edn holding `text` and the key set `set` on, on Linux.
struct World {
  user_keys::UserKeys user;
  LiveKeys live;
  std::vector<Source> sources;

  explicit World(const Value& file = Value(), std::string_view set = "default") {
    if (!file.is_nil()) {
      auto read = user_keys::read_keys(file_text(file), user_keys::registered());
      EXPECT_TRUE(read.problems.empty()) << read.problems.front();
      user = read.keys;
    }
    sources.push_back({"yours", user.window, user.editor});
    Source ks{key_sets::label(set), {}, {}};
    for (std::string_view scope : {"window", "editor"}) {
      auto set_bindings = key_sets::as_bindings(key_sets::bindings(set, scope, LINUX));
      (scope == "window" ? ks.window : ks.editor) = set_bindings;
      auto base = set_bindings;
      auto shipped = user_keys::without_removed(cr::shipped_bindings(scope), key_sets::bindings(set, "remove", LINUX));
      base.insert(base.end(), shipped.begin(), shipped.end());
      (scope == "window" ? live.window : live.editor) = user_keys::layer(user, scope, base);
    }
    sources.push_back(ks);
  }
  std::vector<Row> all_rows() const { return rows(live, sources, cr::commands(), LINUX); }
  Row row_of(std::string_view command) const {
    for (const auto& r : all_rows())
      if (r.command == command) return r;
    ADD_FAILURE() << command;
    return {};
  }
  std::string runs(std::string_view scope, std::string_view key, uint32_t state) const {
    const Binding* b = keymap::resolve_binding(live.scope(scope), *keymap::key_value(key), state,
                                               [](std::string_view) { return true; });
    return b ? b->command : "";
  }
};

Value no_keys() { return std::get<Value>(file_keys("")); }

TEST(KeyPrefs, PressingAKey) {
  struct Case {
    uint32_t keyval;
    uint32_t state;
    std::optional<std::string> physical;
    std::string_view os;
    std::string answer;  // "waiting", the sentence, or the chord as a binding prints
    bool step = false;
  };
  const std::string cant = "Orrery can't bind that key yet. Try another.";
  const std::string types = "A key that types needs a modifier other than Shift, or it would replace typing.";
  const std::vector<Case> cases = {
      {0xffe1, MASK_SHIFT, {}, LINUX, "waiting"},
      {0xffee, 0, {}, LINUX, "waiting"},
      {0xfe03, 0, {}, LINUX, "waiting"},
      {0x21, MASK_CTRL | MASK_SHIFT, {}, LINUX, cant},
      {0x1000, MASK_CTRL, {"Tab"}, LINUX, cant},
      {'a', 0, {}, LINUX, types},
      {'A', MASK_SHIFT, {}, LINUX, types},
      {0xff0d, MASK_SHIFT, {}, LINUX, types},
      {'a', 0, {}, LINUX, "{:key \"a\"}", true},
      {'R', MASK_CTRL | MASK_SHIFT, {}, LINUX, "{:key \"r\" :mods #{:cmd :shift}}"},
      {'r', MASK_META, {}, LINUX, "{:key \"r\" :mods #{:meta}}"},
      {'r', MASK_META, {}, MAC, "{:key \"r\" :mods #{:cmd}}"},
      {'r', MASK_CTRL | MASK_META, {}, MAC, "{:key \"r\" :mods #{:cmd :ctrl}}"},
      {'e', MASK_SUPER, {}, LINUX, "{:key \"e\" :mods #{:super}}"},
      {0xffc2, 0, {}, LINUX, "{:key \"F5\"}"},
      // Option changes the character on a Mac; the physical key names it.
      {0xe5, MASK_META | MASK_ALT, {"a"}, MAC, "{:key \"a\" :mods #{:alt :cmd}}"},
      {'1', MASK_CTRL | MASK_SHIFT, {"1"}, LINUX, "{:key \"1\" :mods #{:cmd :shift}}"},
      {0x21, MASK_CTRL | MASK_SHIFT, {"1"}, LINUX, "{:key \"1\" :mods #{:cmd :shift}}"},
  };
  for (const auto& c : cases) {
    Press p = c.step ? press_step(c.keyval, c.state, c.physical, c.os) : press_chord(c.keyval, c.state, c.physical,
                                                                                     c.os);
    std::string got = p.waiting ? "waiting" : !p.error.empty() ? p.error : binding_text(p.chord);
    EXPECT_EQ(got, c.answer) << std::hex << c.keyval << " " << c.state;
  }
}

TEST(KeyPrefs, RowsTheirSourcesAndTheFilter) {
  World w(edn(R"({:window [{:key "F2" :mods #{:cmd} :command :tab/new}]})"), "calva");
  const auto all = w.all_rows();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.front().command, "tab/new");
  EXPECT_EQ(all.front().source, "yours");
  EXPECT_EQ(all.front().chord, "Ctrl+F2");

  const Row raise = w.row_of("paredit/raise");
  EXPECT_EQ(raise.source, "Calva paredit");
  EXPECT_EQ(raise.scope, "editor");
  EXPECT_EQ(raise.chord, "Ctrl+Alt+P Ctrl+Alt+R");
  EXPECT_EQ(w.row_of("file/open").source, "default");
  EXPECT_TRUE(w.row_of("find/next").fixed);
  EXPECT_FALSE(w.row_of("file/open").fixed);

  // Commands with no key come last, sorted by doc, with no chord; console commands have no row.
  size_t first_unbound = 0;
  while (first_unbound < all.size() && all[first_unbound].binding) ++first_unbound;
  ASSERT_LT(first_unbound, all.size());
  for (size_t i = first_unbound; i < all.size(); ++i) {
    EXPECT_FALSE(all[i].binding);
    EXPECT_EQ(all[i].chord, "");
    EXPECT_NE(all[i].scope, "console");
    if (i > first_unbound) EXPECT_LE(all[i - 1].doc, all[i].doc);
  }
  EXPECT_EQ(w.row_of("paredit/copy-form").chord, "");

  for (const auto& r : filter_rows(all, "  CALVA ")) EXPECT_EQ(r.source, "Calva paredit");
  EXPECT_FALSE(filter_rows(all, "calva").empty());
  auto by_chord = filter_rows(all, "ctrl+alt+p ctrl+alt+r");
  ASSERT_EQ(by_chord.size(), 1u);
  EXPECT_EQ(by_chord[0].command, "paredit/raise");
  EXPECT_EQ(filter_rows(all, "").size(), all.size());
}

TEST(KeyPrefs, WhatAChordWouldTake) {
  World w;
  struct Case {
    std::string_view chord;
    std::string_view command;  // the row's
    std::string taken;         // scope and command, "" for none
  };
  const std::vector<Case> cases = {
      {R"({:key "r" :mods #{:cmd}})", "tab/new", "window run/run"},
      {R"({:key "F5"})", "run/run", ""},  // the row's own command doesn't count
      {R"({:key "p" :mods #{:cmd :alt}})", "tab/new", "window parinfer/next-mode"},
      {R"({:key "q" :mods #{:ctrl}})", "tab/new", "editor help/quick-doc"},
      {R"({:key "Escape"})", "tab/new", "window find/bar-key"},  // every :when taken as holding
      {R"({:key "F4" :mods #{:cmd}})", "tab/new", ""},
  };
  for (const auto& c : cases) {
    auto t = conflict(edn(c.chord), c.command, w.live, LINUX);
    EXPECT_EQ(t ? t->scope + " " + t->binding.command : "", c.taken) << c.chord;
  }
  EXPECT_EQ(chord_state(edn(R"({:key "r" :mods #{:cmd :shift}})"), MAC), MASK_META | MASK_SHIFT);
  EXPECT_EQ(chord_state(edn(R"({:key "r" :mods #{:cmd :shift}})"), LINUX), MASK_CTRL | MASK_SHIFT);

  World calva(Value(), "calva");
  std::vector<std::string> seqs;
  for (const auto& t : sequences_on(edn(R"({:key "k" :mods #{:cmd}})"), "tab/new", calva.live, LINUX))
    seqs.push_back(t.binding.command);
  EXPECT_EQ(seqs, (std::vector<std::string>{"paredit/kill-right", "paredit/kill-left"}));
  EXPECT_TRUE(sequences_on(edn(R"({:key "k" :mods #{:cmd}})"), "paredit/kill-right", calva.live, LINUX).size() == 1);

  // A further step can't live with the same chords, a start of them, or a longer sequence they start.
  LiveKeys fixture;
  fixture.editor = {binding(R"({:key "k" :exact #{:ctrl} :command :a/a})"),
                    binding(R"({:key "k" :exact #{:ctrl} :then [{:key "k" :exact #{:ctrl}}] :command :b/b})"),
                    binding(R"({:key "k" :exact #{:ctrl} :then [{:key "h" :exact #{:ctrl}}] :command :c/c})"),
                    binding(R"({:key "k" :mods #{:cmd} :then [{:key "k" :mods #{:cmd}} {:key "j" :mods #{:cmd}}]
                               :command :d/d})"),
                    binding(R"({:key "k" :exact #{:ctrl} :then [{:key "k" :exact #{:ctrl}}] :command :x/x})")};
  std::vector<std::string> clash;
  for (const auto& t : step_conflicts(edn(R"({:key "k" :mods #{:cmd} :then [{:key "k" :mods #{:cmd}}]})"), "x/x",
                                      fixture, LINUX))
    clash.push_back(t.binding.command);
  EXPECT_EQ(clash, (std::vector<std::string>{"a/a", "b/b", "d/d"}));
}

TEST(KeyPrefs, RecordingTakesTheChordFromItsOwner) {
  World w;
  const Row new_tab = w.row_of("tab/new");
  ASSERT_EQ(new_tab.chord, "Ctrl+T");
  const Value file = record(no_keys(), new_tab, edn(R"({:key "r" :mods #{:cmd}})"), w.live, LINUX);
  EXPECT_EQ(file, edn(R"({:window [{:key "r" :mods #{:cmd} :command :tab/new}] :editor []
                         :remove [{:key "r" :mods #{:cmd} :command :run/run}
                                  {:key "t" :mods #{:cmd} :not #{:alt} :command :tab/new}]})"));

  World after(file);
  EXPECT_EQ(after.runs("window", "r", MASK_CTRL), "tab/new");
  EXPECT_EQ(after.runs("window", "F5", 0), "run/run");
  EXPECT_EQ(after.runs("window", "t", MASK_CTRL), "");
  EXPECT_EQ(after.row_of("tab/new").source, "yours");

  // Yours changes in place, keeping its :args and dropping its later steps; nothing new is removed.
  const Value mine = edn(R"({:window [{:key "F2" :then [{:key "F3"}] :command :tab/select :args {:n 2}}
                                      {:key "F6" :mods #{:cmd} :command :run/stop}]
                            :editor [] :remove []})");
  World w2(mine);
  Row select = w2.row_of("tab/select");
  ASSERT_EQ(select.source, "yours");
  EXPECT_EQ(record(mine, select, edn(R"({:key "F6" :mods #{:cmd}})"), w2.live, LINUX),
            edn(R"({:window [{:key "F6" :mods #{:cmd} :command :tab/select :args {:n 2}}] :editor []
                    :remove []})"));

  // A step added after a shipped key: the shipped key goes, the sequence is yours.
  EXPECT_EQ(add_step(no_keys(), new_tab, edn(R"({:key "n"})")),
            edn(R"({:window [{:key "t" :mods #{:cmd} :not #{:alt} :command :tab/new :then [{:key "n"}]}] :editor []
                    :remove [{:key "t" :mods #{:cmd} :not #{:alt} :command :tab/new}]})"));
  EXPECT_EQ(add_step(mine, select, edn(R"({:key "F5"})")),
            edn(R"({:window [{:key "F2" :then [{:key "F3"} {:key "F5"}] :command :tab/select :args {:n 2}}
                             {:key "F6" :mods #{:cmd} :command :run/stop}]
                    :editor [] :remove []})"));

  // A key that is part of a chain isn't recorded over.
  EXPECT_EQ(record(no_keys(), w.row_of("find/next"), edn(R"({:key "F2" :mods #{:cmd}})"), w.live, LINUX), no_keys());

  const Value reset = reset_command(file, "tab/new");
  EXPECT_EQ(reset, edn(R"({:window [] :editor [] :remove [{:key "r" :mods #{:cmd} :command :run/run}]})"));
}

TEST(KeyPrefs, TheFileTextAndHandComments) {
  const Value file = edn(R"({:editor []
                             :window [{:command :tab/select :args {:n 2} :mods #{:shift :cmd} :key "F2"}
                                      {:then [{:mods #{:cmd} :key "k"}] :key "k" :mods #{:cmd} :command :x/y}]
                             :remove [{:command :run/run :key "r" :mods #{:cmd}}]
                             :later 1})");
  const std::string text = file_text(file);
  EXPECT_EQ(text,
            ";; Your own key bindings for Orrery, written by Preferences.\n"
            ";; Saving this file in Orrery reloads it. A change made in Preferences\n"
            ";; rewrites it, so comments you add here won't last.\n"
            "{:window [{:key \"F2\" :mods #{:cmd :shift} :command :tab/select :args {:n 2}}\n"
            "          {:key \"k\" :mods #{:cmd} :command :x/y :then [{:key \"k\" :mods #{:cmd}}]}]\n"
            " :editor []\n"
            " :remove [{:key \"r\" :mods #{:cmd} :command :run/run}]\n"
            " :later 1}\n");
  EXPECT_EQ(std::get<Value>(file_keys(text)), file);
  EXPECT_EQ(file_text(no_keys()).substr(text.find('{')), "{:window []\n :editor []\n :remove []}\n");

  struct Case {
    std::string text;
    bool hand;
  };
  const std::vector<Case> cases = {
      {std::string(user_keys::template_text()), false},
      {text, false},
      {text + ";; mine\n", false},  // Preferences' own file says such comments won't last
      {std::string(user_keys::template_text()) + ";; Ctrl+F2 is for tabs\n", true},
      {"{:window [{:key \"semicolon\" :mods #{:cmd} :command :run/run :args {:s \"a;b\" :q \"\\\";\"}}]}", false},
      {"{:window [] :editor [] :remove [] :c \\;}", false},
      {"{:window []} ; mine", true},
      {"{:window [] ;; mine\n}", true},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_hand_comments(c.text), c.hand) << c.text;
}

TEST(KeyPrefs, WritingKeepsWhatTheLoaderSkippedAndNeverOverwritesABrokenFile) {
  testing::TempDir dir;
  // An entry naming a plugin's command that isn't loaded now: skipped at load, kept by a rewrite.
  const std::string kept = R"({:key "F2" :mods #{:cmd} :command :gone/cmd})";
  const auto path = dir.write("keys.edn", "{:window [" + kept + "]}\n");
  World w(std::get<Value>(file_keys(R"({:window []})")));
  const Row new_tab = w.row_of("tab/new");
  auto answer = edit_keys_file(path, [&](const Value& file) {
    return record(file, new_tab, edn(R"({:key "F2" :mods #{:cmd :alt}})"), w.live, LINUX);
  });
  EXPECT_FALSE(answer) << *answer;
  const std::string written = slurp(path);
  EXPECT_NE(written.find(kept), std::string::npos) << written;
  auto read = user_keys::read_keys(written, user_keys::registered());
  EXPECT_EQ(read.keys.window.size(), 1u);
  EXPECT_EQ(read.problems.size(), 1u);

  // Through a symbolic link the target changes and the link stays.
  std::filesystem::rename(path, dir.path() / "real.edn");
  std::filesystem::create_symlink("real.edn", path);
  EXPECT_FALSE(edit_keys_file(path, [&](const Value& f) { return reset_command(f, "tab/new"); }));
  EXPECT_TRUE(std::filesystem::is_symlink(path));
  EXPECT_EQ(std::get<Value>(file_keys(slurp(dir.path() / "real.edn"))),
            edn("{:window [" + kept + "] :editor [] :remove []}"));

  // A missing file is written fresh.
  const auto fresh = dir.path() / "fresh" / "keys.edn";
  std::filesystem::create_directories(fresh.parent_path());
  EXPECT_FALSE(edit_keys_file(fresh, [](const Value& f) { return f; }));
  EXPECT_TRUE(slurp(fresh).starts_with(written_mark()));

  struct Case {
    std::string text;
    std::string because;
  };
  const std::vector<Case> broken = {
      {"{:window [{:key \"F2\"", "the file couldn't be read ("},
      {"[{:key \"F2\" :command :run/run}]", "the file doesn't hold a map. Fix it by hand first."},
      {"{:window {:key \"F2\" :command :run/run}}", "the file holds :window that isn't a vector."},
  };
  for (const auto& c : broken) {
    const auto p = dir.write("broken.edn", c.text);
    auto why = edit_keys_file(p, [](const Value& f) { return f; });
    ASSERT_TRUE(why) << c.text;
    EXPECT_TRUE(why->starts_with("Preferences left " + p.string() + " as it is: ")) << *why;
    EXPECT_NE(why->find(c.because), std::string::npos) << *why;
    EXPECT_EQ(slurp(p), c.text);
  }
  std::filesystem::create_directories(dir.path() / "folder.edn");
  auto why = edit_keys_file(dir.path() / "folder.edn", [](const Value& f) { return f; });
  ASSERT_TRUE(why);
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "folder.edn"));
}

TEST(KeyPrefs, AHandWrittenFileIsEditedInPlace) {
  testing::TempDir dir;
  const std::string text =
      ";; My keys, by hand.\n"
      "\n"
      "{:window [;; tabs\n"
      "          {:key \"F3\" :mods #{:cmd} :command :run/run} ; run it\n"
      "\n"
      "          {:key \"F6\" :command :tab/select :args {:n 1}}]\n"
      " ;; nothing for the editor yet\n"
      " :editor []}\n";
  const auto path = dir.write("keys.edn", text);
  const Value file = std::get<Value>(file_keys(text));
  World w(file);

  // A new binding goes after yours, and the shipped key it replaces is named in a :remove the file didn't have.
  auto new_tab = [&](const Value& f) {
    return record(f, w.row_of("tab/new"), edn(R"({:key "F2" :mods #{:cmd :alt}})"), w.live, LINUX);
  };
  Value expected = new_tab(file);
  auto answer = edit_keys_file(path, new_tab);
  EXPECT_FALSE(answer) << *answer;
  std::string written = slurp(path);
  EXPECT_EQ(std::get<Value>(file_keys(written)), expected);
  const Value shipped = kelp::get(expected, kelp::keyword("remove"))->as<kelp::Vector>().nth(0);
  EXPECT_EQ(written,
            ";; My keys, by hand.\n"
            "\n"
            "{:window [;; tabs\n"
            "          {:key \"F3\" :mods #{:cmd} :command :run/run} ; run it\n"
            "\n"
            "          {:key \"F6\" :command :tab/select :args {:n 1}}\n"
            "          {:key \"F2\" :mods #{:alt :cmd} :command :tab/new}]\n"
            " ;; nothing for the editor yet\n"
            " :editor []\n"
            " :remove [" +
                binding_text(shipped) + "]}\n");

  // Your own binding changes where it stands, its comment kept; nothing else moves.
  World again(expected);
  auto run = [&](const Value& f) {
    return record(f, again.row_of("run/run"), edn(R"({:key "F4" :mods #{:cmd}})"), again.live, LINUX);
  };
  expected = run(expected);
  EXPECT_FALSE(edit_keys_file(path, run));
  std::string changed = written;
  const std::string f3 = R"({:key "F3" :mods #{:cmd} :command :run/run})";
  changed.replace(changed.find(f3), f3.size(), R"({:key "F4" :mods #{:cmd} :command :run/run})");
  EXPECT_EQ(slurp(path), changed);
  EXPECT_EQ(std::get<Value>(file_keys(changed)), expected);
}

TEST(KeyPrefs, FilesNobodyWroteByHandAreWrittenWhole) {
  testing::TempDir dir;
  const Value entry = edn(R"({:key "F2" :mods #{:cmd} :command :tab/new})");
  auto add = [&](const Value& f) { return put(f, "window", std::nullopt, entry); };
  const std::string written = file_text(edn(R"({:window [{:key "F3" :command :run/run}]})"));
  const std::string whole_for_written = file_text(add(std::get<Value>(file_keys(written))));
  struct Case {
    std::string text;
    std::string expect;
  };
  const std::string whole = file_text(add(no_keys()));
  const std::string keys_part = whole.substr(whole.find("\n{") + 1);
  const std::vector<Case> cases = {
      {"", whole},
      {" \n\n", whole},
      {std::string(user_keys::template_text()), whole},
      {written + ";; added later\n", whole_for_written},
      // Only someone's comments: they stay, the keys after them.
      {";; keys to come", ";; keys to come\n" + keys_part},
  };
  for (const auto& c : cases) {
    const auto p = dir.write("keys.edn", c.text);
    EXPECT_FALSE(edit_keys_file(p, add)) << c.text;
    EXPECT_EQ(slurp(p), c.expect) << c.text;
  }
}

TEST(KeyPrefs, AnInPlaceEditThatFailsNeverLosesComments) {
  testing::TempDir dir;
  // Dropping a section can't be done in place: the file would still read as holding it, empty.
  auto drop = [](const Value& f) { return kelp::dissoc(f, kelp::keyword("editor")); };
  const std::string commented = "{:window [] ; mine\n :editor [{:key \"F2\" :command :run/run}]}";
  const auto p = dir.write("keys.edn", commented);
  auto why = edit_keys_file(p, drop);
  ASSERT_TRUE(why);
  EXPECT_EQ(*why, "Preferences left " + p.string() +
                      " as it is: the change couldn't be made in place, and rewriting the file would lose your "
                      "comments.");
  EXPECT_EQ(slurp(p), commented);

  // With no comment to lose, the file is written whole.
  const std::string bare = "{:window []\n :editor [{:key \"F2\" :command :run/run}]}";
  dir.write("keys.edn", bare);
  EXPECT_FALSE(edit_keys_file(p, drop));
  EXPECT_EQ(slurp(p), file_text(drop(std::get<Value>(file_keys(bare)))));
}

}  // namespace
}  // namespace orrery::key_prefs
