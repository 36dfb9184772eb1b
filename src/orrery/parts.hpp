// The window's parts as data and as installs. A part is one feature of the window (the Messages panel, the
// debugger, the terminal...) in two halves. Its spec is plain data with no GTK: its commands, the right-hand
// panels it adds and its key bindings; the specs merge into the command tables, the keymap and the panel labels
// so they can be read and checked without a window. Its install is a function the window calls once with its
// context and that answers the part's contribution: the functions its commands call, its widgets, its hooks,
// what it exports to later parts and its panels.
#pragma once

#include <any>
#include <exception>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"
#include "orrery/command_registry.hpp"
#include "orrery/keymap.hpp"

namespace orrery::parts {

using command_registry::Ctx;
using command_registry::Run;
using command_registry::Scope;
using command_registry::Table;

// A command a part declares. The function it runs is named as data, a ctx key and fixed arguments, so a spec
// needs nothing from the registry. Ids and keys are written without the colon.
struct SpecCommand {
  std::string id;
  std::string doc;
  std::string scope = "window";  // "window", "editor" or "console"; checked at load
  std::string call;              // the ctx key; empty is refused at load
  std::vector<kelp::Value> args;
  bool palette = true;
};

// A right-hand panel and the label Switch to panel offers for it.
struct Panel {
  std::string id;
  std::string label;
  bool operator==(const Panel&) const = default;
};

struct Spec {
  std::string id;
  std::vector<SpecCommand> commands;
  std::vector<Panel> panels;
  keymap::Keymap bindings;  // "window" and/or "editor" to bindings in the keymap's shape
};

// A spec or install problem: the sentence, and the ids it names as an EDN map ({:command :a/b :owners [...]}).
class Error : public std::runtime_error {
 public:
  Error(const std::string& what, kelp::Value data) : std::runtime_error(what), data(std::move(data)) {}
  kelp::Value data;
};

// Every shipped part's spec, in the fixed order.
const std::vector<Spec>& shipped_specs();
// Specs and installs added after the shipped ones (a self-test's probe part); empty in production.
std::vector<Spec>& extra_specs();
// The shipped specs, then the extra ones.
std::vector<Spec> specs();
// The spec of a part, or null.
const Spec* find_spec(const std::vector<Spec>& specs, std::string_view id);

// A part id as the messages print it: ":messages", or a bare index ("3") for an install without one.
std::string part_label(std::string_view part);

// --- Merging the specs

// Builds the run of a spec command from its ctx key and arguments.
using CallFn = std::function<Run(const SpecCommand&)>;
// The registry's call, except that a ctx without the function makes the command say it isn't available in this
// window yet, so a window that lacks a part answers its keys with a sentence.
Run window_call(const SpecCommand& c);

// core, every id owned by :core, with every spec command of that scope added in spec order. Throws Error
// "duplicate command <id>: <first owner> and <second owner>" on an id claimed twice.
Table merge_commands(const Table& core, const std::vector<Spec>& specs, Scope scope, const CallFn& call = window_call);
// The core labels with every spec's panels after them. :review and :history are core panels with no label;
// an id owned already throws Error "duplicate panel <id>: <first owner> and <second owner>".
std::vector<Panel> merge_panels(const std::vector<Panel>& core, const std::vector<Spec>& specs);
// The specs' bindings of a scope ("window", "editor"), in spec order.
std::vector<keymap::Binding> bindings(const std::vector<Spec>& specs, std::string_view scope);
// Throws Error on a malformed panel, bindings scope, command scope or call, or on a command id owned twice
// across the core tables (all scopes) and the specs (whatever the command's scope).
void check_clashes(const std::vector<const Table*>& core, const std::vector<Spec>& specs);
// The ctx keys that the specs' commands of a scope call and ctx lacks.
std::set<std::string> missing_calls(const std::vector<Spec>& specs, Scope scope, const Ctx& ctx);

// --- Installing the parts

// Values by name: the window's context (wctx) a part is installed with, its widgets and its exports. A value is
// whatever the window carries (a widget pointer, a shared_ptr, a function).
using Values = std::map<std::string, std::any, std::less<>>;
using HookArgs = std::vector<std::any>;
using Hook = std::function<void(const HookArgs&)>;

inline constexpr std::string_view HOOK_KINDS[] = {"on-start",       "on-reroot",    "on-quit",
                                                  "on-tab-removed", "on-tab-wired", "on-switch"};

struct PanelFns {
  std::any root;  // the panel's widget
  std::function<void()> focus;
  std::function<void()> open;
};

// What an install answers.
struct Contribution {
  std::map<std::string, Ctx::Fn> fns;      // the functions the part's commands call, by ctx key
  Values ui;                               // widgets and test handles
  std::map<std::string, Hook> hooks;       // by kind (HOOK_KINDS)
  Values exports;                          // what later parts find in their wctx
  std::map<std::string, PanelFns> panels;  // only panels the part's spec declares
};

struct Install {
  std::string part;  // the part id; empty: the install's index names it
  std::function<Contribution(const Values& wctx)> fn;
};
// Installs run after the window's own, in order; empty in production.
std::vector<Install>& extra_installs();

// Every part's contribution folded together, with who owns what.
struct Installed {
  std::map<std::string, Ctx::Fn> fns;
  Values ui;
  std::map<std::string, std::vector<Hook>> hooks;  // in part order
  Values exports;
  std::map<std::string, PanelFns> panels;
  struct Owners {
    std::map<std::string, std::map<std::string, std::string>> keys;  // kind ("fns"...) to key to part id
    std::map<std::string, std::vector<std::string>> hooks;           // beside each hook, its part id
  } owners;
};

// The part id (or index) and what it threw.
using OnError = std::function<void(const std::string& part, const std::exception& e)>;

struct InstallOptions {
  const std::vector<Spec>* specs = nullptr;  // where panels are looked up; none refuses every panel
};

// Calls each install in order with wctx and the exports gathered so far. One that throws or answers a
// contribution that fails its checks is reported once through on_error and contributes nothing; the others still
// install. A key two contributions both claim throws Error "duplicate <kind> key <k>: <owner> and <owner>".
Installed install(const std::vector<Install>& installs, const Values& wctx, const OnError& on_error,
                  const InstallOptions& options = {});

// The window's core map of a kind with the contribution's keys of that kind added; a key the core has throws
// Error "duplicate <kind> key <k>: :core and <part>".
Ctx merge_with_core(Ctx core, const Installed& c);                               // fns
Values merge_with_core(std::string_view kind, Values core, const Installed& c);  // "ui" or "exports"
std::map<std::string, PanelFns> merge_with_core(std::map<std::string, PanelFns> core, const Installed& c);

// Calls every hook of a kind with args in part order; a throwing hook is reported with its part id and the rest
// still run.
void run_hooks(const Installed& c, std::string_view kind, const HookArgs& args, const OnError& on_error);
// For a tab: when ctx holds "part-contribution" (a std::shared_ptr<const Installed>), runs its hooks of kind with
// the args (a const Values* to ctx, tab), reporting throws through ctx's "part-error!" (an OnError) when it has one.
void run_tab_hooks(const Values& ctx, std::string_view kind, const std::any& tab);

}  // namespace orrery::parts
