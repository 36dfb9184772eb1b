#include "orrery/dialect.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"

namespace orrery::dialect {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

const char* source_name(Source s) {
  switch (s) {
    case Source::Config: return "config";
    case Source::Marker: return "marker";
    case Source::Extension: return "extension";
    case Source::Settings: return "settings";
    case Source::Fallback: return "fallback";
  }
  return "?";
}

// A fresh scratch folder; each case writes its files into a folder of its own below it.
class DialectTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/orrery-dialect-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = fs::canonical(pattern);
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path write(const fs::path& rel, const std::string& text = "") {
    fs::path p = root_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
    return p;
  }

  fs::path root_;
};

// A folder's files, the file opened there ("" is an untitled buffer whose window stands in that folder), and the
// settings default.
struct SelectCase {
  std::map<std::string, std::string> files;
  std::string file;
  std::optional<std::string> default_dialect;
  std::string profile, runtime, source;
  Strings warnings;
  std::string project_dir = ".";  // relative to the case's folder; "" for no project
};

TEST_F(DialectTree, SelectsDialectRuntimeAndWarnings) {
  const std::string DART_ATTACH_ONLY =
      ".orrery.edn asks for runtime :in-process, which ClojureDart doesn't offer here; using attach";
  const SelectCase cases[] = {
      // A kelp project runs out of process; the same file loose stays in process.
      {{{"deps.edn", "{}"}}, "a.clj", {}, "kelp", "nrepl", "marker", {}},
      {{}, "a.clj", {}, "kelp", "in-process", "extension", {}, ""},
      // The kelp marker does not claim .cljs, so the pool widens to every profile.
      {{{"deps.edn", "{}"}}, "a.cljs", {}, "cljs", "launch", "extension", {}},
      // Two hits: the pool is those two, and kelp comes first.
      {{{"deps.edn", "{}"}, {"shadow-cljs.edn", "{}"}}, "a.cljc", {}, "kelp", "nrepl", "extension", {}},
      // Two hits keep the pool to themselves, even when neither claims the file.
      {{{"deps.edn", "{}"}, {"pubspec.yaml", ""}}, "a.jank", {}, "kelp", "nrepl", "fallback", {}},
      {{{"shadow-cljs.edn", "{}"}}, "a.cljs", {}, "cljs", "attach", "marker", {}},
      {{{"pubspec.yaml", ""}}, "", {}, "cljd", "attach", "marker", {}},
      // A file no extension claims in a ClojureDart app stays kelp's, in process (kelp's own marker is absent).
      {{{"pubspec.yaml", ""}}, "bb.edn", {}, "kelp", "in-process", "fallback", {}},
      {{{"pubspec.yaml", ""}}, "a.cljc", {}, "kelp", "in-process", "extension", {}},
      // A marker-less default (JVM Clojure) counts only outside any project; a default with markers counts anywhere.
      {{}, "", "clj", "clj", "attach", "settings", {}, ""},
      {{}, "notes.txt", "clj", "clj", "attach", "settings", {}, ""},
      {{{"deps.edn", "{}"}}, "notes.txt", "clj", "kelp", "nrepl", "fallback", {}},
      {{{"deps.edn", "{}"}}, "notes.txt", "cljs", "cljs", "launch", "settings", {}},
      {{}, "notes.txt", "nope", "kelp", "in-process", "fallback", {}, ""},
      // The configuration names the dialect and the runtime.
      {{{".orrery.edn", "{:dialect :clj}"}}, "a.clj", {}, "clj", "attach", "config", {}},
      {{{".orrery.edn", "{:dialect :nrepl}"}, {"deps.edn", "{}"}}, "a.clj", {}, "nrepl", "attach", "config", {}},
      {{{".orrery.edn", "{:runtime :in-process}"}, {"deps.edn", "{}"}}, "a.clj", {}, "kelp", "in-process", "marker",
       {}},
      {{{".orrery.edn", "{:runtime :in-process}"}, {"pubspec.yaml", ""}}, "a.cljd", {}, "cljd", "attach", "marker",
       {DART_ATTACH_ONLY}},
      {{{".orrery.edn", "{:runtime :launch}"}, {"shadow-cljs.edn", "{}"}}, "a.cljs", {}, "cljs", "launch", "marker",
       {}},
      {{{".orrery.edn", "{:dialect :scheme :runtime :warp}"}}, "a.clj", {}, "kelp", "in-process", "extension",
       {".orrery.edn names :scheme, which isn't a known dialect",
        ".orrery.edn asks for runtime :warp, which Kelp doesn't offer here; using in-process"}},
      // Keys the chosen dialect ignores.
      {{{".orrery.edn", "{:nrepl {:port 1} :cljs {} :auto-require [my.app]}"}}, "a.jank", {}, "jank", "launch",
       "extension",
       {".orrery.edn :auto-require only applies to JVM Clojure and Kelp, not jank, so it is ignored",
        ".orrery.edn :cljs only applies to ClojureScript, not jank, so it is ignored",
        ".orrery.edn :nrepl only applies to the nREPL dialect, not jank, so it is ignored"}},
      {{{".orrery.edn", "{:auto-require []}"}}, "a.jank", {}, "jank", "launch", "extension", {}},
      // ClojureScript targets.
      {{{".orrery.edn", "{:cljs {:target :browser}}"}, {"shadow-cljs.edn", "{}"}}, "a.cljs", {}, "cljs", "attach",
       "marker",
       {".orrery.edn :cljs :target applies only to ClojureScript that Orrery starts, not shadow-cljs, so it is "
        "ignored"}},
      {{{".orrery.edn", "{:cljs {:target :deno}}"}}, "a.cljs", {}, "cljs", "launch", "extension",
       {".orrery.edn :cljs :target should be :node or :browser, not :deno; using :node"}},
      {{{".orrery.edn", "{:cljs {:target :browser :forward-console? \"no\"}}"}}, "a.cljs", {}, "cljs", "launch",
       "extension",
       {".orrery.edn :cljs :forward-console? should be true or false, not \"no\"; forwarding stays on"}},
      // The nearest folder holding a marker or the configuration is the project, even above the file.
      {{{"deps.edn", "{}"}, {"src/deep/x.txt", ""}}, "src/deep/a.clj", {}, "kelp", "nrepl", "marker", {}},
      {{{"deps.edn", "{}"}, {"app/pubspec.yaml", ""}}, "app/lib/a.cljd", {}, "cljd", "attach", "marker", {}, "app"},
      // Unreadable configuration: a warning, and the other rules decide.
      {{{".orrery.edn", "{:dialect"}, {"deps.edn", "{}"}}, "a.clj", {}, "kelp", "nrepl", "marker",
       {".orrery.edn isn't valid EDN, so it is ignored"}},
  };
  int n = 0;
  for (const SelectCase& c : cases) {
    const fs::path dir = root_ / ("case" + std::to_string(n++));
    fs::create_directories(dir);
    for (const auto& [name, text] : c.files) write(dir.lexically_relative(root_) / name, text);
    const fs::path file = c.file.empty() ? fs::path() : dir / c.file;
    const auto project = find_project(profiles(), c.file.empty() ? dir / "untitled" : file);
    const Selection s = select(profiles(), project, file, c.default_dialect);
    const std::string what = dir.filename().string() + " " + c.file;
    ASSERT_NE(s.profile, nullptr) << what;
    EXPECT_EQ(s.profile->id, c.profile) << what;
    EXPECT_EQ(runtime_keyword(s.runtime), c.runtime) << what;
    EXPECT_STREQ(source_name(s.source), c.source.c_str()) << what;
    EXPECT_EQ(s.warnings, c.warnings) << what;
    if (c.project_dir.empty())
      EXPECT_FALSE(s.project_dir) << what;
    else
      EXPECT_EQ(s.project_dir, c.project_dir == "." ? dir : dir / c.project_dir) << what;
  }
}

TEST_F(DialectTree, SelectionCarriesOnlyTheKeysItsDialectUses) {
  write("kelp/deps.edn", "{}");
  write("kelp/.orrery.edn", "{:auto-require [my.app dev] :parinfer :smart :format-style :plain}");
  Selection s = select(profiles(), find_project(profiles(), root_ / "kelp/a.clj"), root_ / "kelp/a.clj", {});
  EXPECT_EQ(s.auto_require, (Strings{"my.app", "dev"}));
  EXPECT_EQ(s.parinfer, "smart");
  EXPECT_EQ(s.format_style, "plain");
  EXPECT_FALSE(s.cljs_target);

  // The editor's keys apply to every dialect; a dropped :nrepl key stays dropped in the selection.
  write("srv/.orrery.edn", "{:dialect :nrepl :nrepl {:host \"box:1\" :port 7888} :parinfer :paren}");
  s = select(profiles(), find_project(profiles(), root_ / "srv/a.clj"), root_ / "srv/a.clj", {});
  EXPECT_EQ(kelp::pr_str(*s.nrepl), "{:port 7888}");
  EXPECT_EQ(s.parinfer, "paren");
  EXPECT_TRUE(s.auto_require.empty());

  write("web/.orrery.edn", "{:cljs {:target :browser :forward-console? false}}");
  s = select(profiles(), find_project(profiles(), root_ / "web/a.cljs"), root_ / "web/a.cljs", {});
  EXPECT_EQ(s.cljs_target, "browser");
  EXPECT_EQ(s.cljs_console, false);
  ASSERT_TRUE(s.cljs);
  write("node/a.cljs");
  s = select(profiles(), find_project(profiles(), root_ / "node/a.cljs"), root_ / "node/a.cljs", {});
  EXPECT_EQ(s.cljs_target, "node");
  EXPECT_FALSE(s.cljs_console);
}

TEST_F(DialectTree, FindsTheProjectFromTheCanonicalPath) {
  EXPECT_FALSE(find_project(profiles(), fs::path()));
  write("p/deps.edn", "{}");
  write("p/shadow-cljs.edn", "{}");
  write("p/.orrery.edn", "{:dialect :cljs}");
  fs::create_symlink(root_ / "p", root_ / "link");

  // A file not yet saved, in a folder not yet made, reached through a symbolic link.
  auto project = find_project(profiles(), root_ / "link/new/dir/../b.cljs");
  ASSERT_TRUE(project);
  EXPECT_EQ(project->dir, root_ / "p");
  EXPECT_EQ(project->markers, (std::set<std::string>{"deps.edn", "shadow-cljs.edn"}));
  EXPECT_EQ(project->config, "{:dialect :cljs}");
  EXPECT_FALSE(project->config_error);

  // The configuration file alone makes a project; a folder in its place is a read error, not a crash.
  fs::create_directories(root_ / "q/.orrery.edn");
  project = find_project(profiles(), root_ / "q/a.clj");
  ASSERT_TRUE(project);
  EXPECT_TRUE(project->markers.empty());
  EXPECT_FALSE(project->config);
  EXPECT_EQ(project->config_error, "Is a directory");
  const Selection s = select(profiles(), project, root_ / "q/a.clj", {});
  EXPECT_EQ(s.warnings, (Strings{".orrery.edn couldn't be read (Is a directory), so it is ignored"}));
  EXPECT_EQ(s.profile->id, "kelp");

  if (geteuid() != 0) {  // root reads any file
    write("r/.orrery.edn", "{}");
    chmod((root_ / "r/.orrery.edn").c_str(), 0);
    project = find_project(profiles(), root_ / "r/a.clj");
    ASSERT_TRUE(project);
    EXPECT_EQ(project->config_error, "Permission denied");
  }
}

TEST_F(DialectTree, ProjectRememberSessionLooksFromInsideTheRoot) {
  write("p/.orrery.edn", "{:remember-session? false}");
  write("p/sub/x.txt");
  write("bad/.orrery.edn", "{:remember-session? 1}");
  write("loose/x.txt");
  EXPECT_EQ(project_remember_session(root_ / "p"), false);
  EXPECT_EQ(project_remember_session(root_ / "p/sub"), false);
  EXPECT_EQ(project_remember_session(root_ / "bad"), std::nullopt);
  EXPECT_EQ(project_remember_session(root_ / "loose"), std::nullopt);
}

TEST(DialectConfig, ReadsTextsThatHoldNothingOrNoMap) {
  const std::pair<std::optional<std::string>, Strings> cases[] = {
      {std::nullopt, {}},
      {"", {}},
      {"  \n ; nothing yet\n", {}},
      {"#_{:dialect :clj}", {}},
      {"nil", {}},
      {"{}", {}},
      {"{:dialect", {".orrery.edn isn't valid EDN, so it is ignored"}},
      {"{:a 1 :a 2}", {".orrery.edn isn't valid EDN, so it is ignored"}},
      {"{} {}", {".orrery.edn isn't valid EDN, so it is ignored"}},
      {"]", {".orrery.edn isn't valid EDN, so it is ignored"}},
      {"[:dialect :kelp]", {".orrery.edn should hold a map, like {:dialect :kelp}, so it is ignored"}},
      {":kelp", {".orrery.edn should hold a map, like {:dialect :kelp}, so it is ignored"}},
  };
  for (const auto& [text, warnings] : cases) {
    const Config c = parse_config(text, std::nullopt);
    EXPECT_EQ(c.warnings, warnings) << text.value_or("<none>");
    EXPECT_FALSE(c.dialect);
  }
  // A read error wins over any text.
  EXPECT_EQ(parse_config("{:dialect :clj}", "Permission denied").warnings,
            (Strings{".orrery.edn couldn't be read (Permission denied), so it is ignored"}));
}

TEST(DialectConfig, WarnsForEveryBadKeyInAFixedOrder) {
  // The keys come in an order unlike the warnings', which follow the checks, :nrepl last.
  const Config c = parse_config(
      "{:nrepl {:host \"box:1\" :port 70000 :port-file \"/abs\"} :remember-session? \"yes\" :format-style nil\n"
      " :parinfer :wild :cljs [] :auto-require [my.app 1] :runtime \"nrepl\" :dialect 3}",
      std::nullopt);
  EXPECT_EQ(c.warnings,
            (Strings{
                ".orrery.edn :dialect should be a keyword, not 3",
                ".orrery.edn :runtime should be a keyword, not \"nrepl\"",
                ".orrery.edn :auto-require should be a vector of namespace symbols, like [my.app.core], not "
                "[my.app 1], so it is ignored",
                ".orrery.edn :cljs should be a map, like {:shadow-build :app}",
                ".orrery.edn :parinfer should be one of :off :smart :indent :paren, not :wild, so it is ignored",
                ".orrery.edn :format-style should be :paren-stable or :plain, not nil, so it is ignored",
                ".orrery.edn :remember-session? should be true or false, not \"yes\", so it is ignored",
                ".orrery.edn :nrepl :host should be a host name or address without a port, like \"localhost\" (the "
                "port goes in :port), so it is ignored",
                ".orrery.edn :nrepl :port should be a port number from 1 to 65535, so it is ignored",
                ".orrery.edn :nrepl :port-file should be a path relative to the project, like \".nrepl-port\", so it "
                "is ignored",
            }));
  EXPECT_FALSE(c.dialect || c.runtime || c.cljs || c.parinfer || c.format_style || c.remember_session);
  EXPECT_TRUE(c.auto_require.empty());
  EXPECT_EQ(kelp::pr_str(*c.nrepl), "{}");

  EXPECT_EQ(parse_config("{:nrepl (1667)}", std::nullopt).warnings,
            (Strings{".orrery.edn :nrepl should be a map, like {:port 1667} or {:host \"box\" :port 1667}"}));
  const Config good = parse_config(
      "{:dialect :cljs :runtime :attach :auto-require [a.b] :cljs {} :parinfer :indent :format-style :paren-stable "
      ":remember-session? true}",
      std::nullopt);
  EXPECT_TRUE(good.warnings.empty());
  EXPECT_EQ(good.dialect, "cljs");
  EXPECT_EQ(good.runtime, "attach");
  EXPECT_EQ(good.auto_require, Strings{"a.b"});
  EXPECT_TRUE(good.cljs);
  EXPECT_EQ(good.parinfer, "indent");
  EXPECT_EQ(good.format_style, "paren-stable");
  EXPECT_EQ(good.remember_session, true);
}

TEST(DialectConfig, ChecksEachNreplKeyAlone) {
  const std::string HOST = ":host should be a host name or address without a port, like \"localhost\" (the port "
                           "goes in :port), so it is ignored";
  const std::string PORT = ":port should be a port number from 1 to 65535, so it is ignored";
  const std::string FILE = ":port-file should be a path relative to the project, like \".nrepl-port\", so it is "
                           "ignored";
  struct Case {
    std::string nrepl, kept;
    Strings messages;
  };
  const Case cases[] = {
      {"{:host \"box:1\" :port 70000}", "{}", {HOST, PORT}},
      {"{:host \"::1\" :port 1667}", "{:host \"::1\", :port 1667}", {}},
      {"{:host \"fe80::1%eth0\"}", "{:host \"fe80::1%eth0\"}", {}},
      {"{:host \"  \" :port 0}", "{}", {HOST, PORT}},
      {"{:host :box :port 65535}", "{:port 65535}", {HOST}},
      {"{:port 1667.0}", "{}", {PORT}},
      {"{:port \"1667\" :host \"localhost\"}", "{:host \"localhost\"}", {PORT}},
      {"{:port-file \"run/.port\"}", "{:port-file \"run/.port\"}", {}},
      {"{:port-file \"\"}", "{}", {FILE}},
      {"{:port-file \"/tmp/.port\"}", "{}", {FILE}},
      {"{:port 1 :extra true}", "{:port 1, :extra true}", {}},
  };
  for (const Case& c : cases) {
    const Config cfg = parse_config("{:nrepl " + c.nrepl + "}", std::nullopt);
    Strings expected;
    for (const auto& m : c.messages) expected.push_back(".orrery.edn :nrepl " + m);
    EXPECT_EQ(cfg.warnings, expected) << c.nrepl;
    ASSERT_TRUE(cfg.nrepl) << c.nrepl;
    EXPECT_TRUE(kelp::equiv(*cfg.nrepl, *parse_config("{:nrepl " + c.kept + "}", std::nullopt).nrepl)) << c.nrepl;
  }
}

TEST(Dialect, ExtensionIsTheLastDottedPartInLowerCase) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"archive.tar.GZ", "gz"}, {".gitignore", std::nullopt}, {"Makefile", std::nullopt},
      {"src/a.CLJC", "cljc"},   {"a.", std::nullopt},         {"dir.d/README", std::nullopt},
      {".config.edn", "edn"},   {"", std::nullopt},
  };
  for (const auto& [path, ext] : cases) EXPECT_EQ(extension(path), ext) << path;
  EXPECT_EQ(runtime_name(Runtime::InProcess), "in-process");
  EXPECT_EQ(runtime_name(Runtime::Nrepl), "nREPL");
  EXPECT_EQ(runtime_name(Runtime::Attach), "attach");
  EXPECT_EQ(runtime_from_keyword("launch"), Runtime::Launch);
  EXPECT_EQ(runtime_from_keyword("Launch"), std::nullopt);
}

Selection selection(std::string_view id, Runtime runtime, std::optional<fs::path> dir = {}) {
  Selection s;
  s.profile = profile(profiles(), id);
  s.runtime = runtime;
  s.project_dir = std::move(dir);
  return s;
}

TEST(Dialect, SelectionKeyChangesOnlyWhenTheEvaluatorMust) {
  Selection kelp_a = selection("kelp", Runtime::Nrepl, "/p/a");
  EXPECT_EQ(kelp::pr_str(selection_key(kelp_a)), "[:kelp :nrepl \"/p/a\"]");
  // In process, the folder does not matter.
  EXPECT_EQ(kelp::pr_str(selection_key(selection("kelp", Runtime::InProcess, "/p/a"))), "[:kelp :in-process nil]");

  Selection browser = selection("cljs", Runtime::Launch, "/w");
  browser.cljs_target = "browser";
  browser.cljs_console = true;
  EXPECT_EQ(kelp::pr_str(selection_key(browser)), "[:cljs :launch \"/w\" :browser true]");
  Selection quiet = browser;
  quiet.cljs_console = false;

  Selection srv = selection("nrepl", Runtime::Attach, "/s");
  srv.nrepl = kelp::make_map({kelp::keyword("port"), kelp::Value::integer(1667)});
  Selection moved = srv;
  moved.nrepl = kelp::make_map({kelp::keyword("port"), kelp::Value::integer(1668)});

  const std::pair<Selection, Selection> differ[] = {
      {kelp_a, selection("kelp", Runtime::Nrepl, "/p/b")},
      {kelp_a, selection("kelp", Runtime::InProcess, "/p/a")},
      {kelp_a, selection("clj", Runtime::Attach, "/p/a")},
      {browser, quiet},
      {srv, moved},
  };
  for (const auto& [a, b] : differ)
    EXPECT_FALSE(kelp::equiv(selection_key(a), selection_key(b))) << kelp::pr_str(selection_key(a));
  EXPECT_TRUE(kelp::equiv(selection_key(selection("kelp", Runtime::InProcess, "/x")),
                          selection_key(selection("kelp", Runtime::InProcess))));
}

TEST(Dialect, ResetToggleFollowsTheRuntime) {
  const std::string DART = "Hot reload can't unload a namespace, so every Run adds to the running app.";
  const std::string JVM = "This is your own JVM, so Orrery doesn't unload namespaces in it.";
  const std::string NODE =
      "Reset on Run restarts ClojureScript, which takes a few seconds, so it starts off here. Tick it to start every "
      "Run clean.";
  struct Case {
    std::optional<bool> saved;
    Selection s;
    bool active;
    std::optional<bool> out_saved;
    bool out_active, sensitive;
    std::optional<std::string> tooltip;
  };
  const Case cases[] = {
      // Attach: down and greyed, the tick saved; a second attach runtime keeps the first saved tick.
      {{}, selection("cljd", Runtime::Attach), true, true, false, false, DART},
      {true, selection("clj", Runtime::Attach), false, true, false, false, JVM},
      // ClojureScript on node: entering starts it unticked and saves the tick; then the person's tick stands.
      {{}, selection("cljs", Runtime::Launch), true, true, false, true, NODE},
      {true, selection("cljs", Runtime::Launch), true, true, true, true, NODE},
      {false, selection("cljs", Runtime::Launch), true, false, true, true, NODE},
      // Anywhere else the saved tick comes back and is forgotten.
      {true, selection("kelp", Runtime::InProcess), false, {}, true, true, {}},
      {false, selection("kelp", Runtime::Nrepl), true, {}, false, true, {}},
      {{}, selection("jank", Runtime::Launch), true, {}, true, true, {}},
  };
  for (const Case& c : cases) {
    const ResetToggle t = reset_toggle(ResetState{c.saved}, c.s, c.active);
    const std::string what = c.s.profile->id + " " + std::string(runtime_keyword(c.s.runtime));
    EXPECT_EQ(t.state.saved, c.out_saved) << what;
    EXPECT_EQ(t.active, c.out_active) << what;
    EXPECT_EQ(t.sensitive, c.sensitive) << what;
    EXPECT_EQ(t.tooltip, c.tooltip) << what;
  }
}

TEST(Dialect, LabelNamesTheRuntimeAndWhetherItIsLive) {
  Selection browser = selection("cljs", Runtime::Launch);
  browser.cljs_target = "browser";
  Selection node = selection("cljs", Runtime::Launch);
  node.cljs_target = "node";
  const std::tuple<Selection, bool, std::string> cases[] = {
      {browser, true, "ClojureScript (browser) (running)"},
      {browser, false, "ClojureScript (browser) (not running)"},
      {selection("cljs", Runtime::Attach), true, "ClojureScript (shadow-cljs) (attached)"},
      {selection("cljd", Runtime::Attach), false, "ClojureDart (not running)"},
      {node, false, "ClojureScript (node) (not running)"},
      {selection("jank", Runtime::Launch), true, "jank (running)"},
      {selection("kelp", Runtime::InProcess), true, "Kelp"},
      {selection("kelp", Runtime::Nrepl), false, "Kelp (nREPL)"},
  };
  for (const auto& [s, attached, text] : cases) EXPECT_EQ(label(s, attached), text);
}

}  // namespace
}  // namespace orrery::dialect
