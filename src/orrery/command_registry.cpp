#include "orrery/command_registry.hpp"

#include <stdexcept>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/parts.hpp"
#include "orrery/terminal_keys.hpp"
#include "orrery/user_keys.hpp"

namespace orrery::command_registry {

using kelp::Value;

// --- Ctx

Ctx& Ctx::set(std::string key, Fn f) {
  for (auto& [k, fn] : fns_)
    if (k == key) return fn = std::move(f), *this;
  fns_.emplace_back(std::move(key), std::move(f));
  return *this;
}

Ctx& Ctx::set_thunk(std::string key, std::function<Value()> f) {
  return set(std::move(key), [f = std::move(f)](std::span<const Value>) { return f(); });
}

Ctx& Ctx::set_sub(std::string key, Ctx sub) {
  auto p = std::make_shared<const Ctx>(std::move(sub));
  for (auto& [k, s] : subs_)
    if (k == key) return s = std::move(p), *this;
  subs_.emplace_back(std::move(key), std::move(p));
  return *this;
}

bool Ctx::has(std::string_view key) const {
  for (const auto& [k, fn] : fns_)
    if (k == key) return true;
  return false;
}

const Ctx* Ctx::sub(std::string_view key) const {
  for (const auto& [k, s] : subs_)
    if (k == key) return s.get();
  return nullptr;
}

Value Ctx::call(std::string_view key, std::span<const Value> args) const {
  for (const auto& [k, fn] : fns_)
    if (k == key) return fn(args);
  throw std::runtime_error("The key handler gave no :" + std::string(key) + " function.");
}

Value Ctx::call_sub(std::string_view sub_key, std::string_view key) const {
  const Ctx* s = sub(sub_key);
  if (!s) throw std::runtime_error("The key handler gave no :" + std::string(sub_key) + ".");
  return s->call(key);
}

std::string_view scope_name(Scope s) {
  switch (s) {
    case Scope::window: return "window";
    case Scope::editor: return "editor";
    case Scope::console: return "console";
  }
  return "window";
}

// --- Tables

Table::Table(std::initializer_list<Command> commands) {
  for (const auto& c : commands) add(c);
}

void Table::add(Command c) {
  if (index_.count(c.id)) throw std::invalid_argument("The command :" + c.id + " is declared twice.");
  index_.emplace(c.id, commands_.size());
  commands_.push_back(std::move(c));
}

const Command* Table::find(std::string_view id) const {
  auto it = index_.find(id);
  return it == index_.end() ? nullptr : &commands_[it->second];
}

std::set<std::string> Table::ids() const {
  std::set<std::string> out;
  for (const auto& c : commands_) out.insert(c.id);
  return out;
}

Table Table::merged(const Table& more) const {
  Table out = *this;
  for (const auto& c : more.commands_) out.add(c);
  return out;
}

Run call(std::string key, std::vector<Value> args) {
  return [key = std::move(key), args = std::move(args)](const Ctx& ctx, const Value&) {
    ctx.call(key, args);
    return Outcome::handled;
  };
}

namespace {

Value kw(std::string_view name) { return kelp::keyword(name); }

Run call_sub(std::string sub, std::string key) {
  return [sub = std::move(sub), key = std::move(key)](const Ctx& ctx, const Value&) {
    ctx.call_sub(sub, key);
    return Outcome::handled;
  };
}

Command window(std::string id, std::string doc, Run run, bool palette = true, bool passes = false) {
  return {std::move(id), std::move(doc), Scope::window, std::move(run), palette, passes, {}};
}

// An edit answers handled when its thunk changed something (1), else the key is GTK's.
Command edit(std::string id, std::string doc, std::string thunk) {
  Run run = [thunk = std::move(thunk)](const Ctx& ctx, const Value&) {
    Value r = ctx.call(thunk);
    bool changed = (r.is_int() && r.as_int() == 1) || (r.is_bool() && r.as_bool());
    return changed ? Outcome::handled : Outcome::to_gtk;
  };
  return {std::move(id), std::move(doc), Scope::editor, std::move(run), true, true, {}};
}

// An act is always handled, so GTK never inserts its key.
Command act(std::string id, std::string doc, std::string thunk) {
  return {std::move(id), std::move(doc), Scope::editor, call(std::move(thunk)), true, false, {}};
}

struct StructuralOp {
  const char* op;
  const char* doc;
};

constexpr StructuralOp STRUCTURAL_OPS[] = {
    {"slurp-forward", "Slurp forward: the list takes in the next form."},
    {"barf-forward", "Barf forward: the list gives up its last form."},
    {"slurp-backward", "Slurp backward: the list takes in the form before it."},
    {"barf-backward", "Barf backward: the list gives up its first form."},
    {"raise", "Raise the form at the caret over the list around it."},
    {"splice", "Splice: remove the brackets around the caret."},
    {"wrap-round", "Wrap the form at the caret in ()."},
    {"wrap-square", "Wrap the form at the caret in []."},
    {"wrap-curly", "Wrap the form at the caret in {}."},
    {"kill-form", "Kill the form at the caret, onto the clipboard."},
    {"copy-form", "Copy the form at the caret."},
    {"forward", "Move forward by a form."},
    {"backward", "Move backward by a form."},
    {"up", "Move up to the start of the list around the caret."},
    {"down", "Move down into the next list."},
    {"expand-selection", "Expand the selection: the form at the caret, then each list around it."},
    {"shrink-selection", "Shrink the selection back a step."},
    {"select-forward", "Extend the selection over the next form."},
    {"select-backward", "Extend the selection over the form before it."},
    {"drag-forward", "Drag the form forward, past the next one."},
    {"drag-backward", "Drag the form backward, past the one before."},
    {"transpose", "Transpose the two forms around the caret."},
    {"join", "Join the two lists or strings around the caret."},
    {"split", "Split the list or string at the caret."},
    {"kill-list-forward", "Kill to the end of the list."},
    {"kill-list-backward", "Kill to the start of the list."},
    {"kill-right", "Kill to the end of the line, keeping the brackets balanced."},
    {"kill-left", "Kill to the start of the line, keeping the brackets balanced."},
    {"kill-form-backward", "Kill the form before the caret."},
    {"splice-killing-forward", "Splice, killing what follows the caret in the list."},
    {"splice-killing-backward", "Splice, killing what comes before the caret in the list."},
    {"convolute", "Convolute: turn the two lists around the caret inside out."},
    {"wrap-set", "Wrap the form at the caret in #{}."},
    {"wrap-quote", "Wrap the form at the caret in \"\"."},
    {"rewrap-round", "Change the brackets around the caret to ()."},
    {"rewrap-square", "Change the brackets around the caret to []."},
    {"rewrap-curly", "Change the brackets around the caret to {}."},
    {"rewrap-set", "Change the brackets around the caret to #{}."},
    {"forward-up", "Move out of the list, past its closer."},
    {"backward-down", "Move into the list before the caret, from the back."},
    {"list-end", "Move to the end of the list around the caret."},
    {"list-start", "Move to the start of the list around the caret."},
};

}  // namespace

const Table& core_window_commands() {
  static const Table t = {
      window("run/run", "Run the buffer.", call("run-fn")),
      window("file/open", "Open a file.", call("open-fn")),
      window("file/save-as", "Save the buffer under a new name.", call("save-as-fn")),
      window("file/save", "Save the buffer.", call("save-fn")),
      window("tab/close", "Close the tab (the window, on the last one).", call("close-fn")),
      window("run/selection", "Run the selection, or the form at the caret.", call("run-selection-fn")),
      window("console/clear-last-output", "Clear the last entry's output.", call("clear-last-fn")),
      window("console/clear", "Clear the console.", call("clear-console-fn")),
      window("find/open", "Find in the buffer.", call("open-find-fn")),
      window("find/open-replace", "Find and replace in the buffer.", call("open-replace-fn")),
      window("view/zoom-in", "Make the text larger.", call("zoom-fn", {kw("in")})),
      window("view/zoom-out", "Make the text smaller.", call("zoom-fn", {kw("out")})),
      window("view/zoom-reset", "Reset the text size.", call("zoom-fn", {kw("reset")})),
      window("tab/select", "Go to tab n (9 is the last tab).",
             [](const Ctx& ctx, const Value& args) {
               const Value* n = kelp::is_map(args) ? kelp::get(args, kw("n")) : nullptr;
               Value arg = n ? *n : Value();
               ctx.call("digit-tab-fn", std::span<const Value>(&arg, 1));
               return Outcome::handled;
             },
             false),
      window("tab/new", "Open a new tab.", call("new-tab-fn")),
      window("tab/back", "Go back to the tab used before.", call("tab-back-fn")),
      window("panel/inspector", "Focus the Inspector panel, or open it.", call("panel-focus-fn", {kw("inspector")})),
      window("panel/source", "Focus the Source panel, or open it.", call("panel-focus-fn", {kw("source")})),
      window("panel/plugins", "Focus the Plugins panel, or open it.", call("panel-focus-fn", {kw("plugins")})),
      window("view/cycle-theme", "Switch to the next theme.", call("theme-cycle-fn")),
      window("inspect/form", "Inspect the value of the form at the caret.", call("inspect-form-fn")),
      window("inspect/last", "Inspect the last result.", call("inspect-last-fn")),
      window("run/changed", "Run the forms changed since they last ran.", call("run-changed-fn")),
      window("tab/next", "Go to the next tab.", call("step-tab-fn", {Value::integer(1)})),
      window("tab/previous", "Go to the previous tab.", call("step-tab-fn", {Value::integer(-1)})),
      window("find/next", "Go to the next find match.", call("find-next!")),
      window("find/previous", "Go to the previous find match.", call("find-prev!")),
      window("help/key-hints", "Show what keys do at the caret, in the status bar (on or off).",
             call("hints-toggle-fn")),
      window("focus/toggle", "Move focus between the editor and the console.", call("toggle-focus-fn")),
      window("source/open-here", "Open the source panel's file in the window.", call_sub("source-keys", "open!"),
             false),
      // The find bar passes Escape on while an input method composes; its function answers :to-gtk then.
      window("find/bar-key", "Hand Escape to the focused find bar.",
             [](const Ctx& ctx, const Value&) {
               Value r = ctx.call("find-bar-key!");
               return r == kw("to-gtk") ? Outcome::to_gtk : Outcome::handled;
             },
             false, true),
      window("popover/close-all", "Close any open popover.",
             [](const Ctx& ctx, const Value&) {
               return ctx.call("close-popovers-fn").truthy() ? Outcome::handled : Outcome::next;
             },
             false, true),
      window("parinfer/smart", "Parinfer: Smart mode.", call("parinfer-fn", {kw("smart")})),
      window("parinfer/indent", "Parinfer: Indent mode.", call("parinfer-fn", {kw("indent")})),
      window("parinfer/paren", "Parinfer: Paren mode.", call("parinfer-fn", {kw("paren")})),
      window("parinfer/off", "Parinfer: off.", call("parinfer-fn", {kw("off")})),
      window("parinfer/next-mode", "Parinfer: next mode (Smart, Indent, Paren, off).",
             call("parinfer-fn", {kw("next-mode")})),
      window("inspector/close", "Close the inspector panel.", call("close-inspector-fn")),
      window("source/close", "Close the source panel.", call_sub("source-keys", "close!"), false),
      window("tree/close-menu", "Close the file tree's menu.", call_sub("tree-keys", "close-menu!"), false),
      window("tree/leave", "Leave the file tree for the editor.", call_sub("tree-keys", "leave!"), false),
      window("run/stop", "Stop the running evaluation.", call("stop-fn")),
      window("source/back", "Step the source panel's history back.", call_sub("source-keys", "back!"), false),
      // Without a jump to go back from (or no function for it), the key goes on to the next binding.
      window("source/jump-back", "Go back from the last jump into a tab.",
             [](const Ctx& ctx, const Value&) {
               const Ctx* source = ctx.sub("source-keys");
               bool went = source && source->has("jump-back!") && source->call("jump-back!").truthy();
               return went ? Outcome::handled : Outcome::next;
             },
             false, true),
  };
  return t;
}

const Table& move_commands() {
  static const Table t = [] {
    struct Part {
      const char* key;
      const char* word;
      const char* name;
    };
    struct Place {
      const char* key;
      const char* words;
    };
    const Part parts[] = {{"file-tree", "files", "Files"},
                          {"repl", "interactions", "Interactions"},
                          {"terminal", "terminal", "the terminal"},
                          {"panel", "panel", "the panel on screen"}};
    const Place places[] = {
        {"left", "to the left of the editor"}, {"right", "to the right of the editor"}, {"bottom", "below the editor"}};
    Table out;
    for (const auto& part : parts)
      for (const auto& place : places)
        out.add(window(std::string("place/move-") + part.word + "-" + place.key,
                       std::string("Move ") + part.name + " " + place.words + ".",
                       call("move-part-fn", {kw(part.key), kw(place.key)})));
    return out;
  }();
  return t;
}

const Table& core_editor_commands() {
  static const Table t = [] {
    Table out = {
        act("completion/open", "Open completion, or commit its only candidate.", "complete!"),
        edit("edit/toggle-comment", "Comment or uncomment the lines.", "toggle-comment!"),
        edit("edit/format-all", "Format the buffer.", "format-all!"),
        edit("edit/format-selection", "Format the selection.", "format-selection!"),
        edit("edit/redo", "Redo.", "redo!"),
        act("help/quick-doc", "Show the docs for the symbol at the caret.", "quick-doc!"),
        act("help/jump", "Jump to the definition of the symbol at the caret.", "jump!"),
        act("edit/rename", "Rename the symbol at the caret.", "rename!"),
        act("run/form", "Run the form at the caret.", "run-form!"),
        act("edit/indent", "Indent the lines.", "indent!"),
        act("edit/unindent", "Unindent the lines.", "unindent!"),
    };
    // A structural edit is always handled, also when it does not apply, so the key never reaches the toolkit.
    for (const auto& op : STRUCTURAL_OPS)
      out.add({std::string("paredit/") + op.op, op.doc, Scope::editor,
               call("paredit!", {kelp::make_string(std::string_view(op.op))}), true, false, {}});
    return out;
  }();
  return t;
}

const Table& core_console_commands() {
  static const Table t = {
      {"console/complete", "Complete the symbol at the console's caret.", Scope::console, call("complete!"), true,
       false, {}},
  };
  return t;
}

const Table& declared_commands() {
  static const Table t = [] {
    Table out;
    auto declare = [&](std::string id, std::string doc, bool palette = true) {
      out.add({std::move(id), std::move(doc), Scope::window, {}, palette, false, {}});
    };
    declare("palette/open", "Open the command palette.");
    declare("locations/next", "Go to the next location.");
    declare("locations/previous", "Go to the previous location.");
    declare("tree/toggle", "Show or hide the file tree.");
    declare("panel/locations", "Focus the Locations panel, or open it.");
    declare("panel/frames", "Focus the Frames panel, or open it.");
    declare("panel/trace", "Focus the Trace panel, or open it.");
    declare("panel/messages", "Focus the Messages panel, or open it.");
    declare("panel/processes", "Focus the Processes panel, or open it.");
    declare("pages/show", "Show the pages.");
    declare("test/run-file", "Run the tests of the file.");
    declare("prefs/open", "Open the preferences.");
    declare("terminal/show", "Show the terminal, or leave it.");
    declare("debug/step-over", "Step over the form at the breakpoint.");
    declare("debug/step", "Step into the form at the breakpoint.");
    declare("debug/step-out", "Step out of the function at the breakpoint.");
    declare("debug/toggle-breakpoint", "Set or clear a breakpoint at the caret.");
    declare("result/inspect", "Inspect this result.", false);
    declare("result/copy", "Copy this result.", false);
    declare("result/define", "Define a var for this result.", false);
    declare("result/jump", "Jump to this var.", false);
    declare("result/doc", "Show the docs for this var.", false);
    declare("result/open-location", "Open this file at this line.", false);
    declare("terminal/new", "Open a new terminal.");
    declare("layout/save", "Save the window's layout under a name.");
    declare("layout/forget", "Forget the saved layouts.");
    declare("locations/uses", "List the uses of the symbol at the caret.");
    declare("locations/definitions", "List the definitions of the symbol at the caret.");
    declare("locations/usages-in-project", "Find the usages of the symbol at the caret in the project.");
    declare("locations/matches", "List every match of the find bar's text.");
    declare("test/run-at-caret", "Run the test at the caret.");
    declare("run/reset-on-run", "Reset the runtime before each run (on or off).");
    declare("run/time-form", "Run the form at the caret and time it.");
    declare("restart/retry", "Retry the evaluation that failed.");
    declare("restart/edit", "Edit the evaluation that failed.");
    declare("debug/break-on-error", "Break when an error is thrown (on or off).");
    declare("debug/clear-breakpoints", "Clear the breakpoints in the tab.");
    declare("debug/continue", "Continue from the breakpoint.");
    declare("debug/show-frames", "Show the frames at the breakpoint.");
    declare("debug/instrument-tab", "Instrument the tab's forms for debugging.");
    declare("debug/uninstrument-tab", "Stop instrumenting the tab's forms.");
    declare("trace/toggle", "Trace the function at the caret, or stop tracing it.");
    declare("trace/show", "Show the trace.");
    declare("trace/clear", "Clear the trace.");
    declare("trace/untrace-all", "Stop tracing every function.");
    declare("run/line-counts", "Count the lines run (on or off).");
    declare("run/clear-line-counts", "Clear the line counts.");
    declare("tools/open-terminal", "Open a terminal in the project folder.");
    declare("plugins/list", "List the plugins.");
    declare("plugins/reload", "Reload the plugins that changed.");
    declare("plugins/review", "Review the plugins' proposals.");
    declare("change-set/make", "Make a change set.");
    declare("change-set/browse", "Browse the change sets.");
    declare("compare/disk", "Compare the tab with the file on disk.");
    declare("compare/head", "Compare the tab with Git HEAD.");
    declare("compare/last-run", "Compare the tab with its last run.");
    declare("compare-form/disk", "Compare the form at the caret with the file on disk.");
    declare("compare-form/head", "Compare the form at the caret with Git HEAD.");
    declare("compare-form/last-run", "Compare the form at the caret with its last run.");
    declare("world/save", "Save the world.");
    declare("world/restore", "Restore the saved world.");
    declare("world/restore-earlier", "Restore an earlier world.");
    declare("session/open-replay", "Open the last session's replay.");
    declare("processes/show", "Show the processes.");
    declare("help/install-cli", "Install the orrery command.");
    declare("help/remove-cli", "Remove the orrery command.");
    declare("pages/guide", "Open a guide page.");
    declare("pages/bookmarks", "Open a bookmarked page.");
    declare("help/describe-key", "Describe the next key pressed.");
    declare("help/key-bindings", "List every key binding.");
    declare("help/recent-keys", "List the keys pressed last.");
    declare("help/open-keys-file", "Open your key bindings file.");
    declare("help/reload-keys", "Reload your key bindings.");
    declare("help/slow-events", "List the slow events.");
    declare("help/save-slow-events", "Save the slow events to a file.");
    declare("help/version", "Show Orrery's version.");
    return out;
  }();
  return t;
}

const Table& window_commands() {
  static const Table t = [] {
    const auto specs = parts::specs();
    const Table core = core_window_commands().merged(move_commands());
    // A clash stops the program here, before any window opens with one of two commands silently lost.
    parts::check_clashes({&core, &core_editor_commands(), &core_console_commands()}, specs);
    Table out = parts::merge_commands(core, specs, Scope::window);
    // A declared command stands in until some part builds it; once one does, the part's command is the one.
    for (const auto& c : declared_commands().all())
      if (!out.find(c.id)) out.add(c);
    return out;
  }();
  return t;
}

const Table& editor_commands() { return core_editor_commands(); }

const Table& console_commands() { return core_console_commands(); }

const Table& commands() {
  // Merging checks that no id is used in two scopes.
  static const Table t = window_commands().merged(editor_commands()).merged(console_commands());
  return t;
}

// --- Conditions

namespace {

Condition ctx_fn(std::string key) {
  return [key = std::move(key)](const Ctx& ctx) { return ctx.call(key).truthy(); };
}

// A window without a file tree has no tree keys: its conditions do not hold.
Condition tree_fn(std::string key) {
  return [key = std::move(key)](const Ctx& ctx) {
    const Ctx* tree = ctx.sub("tree-keys");
    return tree && tree->call(key).truthy();
  };
}

}  // namespace

const Conditions& window_conditions() {
  static const Conditions c = {
      {"find-bar-navigable", ctx_fn("find-bar-navigable?")},
      {"source-focused", [](const Ctx& ctx) { return ctx.call_sub("source-keys", "focused?").truthy(); }},
      {"find-bar-focused", ctx_fn("find-bar-focused?")},
      {"inspector-focused", ctx_fn("inspector-focused?")},
      {"tree-focused", tree_fn("focused?")},
      {"tree-menu-open", tree_fn("menu-open?")},
      {"evaluating", ctx_fn("evaluating?")},
      {"breakpoint-paused", ctx_fn("breakpoint-paused?")},
      {"entry-focused", ctx_fn("entry-focused?")},
      {"terminal-focused", ctx_fn("terminal-focused?")},
  };
  return c;
}

const Conditions& editor_conditions() {
  static const Conditions c = {
      {"writable", ctx_fn("writable?")},
      {"preedit-active", ctx_fn("preedit-active?")},
  };
  return c;
}

std::set<std::string> condition_ids(const Conditions& conditions) {
  std::set<std::string> out;
  for (const auto& [id, f] : conditions) out.insert(id);
  return out;
}

keymap::Holds holds_fn(const Conditions& conditions, const Ctx& ctx) {
  return [&conditions, &ctx](std::string_view id) {
    auto it = conditions.find(id);
    return it != conditions.end() && it->second(ctx);
  };
}

namespace {

Outcome run_found(const Command& c, const Ctx& ctx, const Value& args) {
  if (!c.run) throw std::runtime_error("The command :" + c.id + " isn't built yet.");
  return c.run(ctx, args);
}

const Command* find_in(const Table& table, const Table* more, std::string_view id) {
  const Command* c = table.find(id);
  return c || !more ? c : more->find(id);
}

}  // namespace

Outcome run_command(const Table& table, const Table* more, const Ctx& ctx, const Binding& b) {
  const Command* c = find_in(table, more, b.command);
  return c ? run_found(*c, ctx, b.args) : Outcome::nil;
}

// --- Menus

const std::vector<MenuItem>& editor_menu() {
  static const std::vector<MenuItem> m = {
      {"Run Form", "run-form", "run/form"},
      {"Jump to Definition", "jump", "help/jump"},
      {"Rename Symbol", "rename", "edit/rename"},
      {"Quick Documentation", "quick-doc", "help/quick-doc"},
      {"Inspect Last Result", "inspect-last", "inspect/last"},
      {"Inspect Form", "inspect-form", "inspect/form"},
      {"Complete", "complete", "completion/open"},
      {"Toggle Comment", "toggle-comment", "edit/toggle-comment"},
      {"Format All", "format-all", "edit/format-all"},
      {"Format Selection", "format-selection", "edit/format-selection"},
      {"Indent", "indent", "edit/indent"},
      {"Unindent", "unindent", "edit/unindent"},
      {"Find", "find", "find/open"},
      {"Replace", "replace", "find/open-replace"},
  };
  return m;
}

const std::vector<MenuItem>& console_menu() {
  static const std::vector<MenuItem> m = {
      {"Complete", "complete", "console/complete"},
      {"Clear Last Output", "clear-last-output", "console/clear-last-output"},
      {"Inspect This Result", "result-inspect", "result/inspect"},
      {"Copy This Result", "result-copy", "result/copy"},
      {"Define a Var for This Result", "result-define", "result/define"},
      {"Jump to This Var", "result-jump", "result/jump"},
      {"Quick Doc for This Var", "result-doc", "result/doc"},
      {"Open This File and Line", "result-open-location", "result/open-location"},
  };
  return m;
}

std::vector<MenuEntry> menu_items(const std::vector<MenuItem>& menu, const Table& commands,
                                  std::shared_ptr<const Ctx> ctx) {
  std::vector<MenuEntry> out;
  for (const auto& item : menu) {
    const Command* c = commands.find(item.command);
    out.push_back({item.label, item.action, [c, ctx] {
                     if (c) run_found(*c, *ctx, Value());
                   }});
  }
  return out;
}

Outcome run_command_in(const Table& table, const Ctxs& ctxs, std::string_view id) {
  const Command* c = table.find(id);
  if (!c) return Outcome::nil;
  const auto& ctx = c->scope == Scope::window ? ctxs.window : c->scope == Scope::editor ? ctxs.editor : ctxs.console;
  if (!ctx)
    throw std::runtime_error("The command :" + c->id + " runs in the " + std::string(scope_name(c->scope)) +
                             ", which isn't there.");
  return run_found(*c, *ctx, Value());
}

// --- Keys

std::optional<int> seq_step(const Key& key) { return key_seq::step(key, key_seq::os_name()); }

keymap::DispatchOptions with_seq_start(keymap::DispatchOptions opts, const std::vector<Binding>& bindings,
                                       const Key& key) {
  opts.start_seq = [&bindings, key, holds = opts.holds, run = opts.run](const Binding& b) {
    return key_seq::start(bindings, b, key, holds, run);
  };
  return opts;
}

namespace {

bool removed(const Binding& b, const std::vector<Value>& remove) {
  for (const Value& entry : remove)
    if (user_keys::removes(entry, b)) return true;
  return false;
}

}  // namespace

std::vector<Binding> live_bindings(const Layers& layers, const Table& scope_commands, const Table* plugin_commands) {
  std::vector<Binding> out;
  out.reserve(layers.user.size() + layers.key_set.size() + layers.plugins.size() + layers.shipped.size());
  // Yours first; your :remove entries drop what lies under them, and the key set's drop shipped bindings.
  out.insert(out.end(), layers.user.begin(), layers.user.end());
  for (const auto& b : layers.key_set)
    if (!removed(b, layers.remove)) out.push_back(b);
  for (const auto& b : layers.plugins)
    if ((b.command.empty() || scope_commands.find(b.command) ||
         (plugin_commands && plugin_commands->find(b.command))) &&
        !removed(b, layers.remove))
      out.push_back(b);
  for (const auto& b : layers.shipped)
    if (!removed(b, layers.remove) && !removed(b, layers.key_set_remove)) out.push_back(b);
  return out;
}

const std::vector<Binding>& shipped_bindings(std::string_view scope) {
  static const keymap::Keymap all = [] {
    // After the keymap file's, so that no part's binding shadows a shipped key.
    const auto specs = parts::specs();
    keymap::Keymap km = keymap::shipped();
    for (const char* name : {"window", "editor"})
      if (auto more = parts::bindings(specs, name); !more.empty())
        km = keymap::append_bindings(std::move(km), name, more);
    return km;
  }();
  static const std::vector<Binding> none;
  auto it = all.find(std::string(scope));
  return it == all.end() ? none : it->second;
}

namespace {

keymap::DispatchOptions handler_dispatch_options(const Key& key, const HandlerOptions& opts,
                                                 const Conditions& conditions) {
  keymap::DispatchOptions d;
  d.holds = holds_fn(conditions, *opts.ctx);
  // The run may outlive this key (a sequence's last chord runs it), so it owns what it reads.
  d.run = [table = opts.commands, plugins = opts.plugin_commands, ctx = opts.ctx](const Binding& b) {
    return run_command(*table, plugins.get(), *ctx, b);
  };
  d.physical = key.physical;
  return with_seq_start(std::move(d), *opts.bindings, key);
}

template <class F>
Answer contained(F&& f) {
  try {
    return {f(), {}};
  } catch (const std::exception& e) {
    return {1, e.what()};
  } catch (...) {
    return {1, "A key's command failed with an unknown error."};
  }
}

}  // namespace

Answer window_answer(const Key& key, const HandlerOptions& opts) {
  return contained([&] {
    if (seq_step(key) == 1) return 1;
    const auto& conditions = window_conditions();
    auto d = handler_dispatch_options(key, opts, conditions);
    // While an entry has the focus every key but Escape is the entry's, so nothing fires mid-typing.
    if (key.keyval != KEY_ESCAPE && d.holds("entry-focused")) return 0;
    if (d.holds("terminal-focused") && !terminal_keys::is_orrerys(key, opts.os)) return 0;
    return keymap::dispatch(*opts.bindings, key.keyval, key.state, d) == Outcome::handled ? 1 : 0;
  });
}

Answer editor_answer(const Key& key, const HandlerOptions& opts) {
  return contained([&] {
    const auto& conditions = editor_conditions();
    auto d = handler_dispatch_options(key, opts, conditions);
    // An input method composing owns every key.
    if (d.holds("preedit-active")) return 0;
    if (opts.ctx->has("popup-key!")) {
      Value r = opts.ctx->call("popup-key!");
      if ((r.is_int() && r.as_int() == 1) || (r.is_bool() && r.as_bool())) return 1;
    }
    switch (keymap::dispatch(*opts.bindings, key.keyval, key.state, d)) {
      case Outcome::handled: return 1;
      case Outcome::to_gtk: return 0;
      default: break;
    }
    if (!opts.ctx->has("typing-key!")) return 0;
    Value r = opts.ctx->call("typing-key!");
    return (r.is_int() && r.as_int() == 1) || (r.is_bool() && r.as_bool()) ? 1 : 0;
  });
}

}  // namespace orrery::command_registry
