#include "orrery/gtk/window.hpp"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "gui/support.hpp"
#include "orrery/gtk/buffer.hpp"
#include "orrery/gtk/console_view.hpp"
#include "orrery/gtk/dialogs.hpp"
#include "orrery/gtk/editor.hpp"
#include "orrery/main.hpp"

namespace fs = std::filesystem;

namespace orrery::gtk {
namespace {

using gui_test::pump_until;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void spit(const fs::path& p, const std::string& s) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << s;
}

// A fresh folder per test, with a file in it.
struct Fixture : ::testing::Test {
  fs::path dir;
  std::shared_ptr<Window> w;

  static void SetUpTestSuite() { register_runtimes(); }

  void SetUp() override {
    char templ[] = "/tmp/orrery-window-XXXXXX";
    dir = ::mkdtemp(templ);
    set_answerer(nullptr);
  }
  void TearDown() override {
    set_answerer([](const Question&, std::function<void(int)> a, std::function<void(FileResult)>) { a(1); });
    if (w && !w->is_closed()) {
      w->request_close();
      pump_until([&] { return w->is_closed(); }, std::chrono::seconds(5));
    }
    w.reset();
    set_answerer(nullptr);
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir, ec);
  }

  std::shared_ptr<Window> open(const std::string& name, const std::string& text) {
    spit(dir / name, text);
    LaunchOptions o;
    o.cwd = dir;
    o.file = dir / name;
    w = Window::make(nullptr, o);
    return w;
  }

  std::string output() {
    w->console().drain();
    return w->console().output_text();
  }

  bool wait_output(const std::string& needle, std::chrono::milliseconds t = std::chrono::seconds(20)) {
    return pump_until([&] { return output().find(needle) != std::string::npos; }, t);
  }

  // Types text the way keys do: the editor's own handling first, else the character goes in as GTK would put it.
  void type(const std::string& text) {
    auto ed = w->active_editor();
    for (char c : text) {
      guint keyval = c == '\n' ? GDK_KEY_Return : gdk_unicode_to_keyval(static_cast<guint32>(c));
      if (ed->dispatch_key(keyval, GdkModifierType(0)) == 0) {
        gtk_text_buffer_insert_interactive_at_cursor(ed->buffer(), &c, 1, TRUE);
      }
    }
  }

  void replace_text(const std::string& text) {
    auto ed = w->active_editor();
    ed->replace_buffer_as_one_action(text, 0);
  }
};

using WindowRun = Fixture;

TEST_F(WindowRun, TypedCodeRunsAndTheConsoleShowsOutputValuesAndErrors) {
  open("a.clj", "");
  EXPECT_EQ(w->title(), "a.clj - Orrery");
  type("(println \"hi\")\n(+ 1 2");
  EXPECT_EQ(w->active_editor()->text(), "(println \"hi\")\n(+ 1 2)");
  EXPECT_TRUE(pump_until([&] { return w->title() == "* a.clj - Orrery"; })) << w->title();
  w->run();
  ASSERT_TRUE(wait_output("=> 3")) << output();
  std::string out = output();
  EXPECT_NE(out.find("; --- Running a.clj ---\n"), std::string::npos) << out;
  EXPECT_LT(out.find("hi\n"), out.find("=> 3")) << out;
  EXPECT_TRUE(pump_until([&] { return w->status() == "Ready"; }));

  replace_text("(defn f [] (throw (ex-info \"boom\" {})))\n(f)");
  w->run();
  ASSERT_TRUE(wait_output("boom")) << output();

  // A bracket left open is named before anything runs.
  replace_text("(println \"never\")\n(+ 1");
  w->run();
  ASSERT_TRUE(wait_output("is never closed.")) << output();
  EXPECT_EQ(output().find("never\n"), std::string::npos);
}

TEST_F(WindowRun, StopEndsABusyLoopAndReadLineIsAnsweredFromTheConsole) {
  open("loop.clj", "(loop [] (recur))");
  w->run();
  ASSERT_TRUE(pump_until([&] { return w->evaluator()->is_evaluating(); }));
  w->stop();
  ASSERT_TRUE(pump_until([&] { return !w->evaluator()->is_evaluating(); }));
  EXPECT_TRUE(pump_until([&] { return w->status() == "Stopped"; })) << w->status();

  replace_text("(println (str \"got \" (read-line)))");
  w->run();
  ASSERT_TRUE(pump_until([&] { return w->evaluator()->is_waiting_for_input(); }));
  w->console().set_input("abc", 3);
  EXPECT_EQ(w->console().handle_return(false), 1);
  ASSERT_TRUE(wait_output("got abc")) << output();
}

TEST_F(WindowRun, ARunFormAndASelectionEchoAndEvaluateInTheConsole) {
  open("forms.clj", "(def x 20)\n\n(* x 2)\n");
  w->run();
  ASSERT_TRUE(wait_output("=> 40")) << output();
  ASSERT_TRUE(pump_until([&] { return !w->evaluator()->is_evaluating(); }));
  auto ed = w->active_editor();
  place_caret(ed->buffer(), 3);
  w->run_form();
  ASSERT_TRUE(wait_output("(def x 20)\n=> #'user/x")) << output();
  ASSERT_TRUE(pump_until([&] { return !w->evaluator()->is_evaluating(); }));

  // Run Selection: the caret's line when nothing is selected.
  place_caret(ed->buffer(), 13);
  w->run_selection();
  ASSERT_TRUE(wait_output("(* x 2)\n=> 40")) << output();
}

using WindowFiles = Fixture;

TEST_F(WindowFiles, SaveWritesTheFileAndAReadOnlyFolderKeepsTheTabDirty) {
  open("s.clj", "(old)");
  replace_text("(new)");
  EXPECT_TRUE(w->active_editor()->is_dirty());
  w->save();
  EXPECT_EQ(slurp(dir / "s.clj"), "(new)");
  EXPECT_FALSE(w->active_editor()->is_dirty());
  EXPECT_EQ(w->title(), "s.clj - Orrery");

  // A folder this process can't write to: a read-only folder, or, for root, the kernel's read-only file system.
  fs::path target;
  if (::geteuid() != 0) {
    fs::create_directory(dir / "ro");
    fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    target = dir / "ro" / "s.clj";
  } else {
    target = "/proc/orrery-cannot-write-here.clj";
  }
  replace_text("(newer)");
  auto problem = w->save_to(target);
  ASSERT_TRUE(problem.has_value());
  EXPECT_NE(problem->find(target.string()), std::string::npos) << *problem;
  EXPECT_TRUE(w->active_editor()->is_dirty());
  EXPECT_EQ(w->tab_path(0), dir / "s.clj");
  EXPECT_NE(output().find("; save: "), std::string::npos);
}

TEST_F(WindowFiles, ClosingWithUnsavedChangesAsksOnceAndDontSaveLeavesTheFile) {
  open("c.clj", "(keep)");
  replace_text("(edited)");
  std::vector<tabs::Alert> asked;
  std::function<void(int)> answer;
  set_answerer([&](const Question& q, std::function<void(int)> a, std::function<void(FileResult)>) {
    asked.push_back(*q.alert);
    answer = a;
  });
  w->request_close();
  w->request_close();
  gui_test::pump_for(std::chrono::milliseconds(50));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].message, "Save changes to c.clj before closing?");
  answer(2);  // Cancel
  EXPECT_FALSE(w->is_closed());
  w->request_close();
  ASSERT_EQ(asked.size(), 2u);
  answer(1);  // Don't Save
  EXPECT_TRUE(pump_until([&] { return w->is_closed(); }));
  EXPECT_EQ(slurp(dir / "c.clj"), "(keep)");
}

TEST_F(WindowFiles, AFileChangedOnDiskIsFollowedAndUnsavedEditsAreNeverSilentlyOverwritten) {
  open("d.clj", "(one)");
  spit(dir / "d.clj", "(two, longer)");
  w->poll_disk();  // the stat moved: wait a tick for the writer to finish
  EXPECT_EQ(w->active_editor()->text(), "(one)");
  w->poll_disk();
  EXPECT_EQ(w->active_editor()->text(), "(two, longer)");
  EXPECT_FALSE(w->active_editor()->is_dirty());

  replace_text("(mine)");
  spit(dir / "d.clj", "(theirs, changed)");
  w->poll_disk();
  w->poll_disk();
  EXPECT_EQ(w->active_editor()->text(), "(mine)");
  EXPECT_TRUE(w->active_editor()->is_dirty());

  std::vector<std::string> asked;
  set_answerer([&](const Question& q, std::function<void(int)> a, std::function<void(FileResult)>) {
    asked.push_back(q.alert->message);
    a(1);  // Cancel
  });
  w->save();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(slurp(dir / "d.clj"), "(theirs, changed)");
  set_answerer([&](const Question&, std::function<void(int)> a, std::function<void(FileResult)>) { a(0); });
  w->save();
  EXPECT_EQ(slurp(dir / "d.clj"), "(mine)");
}

TEST_F(WindowFiles, OpeningFillsTheUntouchedTabSelectsAnOpenFileAndRefusesNul) {
  spit(dir / "b.clj", "(b)");
  spit(dir / "bin.clj", std::string("a\nb\nc\0d", 7));
  LaunchOptions o;
  o.cwd = dir;
  w = Window::make(nullptr, o);
  EXPECT_EQ(w->title(), "Untitled - Orrery");
  EXPECT_FALSE(w->open_file(dir / "b.clj"));
  EXPECT_EQ(w->tab_count(), 1u);
  EXPECT_EQ(w->active_editor()->text(), "(b)");
  w->new_tab();
  EXPECT_EQ(w->tab_count(), 2u);
  EXPECT_EQ(w->active_index(), 1u);
  EXPECT_FALSE(w->open_file(dir / "b.clj"));
  EXPECT_EQ(w->active_index(), 0u);
  auto refused = w->open_file(dir / "bin.clj");
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->find("line 3"), std::string::npos) << *refused;
  EXPECT_EQ(w->tab_count(), 2u);
  EXPECT_EQ(w->tab_labels(), (std::vector<std::string>{"b.clj", "Untitled"}));
}

TEST_F(WindowRun, AKelpProjectRunsInAKelpChildAndAnotherProjectsTabIsRefused) {
  fs::create_directory(dir / "proj");
  spit(dir / "proj" / "deps.edn", "{:paths [\"src\"]}");
  fs::create_directory(dir / "proj" / "src");
  spit(dir / "proj" / "src" / "core.clj", "(ns core)\n(println \"from the child\")\n(+ 40 2)\n");
  LaunchOptions o;
  o.cwd = dir;
  o.file = dir / "proj" / "src" / "core.clj";
  w = Window::make(nullptr, o);
  ASSERT_TRUE(wait_output(" is running (pid ")) << output();
  w->run();
  ASSERT_TRUE(wait_output("=> 42")) << output();
  EXPECT_NE(output().find("from the child\n"), std::string::npos) << output();
  ASSERT_TRUE(pump_until([&] { return !w->evaluator()->is_evaluating(); }));

  // A loose file of another dialect in a second tab belongs elsewhere: Run says so and runs nothing.
  spit(dir / "other.cljs", "(+ 1 1)");
  w->new_tab();
  ASSERT_FALSE(w->open_file(dir / "other.cljs"));
  w->run();
  ASSERT_TRUE(wait_output("so it can't run here.")) << output();
  EXPECT_EQ(output().find("=> 2\n"), std::string::npos);
}

TEST_F(WindowRun, OpeningAnotherRuntimesFileIntoTheOnlyTabSwitchesTheEvaluator) {
  fs::create_directory(dir / "proj");
  spit(dir / "proj" / "deps.edn", "{}");
  spit(dir / "proj" / "a.clj", "(+ 1 2)");
  fs::create_directory(dir / "loose");
  LaunchOptions o;
  o.cwd = dir / "loose";
  w = Window::make(nullptr, o);
  auto first = w->evaluator();
  ASSERT_FALSE(w->open_file(dir / "proj" / "a.clj"));
  ASSERT_TRUE(wait_output("; Switched to ")) << output();
  EXPECT_NE(w->evaluator(), first);
  ASSERT_TRUE(wait_output(" is running (pid ")) << output();
  w->run();
  ASSERT_TRUE(wait_output("=> 3")) << output();
}

TEST_F(WindowRun, TheShippedKeysReachTheirCommands) {
  open("k.clj", "(loop [] (recur))");
  const auto ctrl = GDK_CONTROL_MASK;
  EXPECT_EQ(w->press_key(GDK_KEY_F5, GdkModifierType(0)), 1);  // Run
  ASSERT_TRUE(pump_until([&] { return w->evaluator()->is_evaluating(); }));
  EXPECT_NE(output().find("; --- Running k.clj ---"), std::string::npos) << output();
  EXPECT_EQ(w->press_key(GDK_KEY_Escape, GdkModifierType(0)), 1);  // Stop, while evaluating
  ASSERT_TRUE(pump_until([&] { return !w->evaluator()->is_evaluating(); }));
  EXPECT_EQ(w->press_key(GDK_KEY_Escape, GdkModifierType(0)), 0);  // nothing to stop: GTK's

  EXPECT_EQ(w->press_key(GDK_KEY_t, ctrl), 1);  // New Tab
  EXPECT_EQ(w->tab_count(), 2u);
  EXPECT_EQ(w->active_index(), 1u);
  EXPECT_EQ(w->press_key(GDK_KEY_1, ctrl), 1);
  EXPECT_EQ(w->active_index(), 0u);
  EXPECT_EQ(w->press_key(GDK_KEY_braceright, GdkModifierType(ctrl | GDK_SHIFT_MASK)), 1);  // next tab
  EXPECT_EQ(w->active_index(), 1u);
  EXPECT_EQ(w->press_key(GDK_KEY_w, ctrl), 1);  // Close Tab (clean)
  EXPECT_EQ(w->tab_count(), 1u);

  const std::string before = w->theme_choice();
  EXPECT_EQ(w->press_key(GDK_KEY_M, GdkModifierType(ctrl | GDK_SHIFT_MASK)), 1);  // Caps: the key comes lowered
  EXPECT_NE(w->theme_choice(), before);

  // A command whose part this window lacks says so instead of failing silently.
  EXPECT_EQ(w->press_key(GDK_KEY_i, ctrl), 1);
  EXPECT_EQ(w->status(), "The inspector isn't available in this window yet.");

  // The editor's keys: Ctrl+/ comments the line, Ctrl+Enter runs the form at the caret.
  auto ed = w->active_editor();
  EXPECT_EQ(ed->dispatch_key(GDK_KEY_slash, ctrl), 1);
  EXPECT_EQ(ed->text(), "; (loop [] (recur))");
  replace_text("(+ 20 22)");
  EXPECT_EQ(ed->dispatch_key(GDK_KEY_Return, ctrl), 1);
  ASSERT_TRUE(wait_output("=> 42")) << output();
}

TEST(LaunchSplit, TheFirstPathLaunchesAsFolderOrFileAndTheRestOpenAsTabs) {
  LaunchOptions base;
  base.cwd = "/w";
  auto split = launch_split(base, {"/w/proj", "/w/a.clj", "/w/b.clj"}, true);
  EXPECT_EQ(split.launch.dir, fs::path("/w/proj"));
  EXPECT_FALSE(split.launch.file);
  EXPECT_EQ(split.rest, (std::vector<fs::path>{"/w/a.clj", "/w/b.clj"}));
  split = launch_split(base, {"/w/missing.clj"}, false);
  EXPECT_EQ(split.launch.file, fs::path("/w/missing.clj"));
  EXPECT_TRUE(split.rest.empty());
}

TEST_F(WindowFiles, AMissingLaunchFileOpensEmptyAndSaveCreatesIt) {
  LaunchOptions o;
  o.cwd = dir;
  o.file = dir / "new.clj";
  w = Window::make(nullptr, o);
  EXPECT_EQ(w->active_editor()->text(), "");
  EXPECT_EQ(w->tab_path(0), dir / "new.clj");
  replace_text("(created)");
  w->save();
  EXPECT_EQ(slurp(dir / "new.clj"), "(created)");
}

}  // namespace
}  // namespace orrery::gtk
