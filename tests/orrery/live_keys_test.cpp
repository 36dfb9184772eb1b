// The live keys laid from a settings folder: the key set the settings choose, keys.edn's bindings and removals over
// the shipped ones, and the console report a load gives.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "orrery/key_sets.hpp"
#include "orrery/live_keys.hpp"
#include "orrery/user_keys.hpp"

namespace {

namespace fs = std::filesystem;
using orrery::keymap::Binding;

// The command of the first binding in dispatch order with this exact first chord's key and :mods/:exact text.
std::string first_command_for(const std::vector<Binding>& bs, std::string_view key) {
  for (const auto& b : bs)
    if (b.key == key && b.then.empty()) return b.command;
  return "";
}

class LiveKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("live_keys_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    // Leave the process's live keys as a fresh start has them.
    orrery::key_sets::set_live(orrery::key_sets::default_id);
    orrery::user_keys::set_live(std::make_shared<const orrery::user_keys::UserKeys>());
    fs::remove_all(dir_);
  }
  void write(const std::string& name, const std::string& text) { std::ofstream(dir_ / name) << text; }
  fs::path settings() const { return dir_ / "settings.edn"; }
  fs::path dir_;
};

TEST_F(LiveKeys, YourKeysAndTheChosenSetLieOverTheShippedOnes) {
  write("settings.edn", "{:key-set :calva}\n");
  write("keys.edn", R"({:window [{:key "F6" :command :run/run}]
 :remove [{:key "F5" :command :run/run}]})");
  auto report = orrery::live_keys::load(settings(), false);
  ASSERT_EQ(report.lines.size(), 1u);
  EXPECT_EQ(report.lines[0], "; " + (dir_ / "keys.edn").string() + ": 1 key binding of yours loaded, 1 removed.");

  const auto window = orrery::live_keys::bindings("window");
  ASSERT_FALSE(window.empty());
  EXPECT_EQ(window.front().key, "F6");
  EXPECT_EQ(window.front().command, "run/run");
  EXPECT_EQ(first_command_for(window, "F5"), "");  // removed
  // The Calva set takes Cmd+Alt+P from Parinfer's mode cycle on this system and lays its editor keys.
  for (const auto& b : window) EXPECT_NE(b.command, "parinfer/next-mode") << b.key;
  const auto editor = orrery::live_keys::bindings("editor");
  EXPECT_NE(std::find_if(editor.begin(), editor.end(), [](const Binding& b) { return b.command == "paredit/splice"; }),
            editor.end());

  // The same load again says nothing; a forced one says it again.
  EXPECT_TRUE(orrery::live_keys::load(settings(), false).lines.empty());
  EXPECT_EQ(orrery::live_keys::load(settings(), true).lines.size(), 1u);
}

TEST_F(LiveKeys, NoFilesGiveTheShippedKeysAndAForcedReloadSaysThereIsNoKeysFile) {
  auto report = orrery::live_keys::load(settings(), true);
  ASSERT_EQ(report.lines.size(), 1u);
  EXPECT_EQ(report.lines[0], orrery::user_keys::missing_line(dir_ / "keys.edn"));
  const auto live = orrery::live_keys::bindings("window");
  const auto& shipped = orrery::command_registry::shipped_bindings("window");
  ASSERT_EQ(live.size(), shipped.size());
  for (size_t i = 0; i < live.size(); ++i) EXPECT_EQ(live[i].edn, shipped[i].edn) << i;
}

}  // namespace
