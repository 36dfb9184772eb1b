#include "orrery/parts.hpp"

#include <algorithm>
#include <cctype>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"

namespace orrery::parts {

using kelp::Value;
using keymap::Outcome;

namespace {

Value kw(std::string_view name) { return kelp::keyword_from(name); }

SpecCommand cmd(std::string id, std::string doc, std::string call, std::vector<Value> args = {}) {
  return {std::move(id), std::move(doc), "window", std::move(call), std::move(args), true};
}

keymap::Keymap keys(std::string_view edn) {
  std::string error;
  auto km = keymap::read_keymap(edn, &error);
  if (!km) throw std::logic_error("A part's bindings don't read: " + error);
  return std::move(*km);
}

std::vector<Spec> build_specs() {
  std::vector<Spec> out;
  out.push_back({"messages",
                 {cmd("panel/messages", "Focus the Messages panel, or open it.", "panel-focus-fn", {kw("messages")})},
                 {{"messages", "Messages"}},
                 {}});
  // Open tabs follow their files on a timer; nothing to command.
  out.push_back({"disk-poll", {}, {}, {}});
  out.push_back({"layouts",
                 {cmd("layout/save", "Save the layout: the file tree, the panel and the split, named after what shows.",
                      "layout-save-fn"),
                  cmd("layout/forget", "Forget every saved layout.", "layout-forget-fn")},
                 {},
                 {}});
  out.push_back({"worlds",
                 {cmd("world/save",
                      "Save World: write the session's data to this project's world, naming first what can't be saved.",
                      "world-save-fn"),
                  cmd("world/restore",
                      "Restore World: bring back the newest world of this project, replacing the current values.",
                      "world-restore-fn"),
                  cmd("world/restore-earlier",
                      "Restore an Earlier World: pick one of this project's earlier worlds to bring back.",
                      "world-restore-earlier-fn")},
                 {},
                 {}});
  out.push_back(
      {"time-form", {cmd("run/time-form", "Time the form at the caret (about a second).", "time-form-fn")}, {}, {}});
  out.push_back({"processes",
                 {cmd("panel/processes", "Focus the Processes panel, or open it.", "panel-focus-fn", {kw("processes")}),
                  cmd("processes/show", "Show the processes (the fibers your program spawned).", "processes-show-fn")},
                 {{"processes", "Processes"}},
                 {}});
  out.push_back({"prefs",
                 {cmd("prefs/open", "Open Preferences.", "prefs-open-fn")},
                 {},
                 keys(R"({:window [{:key "comma" :mods #{:cmd} :not #{:alt :shift} :command :prefs/open}]})")});
  out.push_back({"terminal",
                 {cmd("terminal/show", "Show the terminal, or go back to the editor from it.", "terminal-show-fn"),
                  cmd("terminal/new", "Open another terminal.", "terminal-new-fn")},
                 {},
                 // Control on every system, macOS too: Cmd+` cycles that system's windows.
                 keys(R"({:window [{:key "grave" :exact #{:ctrl} :command :terminal/show}]})")});
  out.push_back({"menus", {cmd("run/reset-on-run", "Reset on Run: turn it on or off.", "reset-toggle-fn")}, {}, {}});
  out.push_back({"trace",
                 {cmd("panel/trace", "Focus the Trace panel, or open it.", "panel-focus-fn", {kw("trace")}),
                  cmd("trace/toggle", "Trace the function at the caret, or stop tracing it.", "trace-toggle-fn"),
                  cmd("trace/show", "Show the calls of the traced functions.", "trace-show-fn"),
                  cmd("trace/clear", "Clear the recorded calls.", "trace-clear-fn"),
                  cmd("trace/untrace-all", "Stop tracing every function.", "trace-untrace-all-fn")},
                 {{"trace", "Trace"}},
                 {}});
  out.push_back(
      {"live-results",
       {cmd("result/inspect", "Inspect the console result at the caret.", "result-inspect-fn"),
        cmd("result/copy", "Copy the console result at the caret.", "result-copy-fn"),
        cmd("result/define", "Define a var holding the console result at the caret.", "result-define-fn"),
        cmd("result/jump", "Jump to the definition of the var the console result at the caret names.",
            "result-jump-fn"),
        cmd("result/doc", "Show the quick doc of the var the console result at the caret names, in the console.",
            "result-doc-fn"),
        cmd("result/open-location",
            "Open the file and line the console text at the caret names, such as src/app/core.clj:12.",
            "result-open-location-fn")},
       {},
       {}});
  out.push_back(
      {"locations",
       {cmd("panel/locations", "Focus the Locations panel, or open it.", "panel-focus-fn", {kw("locations")}),
        cmd("compare/disk", "Compare with the file on disk: list the differences.", "compare-disk-fn"),
        cmd("compare/head", "Compare with git HEAD: list the differences.", "compare-head-fn"),
        cmd("compare/last-run",
            "Compare with the last Run: list the differences from what the tab's last whole Run sent.",
            "compare-last-run-fn"),
        cmd("compare-form/disk",
            "This form vs the file on disk: list the differences in the top-level form at the caret only.",
            "compare-form-disk-fn"),
        cmd("compare-form/head", "This form vs git HEAD: list the differences in the top-level form at the caret only.",
            "compare-form-head-fn"),
        cmd("compare-form/last-run",
            "This form vs the last Run: list the differences in the top-level form at the caret only.",
            "compare-form-last-run-fn"),
        cmd("compare/take", "Take the other version here: the compared file's lines for the difference at the caret.",
            "compare-take-fn"),
        cmd("locations/uses", "List the uses of the symbol at the caret.", "locations-uses-fn"),
        cmd("locations/definitions", "List the definitions of the symbol at the caret.", "locations-definitions-fn"),
        cmd("locations/matches", "List every match of the find query, or of the selection.", "locations-matches-fn"),
        cmd("locations/usages-in-project",
            "Find Usages in Project: list every use of the symbol at the caret in the project's files.",
            "locations-project-usages-fn"),
        cmd("locations/next", "Go to the next place in the list.", "locations-step-fn", {Value::integer(1)}),
        cmd("locations/previous", "Go to the previous place in the list.", "locations-step-fn", {Value::integer(-1)})},
       {{"locations", "Locations"}},
       {}});
  out.push_back(
      {"tests",
       {cmd("test/run-file", "Run the tests in this file: run the tab, then its tests, and list the failures.",
            "test-run-file-fn"),
        cmd("test/run-at-caret", "Run the test at the caret: run the tab, then the one test the caret is in.",
            "test-run-caret-fn")},
       {},
       {}});
  out.push_back(
      {"debugger",
       {cmd("panel/frames", "Focus the Frames panel, or open it.", "panel-focus-fn", {kw("debugger")}),
        cmd("debug/show-frames", "Show the last error's frames and locals.", "show-frames-fn"),
        cmd("debug/locals-mode", "Keep every local for the debugger (debug mode, then reload your code).",
            "locals-mode-fn"),
        cmd("run/line-counts", "Count how often each line runs (Kelp): turn it on, then Run your saved file.",
            "line-counts-fn"),
        cmd("run/clear-line-counts", "Clear line counts: zero Kelp's counters and hide them.", "clear-line-counts-fn"),
        cmd("debug/break-on-error", "Break on error: pause an evaluation where it throws, before anything unwinds.",
            "break-fn"),
        cmd("debug/continue", "Continue from the break: let the error unwind.", "continue-fn"),
        cmd("debug/step", "Step to the next line: run the paused breakpoint on to the next line it reaches (Kelp).",
            "step-fn"),
        cmd("debug/step-over",
            "Step over the next line: run any call on it through, pausing in this function or a caller (Kelp).",
            "step-over-fn"),
        cmd("debug/step-out", "Step out of this function: run on until it returns, pausing in its caller (Kelp).",
            "step-out-fn"),
        cmd("restart/retry", "Retry the last failed evaluation.", "retry-fn"),
        cmd("restart/edit", "Edit the last failed evaluation at the prompt.", "edit-retry-fn"),
        cmd("restart/define", "Define the name the last error couldn't resolve, then retry.", "define-retry-fn")},
       {{"debugger", "Frames"}},
       // The stepping keys act only while a breakpoint's pause shows; otherwise the key passes through.
       // Step Into is F7: macOS takes F11 for Show Desktop. Shift+F10 is the context menu.
       keys(R"({:window
                [{:key "F10" :exact #{} :when [:breakpoint-paused] :command :debug/step-over}
                 {:key "F7" :exact #{} :when [:breakpoint-paused] :command :debug/step}
                 {:key "F7" :exact #{:shift} :when [:breakpoint-paused] :command :debug/step-out}]})")});
  out.push_back(
      {"breakpoints",
       {cmd("debug/toggle-breakpoint", "Toggle a breakpoint on this line: pause here when the code runs (Kelp).",
            "toggle-breakpoint-fn"),
        cmd("debug/clear-breakpoints", "Clear all breakpoints in this tab.", "clear-breakpoints-fn"),
        cmd("debug/instrument-tab",
            "Instrument this tab for stepping: Step Into goes into any function it defines (Kelp).",
            "instrument-tab-fn"),
        cmd("debug/uninstrument-tab", "Stop instrumenting this tab: its functions lose their step points (Kelp).",
            "uninstrument-tab-fn")},
       {},
       keys(R"({:window [{:key "F9" :exact #{} :command :debug/toggle-breakpoint}]})")});
  SpecCommand open_palette = cmd("palette/open", "Show the command palette.", "open-palette-fn");
  open_palette.palette = false;
  out.push_back(
      {"command-palette",
       {open_palette, cmd("help/describe-key", "Describe the next key you press.", "describe-key-fn"),
        cmd("help/key-bindings", "List every key binding.", "key-bindings-fn"),
        cmd("help/recent-keys", "Show the keys you pressed last.", "recent-keys-fn"),
        cmd("help/version", "Show Orrery's version.", "version-fn"),
        cmd("tools/open-terminal", "Open a terminal in the project folder.", "open-terminal-fn"),
        cmd("help/slow-events", "List the slow events: what held the window up.", "slow-events-fn"),
        cmd("help/save-slow-events", "Save the slow events to a file, for a bug report.", "save-slow-events-fn"),
        cmd("help/install-cli", "Install the orrery command for your terminal.", "install-cli-fn"),
        cmd("help/remove-cli", "Remove the orrery command from your terminal.", "remove-cli-fn"),
        cmd("help/open-keys-file", "Open your key bindings file.", "open-keys-file-fn"),
        cmd("help/reload-keys", "Reload your key bindings.", "reload-keys-fn")},
       {},
       {}});
  out.push_back({"file-tree", {cmd("tree/toggle", "Show or hide the file tree.", "toggle-tree-fn")}, {}, {}});
  out.push_back({"plugins",
                 {cmd("plugins/review", "Review the plugin proposals agents made.", "review-proposals-fn"),
                  cmd("plugins/list", "Show the plugins: enable, disable or open one.", "plugins-list-fn"),
                  cmd("plugins/reload", "Reload the plugin files that changed.", "reload-plugins-fn")},
                 {},
                 {}});
  out.push_back({"change-sets",
                 {cmd("change-set/make", "Make a Change Set from the forms changed in the file.", "change-set-make-fn"),
                  cmd("change-set/browse", "Change Sets: look over the sets you kept.", "change-set-list-fn")},
                 {{"change-sets", "Change Sets"}},
                 {}});
  out.push_back({"reader",
                 {cmd("pages/show", "Show the documentation in a panel", "docs-show-fn"),
                  cmd("pages/bookmark", "Bookmark This Page", "docs-bookmark-fn"),
                  cmd("pages/bookmarks", "Open a Bookmarked Page\u2026", "docs-bookmarks-fn"),
                  cmd("pages/guide", "Open a Guide Page\u2026", "docs-guide-fn")},
                 {{"reader", "Reader"}},
                 {}});
  // Neither the id nor the doc of Forget says replay, so a bare "forget" in the palette finds the layouts first.
  out.push_back(
      {"replay",
       {cmd("session/open-replay", "Open last session's replay: review what this project ran last time, in a new tab.",
            "replay-open-fn"),
        cmd("session/forget-last", "Forget last session: drop what was recorded of it.", "replay-forget-fn")},
       {},
       {}});
  return out;
}

bool is_scope(std::string_view s) { return s == "window" || s == "editor" || s == "console"; }

Value owners_data(std::string_view a, std::string_view b) {
  auto owner = [](std::string_view p) {
    return std::all_of(p.begin(), p.end(), [](unsigned char ch) { return std::isdigit(ch); }) && !p.empty()
               ? Value::integer(std::stoll(std::string(p)))
               : kw(p);
  };
  return kelp::make_vector({owner(a), owner(b)});
}

[[noreturn]] void duplicate(std::string_view what, std::string_view key, std::string_view first,
                            std::string_view second) {
  std::string data_key = what == "command" ? "command" : what == "panel" ? "panel" : "key";
  Value data = kelp::make_map({kw(data_key), kw(key), kw("owners"), owners_data(first, second)});
  if (what != "command" && what != "panel") data = kelp::assoc(data, kw("kind"), kw(what));
  throw Error(std::string("duplicate ") + std::string(what) + (what == "command" || what == "panel" ? "" : " key") +
                  " :" + std::string(key) + ": " + part_label(first) + " and " + part_label(second),
              std::move(data));
}

[[noreturn]] void part_problem(std::string_view part, const std::string& sentence) {
  throw Error("part " + part_label(part) + ": " + sentence, kelp::make_map({kw("part"), kw(part)}));
}

[[noreturn]] void command_problem(const Spec& s, const SpecCommand& c, const std::string& sentence) {
  throw Error("command " + part_label(c.id) + " of " + part_label(s.id) + ": " + sentence,
              kelp::make_map({kw("command"), kw(c.id), kw("part"), kw(s.id)}));
}

}  // namespace

const std::vector<Spec>& shipped_specs() {
  static const std::vector<Spec> all = build_specs();
  return all;
}

std::vector<Spec>& extra_specs() {
  static std::vector<Spec> extra;
  return extra;
}

std::vector<Spec> specs() {
  std::vector<Spec> out = shipped_specs();
  out.insert(out.end(), extra_specs().begin(), extra_specs().end());
  return out;
}

const Spec* find_spec(const std::vector<Spec>& specs, std::string_view id) {
  for (const auto& s : specs)
    if (s.id == id) return &s;
  return nullptr;
}

std::string part_label(std::string_view part) {
  bool index =
      !part.empty() && std::all_of(part.begin(), part.end(), [](unsigned char ch) { return std::isdigit(ch); });
  return index ? std::string(part) : ":" + std::string(part);
}

// --- Merging the specs

Run window_call(const SpecCommand& c) {
  return [id = c.id, key = c.call, args = c.args](const Ctx& ctx, const Value&) {
    if (!ctx.has(key)) throw std::runtime_error("The command :" + id + " isn't available in this window yet.");
    ctx.call(key, args);
    return Outcome::handled;
  };
}

Table merge_commands(const Table& core, const std::vector<Spec>& specs, Scope scope, const CallFn& call) {
  std::map<std::string, std::string, std::less<>> owner;
  for (const auto& c : core.all()) owner.emplace(c.id, "core");
  Table out = core;
  for (const auto& s : specs) {
    for (const auto& c : s.commands) {
      if (c.scope != command_registry::scope_name(scope)) continue;
      auto [it, fresh] = owner.emplace(c.id, s.id);
      if (!fresh) duplicate("command", c.id, it->second, s.id);
      out.add({c.id, c.doc, scope, call(c), c.palette, false, {}});
    }
  }
  return out;
}

std::vector<Panel> merge_panels(const std::vector<Panel>& core, const std::vector<Spec>& specs) {
  // The review and history panels are the window's own and never offered by Switch to panel.
  std::map<std::string, std::string, std::less<>> owner = {{"review", "core"}, {"history", "core"}};
  std::vector<Panel> out;
  auto claim = [&](const Panel& p, const std::string& part) {
    auto [it, fresh] = owner.emplace(p.id, part);
    if (!fresh) duplicate("panel", p.id, it->second, part);
    out.push_back(p);
  };
  for (const auto& p : core) claim(p, "core");
  for (const auto& s : specs)
    for (const auto& p : s.panels) claim(p, s.id);
  return out;
}

std::vector<keymap::Binding> bindings(const std::vector<Spec>& specs, std::string_view scope) {
  std::vector<keymap::Binding> out;
  for (const auto& s : specs) {
    auto it = s.bindings.find(std::string(scope));
    if (it != s.bindings.end()) out.insert(out.end(), it->second.begin(), it->second.end());
  }
  return out;
}

void check_clashes(const std::vector<const Table*>& core, const std::vector<Spec>& specs) {
  // A binding scope's value is a vector by construction (the keymap reader refuses anything else), so of the
  // bindings only the scope itself is left to check.
  for (const auto& s : specs) {
    for (const auto& p : s.panels)
      if (p.id.empty() || p.label.empty()) part_problem(s.id, "a panel needs a keyword :id and a string :label");
    for (const auto& [scope, bs] : s.bindings)
      if (scope != "window" && scope != "editor")
        part_problem(s.id, ":bindings scope must be :window or :editor, got :" + scope);
  }
  for (const auto& s : specs) {
    for (const auto& c : s.commands) {
      if (!is_scope(c.scope)) command_problem(s, c, ":scope must be :window, :editor or :console");
      if (c.call.empty()) command_problem(s, c, ":call must be a non-empty vector");
    }
  }
  std::map<std::string, std::string, std::less<>> owner;
  for (const Table* t : core)
    for (const auto& c : t->all()) {
      auto [it, fresh] = owner.emplace(c.id, "core");
      if (!fresh) duplicate("command", c.id, it->second, "core");
    }
  for (const auto& s : specs)
    for (const auto& c : s.commands) {
      auto [it, fresh] = owner.emplace(c.id, s.id);
      if (!fresh) duplicate("command", c.id, it->second, s.id);
    }
}

std::set<std::string> missing_calls(const std::vector<Spec>& specs, Scope scope, const Ctx& ctx) {
  std::set<std::string> out;
  for (const auto& s : specs)
    for (const auto& c : s.commands)
      if (c.scope == command_registry::scope_name(scope) && !c.call.empty() && !ctx.has(c.call)) out.insert(c.call);
  return out;
}

// --- Installing the parts

std::vector<Install>& extra_installs() {
  static std::vector<Install> extra;
  return extra;
}

namespace {

bool is_hook_kind(std::string_view k) {
  return std::find(std::begin(HOOK_KINDS), std::end(HOOK_KINDS), k) != std::end(HOOK_KINDS);
}

// The checks a contribution passes before anything of it is taken. A contribution is a struct, so it cannot
// carry a key outside the five it has.
void check_contribution(const std::string& part, const Contribution& c, const Values& wctx,
                        const InstallOptions& options) {
  for (const auto& [kind, hook] : c.hooks)
    if (!is_hook_kind(kind)) part_problem(part, "unknown hook :" + kind);
  const Spec* spec = options.specs ? find_spec(*options.specs, part) : nullptr;
  for (const auto& [id, panel] : c.panels) {
    bool declared =
        spec && std::any_of(spec->panels.begin(), spec->panels.end(), [&](const Panel& p) { return p.id == id; });
    if (!declared) part_problem(part, "panel :" + id + " is not declared in its spec");
    if (!panel.root.has_value() || !panel.focus || !panel.open)
      part_problem(part, "panel :" + id + " needs a :root and :focus! and :open! fns");
  }
  for (const auto& [k, v] : c.exports)
    if (wctx.count(k)) duplicate("exports", k, "core", part);
}

// Adds every key of a kind, each owned by part; a key owned already throws.
template <class Map>
void fold(std::string_view kind, Map& into, const Map& from, std::map<std::string, std::string>& owners,
          const std::string& part) {
  for (const auto& [k, v] : from) {
    auto it = owners.find(k);
    if (it != owners.end()) duplicate(kind, k, it->second, part);
  }
  for (const auto& [k, v] : from) {
    into.emplace(k, v);
    owners.emplace(k, part);
  }
}

void report(const OnError& on_error, const std::string& part, const std::exception& e) {
  if (on_error) on_error(part, e);
}

}  // namespace

Installed install(const std::vector<Install>& installs, const Values& wctx, const OnError& on_error,
                  const InstallOptions& options) {
  Installed out;
  for (size_t i = 0; i < installs.size(); ++i) {
    const Install& in = installs[i];
    const std::string part = in.part.empty() ? std::to_string(i) : in.part;
    Contribution c;
    try {
      if (!in.fn) throw std::runtime_error("The part has no install function.");
      Values seen = wctx;
      for (const auto& [k, v] : out.exports) seen.emplace(k, v);
      c = in.fn(seen);
      check_contribution(part, c, wctx, options);
    } catch (const std::exception& e) {
      report(on_error, part, e);
      continue;
    } catch (...) {
      report(on_error, part, std::runtime_error("The part's install failed with an unknown error."));
      continue;
    }
    fold("fns", out.fns, c.fns, out.owners.keys["fns"], part);
    fold("ui", out.ui, c.ui, out.owners.keys["ui"], part);
    fold("exports", out.exports, c.exports, out.owners.keys["exports"], part);
    fold("panels", out.panels, c.panels, out.owners.keys["panels"], part);
    for (const auto& [kind, hook] : c.hooks) {
      out.hooks[kind].push_back(hook);
      out.owners.hooks[kind].push_back(part);
    }
  }
  return out;
}

namespace {

std::string owner_of(const Installed& c, std::string_view kind, const std::string& key) {
  auto k = c.owners.keys.find(std::string(kind));
  if (k == c.owners.keys.end()) return "";
  auto it = k->second.find(key);
  return it == k->second.end() ? "" : it->second;
}

template <class Map>
Map merged_with_core(std::string_view kind, Map core, const Map& more, const Installed& c) {
  for (const auto& [k, v] : more)
    if (core.count(k)) duplicate(kind, k, "core", owner_of(c, kind, k));
  for (const auto& [k, v] : more) core.emplace(k, v);
  return core;
}

}  // namespace

Ctx merge_with_core(Ctx core, const Installed& c) {
  for (const auto& [k, f] : c.fns)
    if (core.has(k)) duplicate("fns", k, "core", owner_of(c, "fns", k));
  for (const auto& [k, f] : c.fns) core.set(k, f);
  return core;
}

Values merge_with_core(std::string_view kind, Values core, const Installed& c) {
  if (kind == "ui") return merged_with_core(kind, std::move(core), c.ui, c);
  if (kind == "exports") return merged_with_core(kind, std::move(core), c.exports, c);
  throw std::invalid_argument("There is no :" + std::string(kind) + " of values to merge; ui or exports.");
}

std::map<std::string, PanelFns> merge_with_core(std::map<std::string, PanelFns> core, const Installed& c) {
  return merged_with_core("panels", std::move(core), c.panels, c);
}

void run_hooks(const Installed& c, std::string_view kind, const HookArgs& args, const OnError& on_error) {
  auto hooks = c.hooks.find(std::string(kind));
  if (hooks == c.hooks.end()) return;
  auto owners = c.owners.hooks.find(std::string(kind));
  for (size_t i = 0; i < hooks->second.size(); ++i) {
    const std::string part =
        owners != c.owners.hooks.end() && i < owners->second.size() ? owners->second[i] : std::to_string(i);
    try {
      hooks->second[i](args);
    } catch (const std::exception& e) {
      report(on_error, part, e);
    } catch (...) {
      report(on_error, part,
             std::runtime_error("The part's :" + std::string(kind) + " hook failed with an unknown error."));
    }
  }
}

void run_tab_hooks(const Values& ctx, std::string_view kind, const std::any& tab) {
  auto held = ctx.find("part-contribution");
  if (held == ctx.end()) return;
  const auto* contribution = std::any_cast<std::shared_ptr<const Installed>>(&held->second);
  if (!contribution || !*contribution) return;
  OnError on_error;
  if (auto e = ctx.find("part-error!"); e != ctx.end())
    if (const auto* f = std::any_cast<OnError>(&e->second)) on_error = *f;
  run_hooks(**contribution, kind, {std::any(&ctx), tab}, on_error);
}

}  // namespace orrery::parts
