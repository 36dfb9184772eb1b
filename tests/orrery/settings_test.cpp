#include "orrery/settings.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "support/temp_dir.hpp"

namespace orrery::settings {
namespace {

namespace fs = std::filesystem;
using kelp::Value;
using orrery::testing::TempDir;

Value edn(std::string_view text) {
  kelp::Result<Value> r = kelp::read_edn(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? *r : kelp::NIL;
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every "P" in a sentence stands for the settings file's path.
std::string with_path(std::string text, const fs::path& path) {
  for (size_t at = text.find('P'); at != std::string::npos; at = text.find('P', at + path.string().size()))
    text.replace(at, 1, path.string());
  return text;
}

TEST(SettingsPath, XdgConfigHomeOnlyWhenAbsolute) {
  const std::map<std::string, std::string> cases = {
      {"/x/cfg", "/x/cfg/orrery/settings.edn"},
      {"", "/home/u/.config/orrery/settings.edn"},
      {"  ", "/home/u/.config/orrery/settings.edn"},
      {"cfg/rel", "/home/u/.config/orrery/settings.edn"},
  };
  for (const auto& [xdg, expect] : cases) {
    const Env env = [&](std::string_view name) -> std::optional<std::string> {
      if (name == "XDG_CONFIG_HOME") return xdg;
      return std::nullopt;
    };
    EXPECT_EQ(settings_path(env, "/home/u"), fs::path(expect)) << xdg;
  }
  EXPECT_EQ(settings_path([](std::string_view) { return std::nullopt; }, "/home/u"),
            fs::path("/home/u/.config/orrery/settings.edn"));
}

TEST(SettingsLoad, KeepsUsableKeysAndWarnsInOrder) {
  struct Case {
    std::optional<std::string> text;  // nothing: no file
    std::string settings;
    std::optional<std::string> warning;
  } cases[] = {
      {std::nullopt, "{:theme :light}", std::nullopt},
      {"{:dialect :jank}", "{:theme :light :dialect :jank}", std::nullopt},
      {";; nothing here yet\n", "{:theme :light}", std::nullopt},
      {"{:theme :nord", "{:theme :light}", "couldn't read P, using :light"},
      {"[:theme :nord]", "{:theme :light}", "P has no known :theme, using :light"},
      {"{:theme nil :reopen-tabs? nil}", "{:theme :light}", std::nullopt},
      // Everything usable is kept as written.
      {"{:theme :auto :dialect :clj :file-tree {:visible? false :width 240} :reopen-tabs? true\n"
       " :remember-session? false :mcp-listen? true :plugins {:disabled #{:p/x} :trusted-projects [\"/p\"]}\n"
       " :parinfer :smart :key-set :calva :terminal \"kitty\" :layouts {\"Trace panel\" {:panel :trace}}\n"
       " :doc-bookmarks [{:url \"u\" :title \"T\"}] :header {:end [:run/eval]} :layout {:bottom [:console]}}",
       "{:theme :auto :dialect :clj :file-tree {:visible? false :width 240} :reopen-tabs? true\n"
       " :remember-session? false :mcp-listen? true :plugins {:disabled #{:p/x} :trusted-projects [\"/p\"]}\n"
       " :parinfer :smart :key-set :calva :terminal \"kitty\" :layouts {\"Trace panel\" {:panel :trace}}\n"
       " :doc-bookmarks [{:url \"u\" :title \"T\"}] :header {:end [:run/eval]} :layout {:bottom [:console]}}",
       std::nullopt},
      // Every unusable key at once: one warning each, in the loader's order, the good parts kept.
      {"{:layout {:left :tree} :header {:start [\"x\"]} :doc-bookmarks [{:url \"u\"} 3 {:url \"u\"}]\n"
       " :layouts {\"Trace panel\" {:panel :trace} :bad 1 \"Review\" {:panel :review}} :terminal \"  \"\n"
       " :key-set :emacs :parinfer :wild :plugins {:disabled [:a] :trusted-projects [\"/p\"]}\n"
       " :mcp-listen? \"yes\" :remember-session? nil :reopen-tabs? 1 :file-tree {:width 0}\n"
       " :dialect :cobol :theme :neon}",
       "{:theme :light :plugins {:trusted-projects [\"/p\"]} :layouts {\"Trace panel\" {:panel :trace}}\n"
       " :doc-bookmarks [{:url \"u\"}]}",
       "P has no known :theme, using :light; P names :dialect :cobol, which isn't a known dialect; "
       "P has an unusable :file-tree, ignoring it; P has an unusable :reopen-tabs?, ignoring it; "
       "P has an unusable :mcp-listen?, ignoring it; P's :plugins :disabled isn't a set of plugin ids, ignoring it; "
       "P has an unknown :parinfer :wild, using :off; P has an unknown :key-set :emacs, using the default keys; "
       "P has an unusable :terminal \"  \", using the system's; "
       "P's :layouts has entries that aren't a name and a layout, ignoring them; "
       "P's :doc-bookmarks has entries that aren't a doc page, ignoring them; "
       "P's :header isn't {:start [command ...] :end [command ...]}, using the usual buttons; "
       "P's :layout isn't {:left [part ...] :right [part ...] :bottom [part ...]}, using the usual places"},
      {"{:plugins 3 :layouts [] :doc-bookmarks \"x\"}", "{:theme :light}",
       "P's :plugins :disabled isn't a set of plugin ids, ignoring it; P's :layouts isn't a map, ignoring it; "
       "P's :doc-bookmarks isn't a list, ignoring it"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const fs::path path = dir.path() / "settings.edn";
    if (c.text) dir.write("settings.edn", *c.text);
    SCOPED_TRACE(c.text.value_or("(no file)"));
    const Loaded l = load_settings(path);
    EXPECT_TRUE(kelp::equiv(l.settings, edn(c.settings))) << kelp::pr_str(l.settings);
    EXPECT_EQ(l.warning, c.warning ? std::optional(with_path(*c.warning, path)) : std::nullopt);
  }

  TempDir dir;
  fs::create_directory(dir.path() / "settings.edn");
  EXPECT_EQ(load_settings(dir.path() / "settings.edn").warning,
            with_path("couldn't read P, using :light", dir.path() / "settings.edn"));
}

TEST(SettingsSave, EditsInPlaceOrRefusesAndLeavesTheFile) {
  struct Case {
    std::optional<std::string> text;  // nothing: no file (nor folder)
    std::string save;
    std::string expect;               // the file afterwards
    std::optional<std::string> message;
  } cases[] = {
      {";; mine\n{:theme :light ; the look\n\n :dialect :jank}\n", "{:theme :nord}",
       ";; mine\n{:theme :nord ; the look\n\n :dialect :jank}\n", std::nullopt},
      {"{:theme :light\n :file-tree {:visible? true :width 240}}\n", "{:file-tree {:visible? false}}",
       "{:theme :light\n :file-tree {:visible? false}}\n", std::nullopt},
      {"{:theme :light}", "{:theme :light :parinfer :smart}", "{:theme :light :parinfer :smart}", std::nullopt},
      {";; settings\n;; by hand", "{:theme :nord}", ";; settings\n;; by hand\n{:theme :nord}\n", std::nullopt},
      {std::nullopt, "{:theme :nord}", "{:theme :nord}\n", std::nullopt},
      {"{:theme :nord", "{:theme :dark}", "{:theme :nord",
       "P isn't valid EDN, so it wasn't overwritten; fix or delete it"},
      {"{:a 1} \xff", "{:theme :dark}", "{:a 1} \xff", "P isn't valid EDN, so it wasn't overwritten; fix or delete it"},
      {"[:theme :nord]", "{:theme :dark}", "[:theme :nord]",
       "P isn't a map, so it wasn't overwritten; fix or delete it"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const fs::path path = dir.path() / "orrery" / "settings.edn";
    if (c.text) dir.write("orrery/settings.edn", *c.text);
    SCOPED_TRACE(c.text.value_or("(no file)") + " <- " + c.save);
    EXPECT_EQ(save_settings(path, edn(c.save)), c.message ? std::optional(with_path(*c.message, path)) : std::nullopt);
    EXPECT_EQ(slurp(path), c.expect);
  }
}

TEST(SettingsSave, ThroughALinkAndOverAnUnreadableFile) {
  TempDir dir;
  const fs::path real = dir.write("dotfiles/settings.edn", "{:dialect :jank}\n");
  const fs::path link = dir.path() / "orrery" / "settings.edn";
  fs::create_directories(link.parent_path());
  fs::create_symlink("../dotfiles/settings.edn", link);
  EXPECT_EQ(save_settings(link, edn("{:theme :nord}")), std::nullopt);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(slurp(real), "{:dialect :jank :theme :nord}\n");

  const fs::path folder = dir.path() / "folder" / "settings.edn";
  fs::create_directories(folder);
  EXPECT_EQ(save_settings(folder, edn("{:theme :nord}")),
            with_path("couldn't save P: Is a directory to keep its other settings; nothing saved", folder));
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_TRUE(fs::is_empty(folder));

  // A FIFO would never finish reading, and renaming over it would replace it.
  const fs::path fifo = dir.path() / "fifo.edn";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(save_settings(fifo, edn("{:theme :nord}")),
            with_path("couldn't save P: it isn't a regular file to keep its other settings; nothing saved", fifo));
  EXPECT_EQ(load_settings(fifo).warning, with_path("couldn't read P, using :light", fifo));
  EXPECT_TRUE(fs::is_fifo(fifo));
}

// Each process adds a key of its own on every save, so a save that lost the other's last change shows at the end.
TEST(SettingsSave, TwoProcessesSavingAtOnceKeepEveryKey) {
  TempDir dir;
  const fs::path path = dir.write("settings.edn", ";; shared\n{:theme :light}\n");
  auto saver = [&](const std::string& prefix) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    int failures = 0;
    for (int i = 0; i < 100; ++i)
      if (save_settings(path, kelp::make_map({kelp::keyword(prefix + std::to_string(i)), Value::integer(i)})))
        ++failures;
    ::_exit(failures == 0 ? 0 : 1);
  };
  const pid_t a = saver("a"), b = saver("b");
  for (pid_t pid : {a, b}) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::string text = slurp(path);
  Value expect = edn("{:theme :light}");
  for (int i = 0; i < 100; ++i)
    for (const char* prefix : {"a", "b"})
      expect = kelp::assoc(expect, kelp::keyword(prefix + std::to_string(i)), Value::integer(i));
  EXPECT_TRUE(kelp::equiv(edn(text), expect)) << text;
  EXPECT_EQ(text.rfind(";; shared\n", 0), 0u) << text;
}

TEST(SettingsSave, PluginDisabledKeepsTheOtherPluginKeys) {
  TempDir dir;
  const fs::path path = dir.write("settings.edn", "{:plugins {:trusted-projects [\"/p\"] ; mine\n}}\n");
  EXPECT_EQ(save_plugin_disabled(path, kelp::keyword("x"), true), std::nullopt);
  EXPECT_EQ(save_plugin_disabled(path, kelp::keyword("y"), true), std::nullopt);
  EXPECT_EQ(save_plugin_disabled(path, kelp::keyword("x"), false), std::nullopt);
  EXPECT_EQ(slurp(path), "{:plugins {:trusted-projects [\"/p\"] ; mine\n           :disabled #{:y}\n}}\n");

  const std::pair<std::string, std::string> refused[] = {
      {"{:plugins [:x]}", "P's :plugins isn't a map, so it wasn't changed; fix it by hand"},
      {"{:plugins {:disabled [:x]}}",
       "P's :plugins :disabled isn't a set of plugin ids, so it wasn't changed; fix it by hand"},
      {"{:plugins", "P isn't valid EDN, so it wasn't overwritten; fix or delete it"},
  };
  for (const auto& [text, message] : refused) {
    dir.write("settings.edn", text);
    EXPECT_EQ(save_plugin_disabled(path, kelp::keyword("x"), true), with_path(message, path));
    EXPECT_EQ(slurp(path), text);
  }
}

TEST(SettingsBookmarks, ReadForAWriteOnlyWhenWhole) {
  struct Case {
    std::optional<std::string> text;
    std::optional<std::string> bookmarks;  // a vector of pages
    std::optional<std::string> error;
  } cases[] = {
      {std::nullopt, std::nullopt, std::nullopt},
      {"{:theme :nord}", std::nullopt, std::nullopt},
      {"{:doc-bookmarks ({:url \"a\"} {:url \"b\" :title \"B\"})}", "[{:url \"a\"} {:url \"b\" :title \"B\"}]",
       std::nullopt},
      {"{:doc-bookmarks [{:url \"a\"} {:url \"a\"}]}", std::nullopt,
       "P's :doc-bookmarks has entries that aren't a doc page, or repeats"},
      {"{:doc-bookmarks [{:url \" \"}]}", std::nullopt,
       "P's :doc-bookmarks has entries that aren't a doc page, or repeats"},
      {"{:doc-bookmarks #{}}", std::nullopt, "P's :doc-bookmarks isn't a list"},
      {"{:doc-bookmarks [", std::nullopt, "P isn't valid EDN, so it wasn't overwritten; fix or delete it"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const fs::path path = dir.path() / "settings.edn";
    if (c.text) dir.write("settings.edn", *c.text);
    SCOPED_TRACE(c.text.value_or("(no file)"));
    const BookmarksForWrite b = bookmarks_for_write(path);
    EXPECT_EQ(b.error, c.error ? std::optional(with_path(*c.error, path)) : std::nullopt);
    ASSERT_EQ(b.bookmarks.has_value(), c.bookmarks.has_value());
    if (b.bookmarks) EXPECT_TRUE(kelp::equiv(kelp::make_vector(*b.bookmarks), edn(*c.bookmarks)));
  }
}

}  // namespace
}  // namespace orrery::settings
