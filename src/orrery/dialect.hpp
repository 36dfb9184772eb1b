// Dialect profiles and the per-project choice between them: which dialect a file is, which runtime runs it, and the
// warnings a project's .orrery.edn earns. Everything is pure except find_project's and read_config's file reads;
// malformed configuration never throws, it becomes a warning and the other rules decide.
#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/result.hpp"
#include "kelp/data/value.hpp"

namespace orrery::dialect {

enum class Runtime { InProcess, Nrepl, Attach, Launch };

// :in-process, :nrepl, :attach, :launch and back; nullopt for any other keyword name.
std::string_view runtime_keyword(Runtime r);  // "in-process", ...
std::optional<Runtime> runtime_from_keyword(std::string_view name);
// "in-process" for :in-process, "nREPL" for :nrepl, else the keyword's name.
std::string runtime_name(Runtime r);

struct Profile {
  std::string id;  // the dialect keyword's name: "kelp", "cljd", "clj", "jank", "cljs", "nrepl"
  std::string name;
  std::set<std::string> extensions;
  std::vector<std::string> reader_features;  // keyword names, in order
  std::set<std::string> special_forms;
  std::set<std::string> builtins;
  std::vector<std::string> project_markers;
  Runtime evaluator = Runtime::InProcess;
  std::optional<Runtime> project_evaluator;
  std::set<Runtime> runtimes;
  std::optional<std::string> port_file;
  std::vector<std::pair<Runtime, std::string>> runtime_names;
  bool experimental = false;
  std::optional<std::string> experimental_message;
  std::optional<std::string> reset_tooltip;
  std::vector<std::pair<Runtime, std::string>> reset_tooltips;

  // The display name of runtime r when the profile names it (runtime_names), else nullopt.
  std::optional<std::string> runtime_display_name(Runtime r) const;
};

using Profiles = std::vector<Profile>;

// The shipped profiles, in selection order: kelp, cljd, clj, jank, cljs, nrepl.
const Profiles& profiles();
// The profile with this id, or null.
const Profile* profile(const Profiles& ps, std::string_view id);

inline constexpr std::string_view CONFIG_NAME = ".orrery.edn";
// :off :smart :indent :paren (:off is the default everywhere) and :paren-stable :plain.
const std::vector<std::string>& parinfer_modes();
const std::vector<std::string>& format_styles();

struct Project {
  std::filesystem::path dir;           // canonical, absolute
  std::set<std::string> markers;       // marker names found in dir (the configuration file excluded)
  std::optional<std::string> config;   // the text of .orrery.edn, when present and read
  std::optional<std::string> config_error;  // the read error's message, when it could not be read
};

// The text of a configuration file, or the read error's message ("Is a directory", "Permission denied", ...).
kelp::Result<std::string> read_config(const std::filesystem::path& file);

// The nearest directory at or above the folder holding path's canonical form that holds .orrery.edn or a marker;
// nullopt for an empty path or when no directory up to the root does.
std::optional<Project> find_project(const Profiles& ps, const std::filesystem::path& path);

struct Config {
  std::optional<std::string> dialect;              // keyword names
  std::optional<std::string> runtime;
  std::vector<std::string> auto_require;           // namespace names; empty when absent
  std::optional<kelp::Value> cljs;                 // a map
  std::optional<kelp::Value> nrepl;                // a map holding only the keys that passed their checks
  std::optional<std::string> parinfer;             // one of parinfer_modes()
  std::optional<std::string> format_style;         // one of format_styles()
  std::optional<bool> remember_session;
  std::vector<std::string> warnings;
};

// Reads a configuration text (or its read error). Never throws.
Config parse_config(const std::optional<std::string>& text, const std::optional<std::string>& read_error);

// The :remember-session? the project holding folder root asks for; nullopt lets the settings file decide.
std::optional<bool> project_remember_session(const std::filesystem::path& root);

// The extension, lower case, without the dot; nullopt for none (".gitignore" has none).
std::optional<std::string> extension(const std::filesystem::path& path);

enum class Source { Config, Marker, Extension, Settings, Fallback };

struct Selection {
  const Profile* profile = nullptr;
  Runtime runtime = Runtime::InProcess;
  std::optional<std::filesystem::path> project_dir;
  Source source = Source::Fallback;
  std::vector<std::string> warnings;
  std::vector<std::string> auto_require;           // only for :clj and :kelp
  std::optional<kelp::Value> cljs;                 // only for :cljs
  std::optional<kelp::Value> nrepl;                // only for :nrepl
  std::optional<std::string> cljs_target;          // "node" or "browser": a ClojureScript selection that launches
  std::optional<bool> cljs_console;                // browser only
  std::optional<std::string> parinfer;
  std::optional<std::string> format_style;
};

// project may be nullopt (a loose file, an untitled buffer); path may be empty (untitled); default_dialect is the
// settings file's default dialect id, if any.
Selection select(const Profiles& ps, const std::optional<Project>& project, const std::filesystem::path& path,
                 const std::optional<std::string>& default_dialect);

// What decides whether two selections need different evaluators: equal keys keep the window's evaluator.
kelp::Value selection_key(const Selection& s);

struct ResetState {
  std::optional<bool> saved;  // the window's memory of the tick
};
struct ResetToggle {
  ResetState state;
  bool active = true;
  bool sensitive = true;
  std::optional<std::string> tooltip;
};
ResetToggle reset_toggle(const ResetState& state, const Selection& s, bool active);

// The status bar's dialect text; attached is true while the evaluator holds a live connection.
std::string label(const Selection& s, bool attached = false);

}  // namespace orrery::dialect
