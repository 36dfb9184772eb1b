#include "orrery/dialect.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"

namespace orrery::dialect {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------------------------
// Runtimes

std::string_view runtime_keyword(Runtime r) {
  switch (r) {
    case Runtime::InProcess: return "in-process";
    case Runtime::Nrepl: return "nrepl";
    case Runtime::Attach: return "attach";
    case Runtime::Launch: return "launch";
  }
  return "in-process";
}

std::optional<Runtime> runtime_from_keyword(std::string_view name) {
  for (Runtime r : {Runtime::InProcess, Runtime::Nrepl, Runtime::Attach, Runtime::Launch})
    if (runtime_keyword(r) == name) return r;
  return std::nullopt;
}

std::string runtime_name(Runtime r) {
  if (r == Runtime::InProcess) return "in-process";
  if (r == Runtime::Nrepl) return "nREPL";
  return std::string(runtime_keyword(r));
}

std::optional<std::string> Profile::runtime_display_name(Runtime r) const {
  for (const auto& [runtime, name] : runtime_names)
    if (runtime == r) return name;
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------------------------
// Profiles

namespace {

const std::set<std::string>& kelp_special_forms() {
  static const std::set<std::string> forms = {
      "def", "defn", "defn-", "defmacro", "defmulti", "defmethod", "defprotocol", "defrecord", "deftype",
      "definterface", "defonce", "let", "loop", "recur", "binding", "with-open", "with-local-vars", "with-redefs",
      "with-out-str", "with-in-str", "if", "if-not", "if-let", "when", "when-not", "when-let", "when-first",
      "when-some", "if-some", "cond", "condp", "case", "do", "fn", "fn*", "doseq", "dotimes", "for", "while", "try",
      "catch", "finally", "throw", "ns", "in-ns", "require", "use", "import", "refer", "quote", "var", "set!"};
  return forms;
}

const std::set<std::string>& shared_builtins() {
  static const std::set<std::string> names = {
      "println", "print", "prn", "pr", "printf", "read-line", "read-string", "slurp", "spit", "map", "filter",
      "reduce", "remove", "take", "drop", "take-while", "drop-while", "concat", "into", "assoc", "dissoc", "get",
      "get-in", "assoc-in", "update", "update-in", "conj", "disj", "contains?", "count", "empty?", "seq", "first",
      "rest", "next", "last", "nth", "peek", "pop", "cons", "vec", "set", "hash-map", "vector", "list", "keys",
      "vals", "select-keys", "zipmap", "merge", "merge-with", "sort", "sort-by", "group-by", "partition",
      "partition-by", "flatten", "distinct", "reverse", "interleave", "interpose", "keep", "nil?", "some?", "true?",
      "false?", "string?", "number?", "integer?", "float?", "boolean?", "keyword?", "symbol?", "fn?", "vector?",
      "map?", "set?", "seq?", "list?", "coll?", "pos?", "neg?", "zero?", "even?", "odd?", "+", "-", "*", "/", "inc",
      "dec", "max", "min", "quot", "rem", "mod", "abs", "=", "==", "not=", "<", "<=", ">", ">=", "not", "and", "or",
      "atom", "deref", "swap!", "reset!", "swap-vals!", "reset-vals!", "future", "promise", "deliver", "realized?",
      "delay", "force", "apply", "partial", "comp", "constantly", "identity", "juxt", "memoize", "complement", "doc",
      "source", "apropos", "dir", "find-doc", "format", "str"};
  return names;
}

std::set<std::string> kelp_forms_plus(std::initializer_list<std::string> extra) {
  std::set<std::string> forms = kelp_special_forms();
  forms.insert(extra);
  return forms;
}

std::set<std::string> cljd_special_forms() {
  auto forms = kelp_forms_plus({".", "new", "letfn", "dart/is?", "dart/await", "dart/async-barrier", "dart/run-zoned",
                                "dart/assert", "dart/type-like", "await", "quick-bench", "ensure-hash"});
  // The widget macros, bare and under the f/ alias they are usually required as.
  for (const char* name : {"widget", "build", "run", "$", "retriable", "with-notifier", "doto-layer",
                           "doto-image-canvas"}) {
    forms.insert(name);
    forms.insert(std::string("f/") + name);
  }
  return forms;
}

const char* const CLJD_RESET_TOOLTIP = "Hot reload can't unload a namespace, so every Run adds to the running app.";

Profiles make_profiles() {
  Profiles ps;

  Profile kelp;
  kelp.id = "kelp";
  kelp.name = "Kelp";
  kelp.extensions = {"clj", "cljc"};
  kelp.reader_features = {"kelp", "clj"};
  kelp.special_forms = kelp_special_forms();
  kelp.builtins = shared_builtins();
  kelp.project_markers = {"deps.edn"};
  kelp.evaluator = Runtime::InProcess;
  kelp.project_evaluator = Runtime::Nrepl;
  kelp.runtimes = {Runtime::InProcess, Runtime::Nrepl};
  ps.push_back(std::move(kelp));

  Profile cljd;
  cljd.id = "cljd";
  cljd.name = "ClojureDart";
  cljd.extensions = {"cljd"};
  cljd.reader_features = {"cljd"};
  cljd.special_forms = cljd_special_forms();
  cljd.builtins = shared_builtins();
  cljd.project_markers = {"pubspec.yaml"};
  cljd.evaluator = Runtime::Attach;
  cljd.runtimes = {Runtime::Attach};
  cljd.port_file = "NREPL.lock";
  cljd.experimental = true;
  cljd.experimental_message =
      "; ClojureDart support is experimental. Orrery connects to the running app on the first Run.";
  cljd.reset_tooltip = CLJD_RESET_TOOLTIP;
  ps.push_back(std::move(cljd));

  Profile clj;
  clj.id = "clj";
  clj.name = "Clojure (JVM)";
  clj.extensions = {"clj", "cljc"};
  clj.reader_features = {"clj"};
  clj.special_forms = kelp_special_forms();
  clj.builtins = shared_builtins();
  clj.evaluator = Runtime::Attach;
  clj.runtimes = {Runtime::Attach};
  clj.port_file = ".nrepl-port";
  clj.reset_tooltip = "This is your own JVM, so Orrery doesn't unload namespaces in it.";
  ps.push_back(std::move(clj));

  Profile jank;
  jank.id = "jank";
  jank.name = "jank";
  jank.extensions = {"jank"};
  jank.reader_features = {"jank"};
  jank.special_forms = kelp_forms_plus({"let*", "loop*", "case*", "letfn*", "cpp/raw", "cpp/dsl", "cpp/value",
                                        "cpp/cast", "cpp/unsafe-cast", "cpp/box", "cpp/unbox", "cpp/new",
                                        "cpp/delete"});
  jank.builtins = shared_builtins();
  jank.evaluator = Runtime::Launch;
  jank.runtimes = {Runtime::Launch};
  jank.experimental = true;
  jank.experimental_message = "; jank support is experimental. Orrery starts its own jank process on the first Run.";
  ps.push_back(std::move(jank));

  Profile cljs;
  cljs.id = "cljs";
  cljs.name = "ClojureScript";
  cljs.extensions = {"cljs"};
  cljs.reader_features = {"cljs"};
  cljs.special_forms = kelp_special_forms();
  cljs.builtins = shared_builtins();
  cljs.project_markers = {"shadow-cljs.edn"};
  cljs.evaluator = Runtime::Launch;
  cljs.project_evaluator = Runtime::Attach;
  cljs.runtimes = {Runtime::Attach, Runtime::Launch};
  cljs.port_file = ".shadow-cljs/nrepl.port";
  cljs.runtime_names = {{Runtime::Attach, "ClojureScript (shadow-cljs)"}, {Runtime::Launch, "ClojureScript (node)"}};
  cljs.experimental = true;
  cljs.experimental_message = "; ClojureScript support is experimental.";
  cljs.reset_tooltip = CLJD_RESET_TOOLTIP;
  cljs.reset_tooltips = {{Runtime::Launch,
                          "Reset on Run restarts ClojureScript, which takes a few seconds, so it starts off here. "
                          "Tick it to start every Run clean."}};
  ps.push_back(std::move(cljs));

  Profile nrepl;
  nrepl.id = "nrepl";
  nrepl.name = "nREPL";
  nrepl.reader_features = {"clj"};
  nrepl.special_forms = kelp_special_forms();
  nrepl.builtins = shared_builtins();
  nrepl.evaluator = Runtime::Attach;
  nrepl.runtimes = {Runtime::Attach};
  nrepl.port_file = ".nrepl-port";
  nrepl.reset_tooltip = "This is a server you started, so Orrery doesn't unload namespaces in it.";
  ps.push_back(std::move(nrepl));

  return ps;
}

}  // namespace

const Profiles& profiles() {
  static const Profiles ps = make_profiles();
  return ps;
}

const Profile* profile(const Profiles& ps, std::string_view id) {
  for (const Profile& p : ps)
    if (p.id == id) return &p;
  return nullptr;
}

const std::vector<std::string>& parinfer_modes() {
  static const std::vector<std::string> modes = {"off", "smart", "indent", "paren"};
  return modes;
}

const std::vector<std::string>& format_styles() {
  static const std::vector<std::string> styles = {"paren-stable", "plain"};
  return styles;
}

// ---------------------------------------------------------------------------------------------------------------
// Finding the project

kelp::Result<std::string> read_config(const fs::path& file) {
  // POSIX reads, so a directory or an unreadable file reports the system's own reason.
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kelp::Failure{std::strerror(errno)};
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return kelp::Failure{std::strerror(err)};
    }
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

namespace {

// The configuration file first, then every profile's markers, each once.
std::vector<std::string> project_names(const Profiles& ps) {
  std::vector<std::string> names = {std::string(CONFIG_NAME)};
  for (const Profile& p : ps)
    for (const std::string& m : p.project_markers)
      if (std::find(names.begin(), names.end(), m) == names.end()) names.push_back(m);
  return names;
}

fs::path canonical_form(const fs::path& path) {
  std::error_code ec;
  fs::path abs = fs::absolute(path, ec);
  if (ec) abs = path;
  fs::path canon = fs::weakly_canonical(abs, ec);
  return ec ? abs.lexically_normal() : canon;
}

bool present(const fs::path& p) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(p, ec)) && !ec;
}

// The project whose search starts at dir (already canonical).
std::optional<Project> find_project_from(const Profiles& ps, fs::path dir) {
  const auto names = project_names(ps);
  for (;;) {
    Project project;
    bool any = false;
    for (const std::string& name : names) {
      if (!present(dir / name)) continue;
      any = true;
      if (name != CONFIG_NAME) project.markers.insert(name);
    }
    if (any) {
      project.dir = dir;
      if (present(dir / CONFIG_NAME)) {
        auto text = read_config(dir / CONFIG_NAME);
        if (text)
          project.config = std::move(text.value());
        else
          project.config_error = text.failure().message;
      }
      return project;
    }
    fs::path parent = dir.parent_path();
    if (parent.empty() || parent == dir) return std::nullopt;
    dir = std::move(parent);
  }
}

}  // namespace

std::optional<Project> find_project(const Profiles& ps, const fs::path& path) {
  if (path.empty()) return std::nullopt;
  return find_project_from(ps, canonical_form(path).parent_path());
}

// ---------------------------------------------------------------------------------------------------------------
// The configuration

namespace {

const std::string CFG = ".orrery.edn ";

std::string printed(const kelp::Value& v) { return kelp::pr_str(v); }

// A keyword's text without the colon ("a" or "ns/a").
std::string keyword_text(const kelp::Value& k) {
  const auto& kw = k.as<kelp::Keyword>();
  return kw.has_ns() ? std::string(kw.ns()) + "/" + std::string(kw.name()) : std::string(kw.name());
}

const kelp::Value* lookup(const kelp::Value& map, std::string_view key) { return kelp::get(map, kelp::keyword(key)); }

bool is_blank(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isspace(c) != 0; });
}

// A keyword naming one of choices, as its name; nullopt otherwise.
std::optional<std::string> one_of(const kelp::Value& v, const std::vector<std::string>& choices) {
  if (!kelp::is_keyword(v) || v.as<kelp::Keyword>().has_ns()) return std::nullopt;
  std::string name(v.as<kelp::Keyword>().name());
  if (std::find(choices.begin(), choices.end(), name) == choices.end()) return std::nullopt;
  return name;
}

// A host name or address without a port. One colon reads as host:port; two or more make an IPv6 literal.
bool valid_host(const kelp::Value& v) {
  if (!v.is(kelp::Kind::String)) return false;
  std::string_view s = kelp::str_view(v);
  return !is_blank(s) && std::count(s.begin(), s.end(), ':') != 1;
}

bool valid_port(const kelp::Value& v) { return v.is_int() && v.as_int() >= 1 && v.as_int() <= 65535; }

bool valid_port_file(const kelp::Value& v) {
  if (!v.is(kelp::Kind::String)) return false;
  std::string_view s = kelp::str_view(v);
  return !is_blank(s) && s.front() != '/';
}

// Keeps the :nrepl keys that pass their checks; each one dropped adds its warning.
kelp::Value checked_nrepl(const kelp::Value& m, std::vector<std::string>& warnings) {
  struct Check {
    const char* key;
    bool (*valid)(const kelp::Value&);
    const char* message;
  };
  static const Check checks[] = {
      {"host", valid_host,
       ":host should be a host name or address without a port, like \"localhost\" (the port goes in :port)"},
      {"port", valid_port, ":port should be a port number from 1 to 65535"},
      {"port-file", valid_port_file, ":port-file should be a path relative to the project, like \".nrepl-port\""},
  };
  kelp::Value kept = m;
  for (const Check& c : checks) {
    const kelp::Value* v = lookup(m, c.key);
    if (!v || c.valid(*v)) continue;
    kept = kelp::dissoc(kept, kelp::keyword(c.key));
    warnings.push_back(CFG + ":nrepl " + c.message + ", so it is ignored");
  }
  return kept;
}

// The one value of a configuration text; nil for a text holding nothing but whitespace and comments.
std::optional<kelp::Value> read_value(const std::string& text) {
  auto v = kelp::read_edn(text);
  if (v) return v.value();
  // The reader refuses an empty text; read inside a vector to tell "nothing here" from a broken text.
  auto wrapped = kelp::read_edn("[" + text + "\n]");
  if (wrapped && kelp::count(wrapped.value()) == 0) return kelp::NIL;
  return std::nullopt;
}

void check_keys(const kelp::Value& m, Config& c) {
  std::vector<std::string> nrepl_warnings;
  for (const char* key : {"dialect", "runtime"}) {
    const kelp::Value* v = lookup(m, key);
    if (!v) continue;
    if (!kelp::is_keyword(*v)) {
      c.warnings.push_back(CFG + ":" + key + " should be a keyword, not " + printed(*v));
      continue;
    }
    (std::string_view(key) == "dialect" ? c.dialect : c.runtime) = keyword_text(*v);
  }
  if (const kelp::Value* v = lookup(m, "auto-require")) {
    bool ok = v->is(kelp::Kind::Vector);
    std::vector<std::string> names;
    for (int64_t i = 0; ok && i < kelp::count(*v); ++i) {
      const kelp::Value& s = *kelp::vector_get(*v, i);
      ok = kelp::is_symbol(s);
      if (ok) names.push_back(printed(s));
    }
    if (ok)
      c.auto_require = std::move(names);
    else
      c.warnings.push_back(CFG + ":auto-require should be a vector of namespace symbols, like [my.app.core], not " +
                           printed(*v) + ", so it is ignored");
  }
  if (const kelp::Value* v = lookup(m, "cljs")) {
    if (kelp::is_map(*v))
      c.cljs = *v;
    else
      c.warnings.push_back(CFG + ":cljs should be a map, like {:shadow-build :app}");
  }
  if (const kelp::Value* v = lookup(m, "nrepl")) {
    if (kelp::is_map(*v))
      c.nrepl = checked_nrepl(*v, nrepl_warnings);
    else
      nrepl_warnings.push_back(CFG + ":nrepl should be a map, like {:port 1667} or {:host \"box\" :port 1667}");
  }
  if (const kelp::Value* v = lookup(m, "parinfer")) {
    c.parinfer = one_of(*v, parinfer_modes());
    if (!c.parinfer)
      c.warnings.push_back(CFG + ":parinfer should be one of :off :smart :indent :paren, not " + printed(*v) +
                           ", so it is ignored");
  }
  if (const kelp::Value* v = lookup(m, "format-style")) {
    c.format_style = one_of(*v, format_styles());
    if (!c.format_style)
      c.warnings.push_back(CFG + ":format-style should be :paren-stable or :plain, not " + printed(*v) +
                           ", so it is ignored");
  }
  if (const kelp::Value* v = lookup(m, "remember-session?")) {
    if (v->is_bool())
      c.remember_session = v->as_bool();
    else
      c.warnings.push_back(CFG + ":remember-session? should be true or false, not " + printed(*v) +
                           ", so it is ignored");
  }
  c.warnings.insert(c.warnings.end(), nrepl_warnings.begin(), nrepl_warnings.end());
}

}  // namespace

Config parse_config(const std::optional<std::string>& text, const std::optional<std::string>& read_error) {
  Config c;
  if (read_error) {
    c.warnings.push_back(CFG + "couldn't be read (" + *read_error + "), so it is ignored");
    return c;
  }
  if (!text) return c;
  auto v = read_value(*text);
  if (!v)
    c.warnings.push_back(CFG + "isn't valid EDN, so it is ignored");
  else if (v->is_nil())
    ;  // an empty file sets nothing
  else if (!kelp::is_map(*v))
    c.warnings.push_back(CFG + "should hold a map, like {:dialect :kelp}, so it is ignored");
  else
    check_keys(*v, c);
  return c;
}

std::optional<bool> project_remember_session(const fs::path& root) {
  if (root.empty()) return std::nullopt;
  auto project = find_project_from(profiles(), canonical_form(root));
  if (!project) return std::nullopt;
  return parse_config(project->config, project->config_error).remember_session;
}

std::optional<std::string> extension(const fs::path& path) {
  std::string name = path.filename().string();
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return std::nullopt;
  std::string ext = name.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext;
}

// ---------------------------------------------------------------------------------------------------------------
// Selection

namespace {

bool claims(const Profile& p, const std::optional<std::string>& ext) { return ext && p.extensions.count(*ext); }

bool holds_marker_of(const Profile& p, const std::optional<Project>& project) {
  if (!project) return false;
  return std::any_of(p.project_markers.begin(), p.project_markers.end(),
                     [&](const std::string& m) { return project->markers.count(m) > 0; });
}

struct Choice {
  const Profile* profile;
  Source source;
};

Choice choose_profile(const Profiles& ps, const std::optional<Project>& project, const fs::path& path,
                      const Config& config, const std::optional<std::string>& default_dialect) {
  const auto ext = path.empty() ? std::nullopt : extension(path);
  std::vector<const Profile*> hits;
  for (const Profile& p : ps)
    if (holds_marker_of(p, project)) hits.push_back(&p);
  // A single marker decides only for a file its profile claims (or an untitled buffer); otherwise it is no real
  // hit, and the extension, settings and fallback look past it.
  const bool decides = hits.size() == 1 && (path.empty() || claims(*hits[0], ext));
  std::vector<const Profile*> pool = hits;
  if (!(hits.size() > 1 || decides)) {
    pool.clear();
    for (const Profile& p : ps) pool.push_back(&p);
  }

  if (config.dialect)
    if (const Profile* p = profile(ps, *config.dialect)) return {p, Source::Config};
  if (decides) return {hits[0], Source::Marker};
  for (const Profile* p : pool)
    if (claims(*p, ext)) return {p, Source::Extension};
  if (default_dialect)
    if (const Profile* p = profile(ps, *default_dialect))
      // A marker-less default (JVM Clojure) would otherwise take over every project whose marker didn't decide.
      if (!(p->project_markers.empty() && project)) return {p, Source::Settings};
  return {pool.empty() ? nullptr : pool.front(), Source::Fallback};
}

Runtime default_runtime(const Profile& p, const std::optional<Project>& project) {
  if (p.project_evaluator && holds_marker_of(p, project)) return *p.project_evaluator;
  return p.evaluator;
}

// The :target and :forward-console? of a ClojureScript selection.
void apply_cljs(Selection& s, const Config& config) {
  const kelp::Value* target = config.cljs ? lookup(*config.cljs, "target") : nullptr;
  if (s.runtime == Runtime::Attach) {
    if (target)
      s.warnings.push_back(CFG + ":cljs :target applies only to ClojureScript that Orrery starts, not shadow-cljs, "
                                 "so it is ignored");
    return;
  }
  if (s.runtime != Runtime::Launch) return;
  s.cljs_target = "node";
  if (target) {
    auto t = one_of(*target, {"node", "browser"});
    if (t)
      s.cljs_target = *t;
    else
      s.warnings.push_back(CFG + ":cljs :target should be :node or :browser, not " + printed(*target) +
                           "; using :node");
  }
  if (*s.cljs_target != "browser") return;
  s.cljs_console = true;
  if (const kelp::Value* forward = lookup(*config.cljs, "forward-console?")) {
    if (forward->is_bool())
      s.cljs_console = forward->as_bool();
    else
      s.warnings.push_back(CFG + ":cljs :forward-console? should be true or false, not " + printed(*forward) +
                           "; forwarding stays on");
  }
}

}  // namespace

Selection select(const Profiles& ps, const std::optional<Project>& project, const fs::path& path,
                 const std::optional<std::string>& default_dialect) {
  Config config = project ? parse_config(project->config, project->config_error) : Config{};
  Selection s;
  s.warnings = std::move(config.warnings);
  if (project) s.project_dir = project->dir;

  Choice choice = choose_profile(ps, project, path, config, default_dialect);
  s.profile = choice.profile;
  s.source = choice.source;
  if (config.dialect && !profile(ps, *config.dialect))
    s.warnings.push_back(CFG + "names :" + *config.dialect + ", which isn't a known dialect");
  if (!s.profile) return s;  // an empty profile list: nothing to run
  const Profile& p = *s.profile;

  const Runtime fallback = default_runtime(p, project);
  s.runtime = fallback;
  if (config.runtime) {
    auto asked = runtime_from_keyword(*config.runtime);
    if (asked && p.runtimes.count(*asked))
      s.runtime = *asked;
    else
      s.warnings.push_back(CFG + "asks for runtime :" + *config.runtime + ", which " + p.name +
                           " doesn't offer here; using " + runtime_name(fallback));
  }

  const bool jvm_or_kelp = p.id == "clj" || p.id == "kelp";
  if (!config.auto_require.empty()) {
    if (jvm_or_kelp)
      s.auto_require = config.auto_require;
    else
      s.warnings.push_back(CFG + ":auto-require only applies to JVM Clojure and Kelp, not " + p.name +
                           ", so it is ignored");
  }
  if (config.cljs) {
    if (p.id == "cljs")
      s.cljs = config.cljs;
    else
      s.warnings.push_back(CFG + ":cljs only applies to ClojureScript, not " + p.name + ", so it is ignored");
  }
  if (config.nrepl) {
    if (p.id == "nrepl")
      s.nrepl = config.nrepl;
    else
      s.warnings.push_back(CFG + ":nrepl only applies to the nREPL dialect, not " + p.name + ", so it is ignored");
  }
  if (p.id == "cljs") apply_cljs(s, config);

  s.parinfer = config.parinfer;
  s.format_style = config.format_style;
  return s;
}

kelp::Value selection_key(const Selection& s) {
  std::vector<kelp::Value> parts;
  parts.push_back(s.profile ? kelp::keyword(s.profile->id) : kelp::NIL);
  parts.push_back(kelp::keyword(runtime_keyword(s.runtime)));
  // An in-process evaluator does not depend on the folder; every other one runs in or connects from it.
  parts.push_back(s.runtime != Runtime::InProcess && s.project_dir ? kelp::make_string(s.project_dir->string())
                                                                   : kelp::NIL);
  if (s.cljs_target) parts.push_back(kelp::keyword(*s.cljs_target));
  if (s.cljs_console) parts.push_back(kelp::Value::boolean(*s.cljs_console));
  if (s.profile && s.profile->id == "nrepl") parts.push_back(s.nrepl ? *s.nrepl : kelp::NIL);
  return kelp::make_vector(parts);
}

ResetToggle reset_toggle(const ResetState& state, const Selection& s, bool active) {
  ResetToggle t;
  const Profile* p = s.profile;
  if (s.runtime == Runtime::Attach) {
    // The user's own JVM or app cannot be reset; remember the tick for when the window leaves it.
    t.state.saved = state.saved ? state.saved : active;
    t.active = false;
    t.sensitive = false;
    if (p) t.tooltip = p->reset_tooltip;
    return t;
  }
  if (p)
    for (const auto& [runtime, tooltip] : p->reset_tooltips) {
      if (runtime != s.runtime) continue;
      t.sensitive = true;
      t.tooltip = tooltip;
      if (state.saved) {
        t.state = state;  // already here: the box keeps what the person set
        t.active = active;
      } else {
        t.state.saved = active;  // entering: start unticked, remembering the tick
        t.active = false;
      }
      return t;
    }
  t.active = state.saved.value_or(active);
  return t;
}

std::string label(const Selection& s, bool attached) {
  if (!s.profile) return "";
  const Profile& p = *s.profile;
  const char* running = attached ? " (running)" : " (not running)";
  if (p.id == "cljs" && s.runtime == Runtime::Launch && s.cljs_target == "browser")
    return std::string("ClojureScript (browser)") + running;
  if (s.runtime == Runtime::Attach)
    return p.runtime_display_name(Runtime::Attach).value_or(p.name) + (attached ? " (attached)" : " (not running)");
  if (s.runtime == Runtime::Launch) return p.runtime_display_name(Runtime::Launch).value_or(p.name) + running;
  if (s.runtime == p.evaluator) return p.name;
  return p.name + " (" + runtime_name(s.runtime) + ")";
}

}  // namespace orrery::dialect
