#include "orrery/key_seq.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/read/edn.hpp"

namespace orrery::key_seq {
namespace {

using keymap::MASK_ALT;
using keymap::MASK_CTRL;
using keymap::MASK_META;
using keymap::MASK_SHIFT;

const std::string_view LINUX = "Linux";

Binding binding(std::string_view text) {
  auto b = keymap::to_binding(*kelp::read_edn(text));
  EXPECT_TRUE(b) << text;
  return *b;
}

Key key(std::string_view name, uint32_t state = 0) { return {*keymap::key_value(name), state, std::nullopt}; }

std::string doc_of(std::string_view id) {
  if (id == "git/commit") return "Commit the changes.";
  if (id == "git/push") return "Push the branch.";
  return "";
}

// Three sequences on Ctrl+K and a plain binding on the same chord, dispatched as a key handler does.
struct KeySeq : testing::Test {
  std::vector<Binding> bindings = {
      binding(R"({:key "k" :mods #{:ctrl} :then [{:key "c"}] :command :git/commit})"),
      binding(R"({:key "k" :mods #{:ctrl} :command :a/plain})"),
      binding(R"({:key "k" :mods #{:ctrl} :then [{:key "p"} {:key "p"}] :command :git/push})"),
      binding(R"({:key "k" :mods #{:ctrl} :then [{:key "p"} {:key "f" :mods #{:shift}}] :command :git/force})"),
      binding(R"({:key "k" :mods #{:ctrl} :then [{:key "u"}] :when [:never] :command :git/undo})"),
  };
  std::vector<std::string> ran;
  std::vector<Live> seen;
  int watch_id = 0;

  void SetUp() override {
    cancel();
    watch_id = watch([this](const Live& l) { seen.push_back(l); });
  }
  void TearDown() override {
    unwatch(watch_id);
    cancel();
  }

  Outcome press_first() {
    keymap::DispatchOptions opts;
    opts.holds = [](std::string_view id) { return id != "never"; };
    opts.run = [this](const Binding& b) { return ran.push_back("now " + b.command), Outcome::handled; };
    Key k = key("k", MASK_CTRL);
    opts.start_seq = [&](const Binding& b) {
      return start(bindings, b, k, opts.holds, [this](const Binding& done) {
        ran.push_back(done.command);
        return Outcome::handled;
      });
    };
    return keymap::dispatch(bindings, k.keyval, k.state, opts);
  }
  std::optional<std::string> note() { return live().note; }
};

TEST_F(KeySeq, NoSequenceLeavesTheKeyAlone) { EXPECT_EQ(step(key("a"), LINUX), std::nullopt); }

TEST_F(KeySeq, StartListsTheCandidatesAndWhatMayFollow) {
  EXPECT_EQ(press_first(), Outcome::handled);
  EXPECT_TRUE(ran.empty());
  auto p = pending();
  ASSERT_TRUE(p);
  ASSERT_EQ(p->candidates.size(), 3u);  // the sequence whose condition fails is no candidate
  EXPECT_EQ(p->candidates[0].binding.command, "git/commit");
  EXPECT_EQ(p->prefix, std::vector<Chord>{first_chord(bindings[0])});
  EXPECT_EQ(status_text(*p, LINUX), "Ctrl+K …");
  EXPECT_EQ(status_text(*p, "Mac OS X"), "⌃K …");
  EXPECT_EQ(follow_rows(*p, doc_of, LINUX),
            (std::vector<FollowRow>{{"C", "Commit the changes."}, {"P", "2 more keys…"}}));
  EXPECT_EQ(list_lines(*p, doc_of, LINUX), (std::vector<std::string>{"Ctrl+K, then:", "C    Commit the changes.",
                                                                     "P    2 more keys…", "Esc  Cancel"}));
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(seen.back().pending);
}

TEST_F(KeySeq, StepsThroughToTheCommand) {
  press_first();
  // A lone modifier waits.
  EXPECT_EQ(step({0xffe1, MASK_SHIFT, {}}, LINUX), 1);
  EXPECT_EQ(pending()->prefix.size(), 1u);

  EXPECT_EQ(step(key("p"), LINUX), 1);
  auto p = pending();
  ASSERT_TRUE(p);
  EXPECT_EQ(chords_label(p->prefix, LINUX), "Ctrl+K P");
  // One candidate left in each group: the one that ends shows its doc, the empty one when there is none.
  EXPECT_EQ(follow_rows(*p, doc_of, LINUX),
            (std::vector<FollowRow>{{"P", "Push the branch."}, {"Shift+F", ""}}));
  EXPECT_TRUE(ran.empty());

  EXPECT_EQ(step(key("f", MASK_SHIFT), LINUX), 1);
  EXPECT_EQ(ran, std::vector<std::string>{"git/force"});
  EXPECT_FALSE(pending());
  EXPECT_EQ(note(), std::nullopt);
  EXPECT_EQ(step(key("f", MASK_SHIFT), LINUX), std::nullopt);
}

TEST_F(KeySeq, FollowRowsCountASingleSequenceThatGoesOn) {
  Pending p;
  p.prefix = {first_chord(bindings[2])};
  p.candidates = {{bindings[2].then, bindings[2]}};
  EXPECT_EQ(follow_rows(p, doc_of, LINUX), (std::vector<FollowRow>{{"P", "1 more keys…"}}));
}

TEST_F(KeySeq, EndingsAndTheirNotes) {
  struct Case {
    std::vector<Key> keys;
    std::string note;
  };
  const std::vector<Case> cases = {
      {{key("Escape")}, "Ctrl+K cancelled."},
      {{key("p"), key("Escape", keymap::MASK_SUPER)}, "Ctrl+K P cancelled."},
      // Escape with a modifier held is a chord like any other.
      {{key("Escape", MASK_CTRL)}, "Ctrl+K Ctrl+Esc isn't a key sequence."},
      {{key("x", MASK_ALT)}, "Ctrl+K Alt+X isn't a key sequence."},
      {{key("p"), key("f")}, "Ctrl+K P F isn't a key sequence."},
      {{{0x1008ff13, 0, {}}}, "Ctrl+K and that key isn't a key sequence."},
  };
  for (const auto& c : cases) {
    press_first();
    for (const auto& k : c.keys) EXPECT_EQ(step(k, LINUX), 1);
    EXPECT_FALSE(pending());
    EXPECT_EQ(note(), c.note);
    EXPECT_TRUE(ran.empty());
  }
  press_first();
  EXPECT_EQ(note(), std::nullopt);  // a new sequence clears the last note
  cancel("Gone.");
  EXPECT_FALSE(pending());
  EXPECT_EQ(note(), "Gone.");
}

TEST_F(KeySeq, TheCommandRunsAfterTheSequenceHasEnded) {
  // A command that looks at the state (or starts a sequence of its own) sees none under way.
  bool pending_when_run = true;
  keymap::DispatchOptions opts;
  Key k = key("k", MASK_CTRL);
  opts.start_seq = [&](const Binding& b) {
    return start(bindings, b, k, {}, [&](const Binding&) {
      pending_when_run = pending() != nullptr;
      return Outcome::handled;
    });
  };
  keymap::dispatch(bindings, k.keyval, k.state, opts);
  step(key("c"), LINUX);
  EXPECT_FALSE(pending_when_run);
}

TEST(KeySeqLabels, TypedChordsAndLabels) {
  EXPECT_EQ(typed_chord({0x1008ff13, 0, {}}), std::nullopt);
  auto c = typed_chord(key("s", MASK_CTRL | MASK_SHIFT | (1u << 1)));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->key, "s");
  EXPECT_EQ(c->mods, keymap::CTRL | keymap::SHIFT);
  EXPECT_EQ(keymap::chord_label(*c, LINUX), "Ctrl+Shift+S");
  EXPECT_EQ(keymap::chord_label(*c, "Mac OS X"), "⌃⇧S");
  EXPECT_EQ(keymap::chord_label(*typed_chord(key("s", MASK_META | MASK_ALT)), "Mac OS X"), "⌥⌘S");
  EXPECT_EQ(keymap::chord_label(binding(R"({:keys #{"Return" "KP_Enter"} :mods #{:cmd} :command :a/b})"), LINUX),
            "Ctrl+Enter");
  EXPECT_EQ(keymap::chord_label(binding(R"({:key "F8" :exact #{:shift} :command :a/b})"), LINUX), "Shift+F8");
}

}  // namespace
}  // namespace orrery::key_seq
