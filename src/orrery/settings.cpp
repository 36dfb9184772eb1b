#include "orrery/settings.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <exception>
#include <system_error>
#include <thread>

#include "kelp/data/map.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/dialect.hpp"
#include "orrery/edn_edit.hpp"
#include "orrery/key_sets.hpp"
#include "orrery/layouts.hpp"
#include "orrery/text_file.hpp"
#include "orrery/theme.hpp"

namespace orrery::settings {

namespace fs = std::filesystem;
using kelp::Value;

namespace {

// How long a save waits for another window's save to finish before giving up.
constexpr auto LOCK_WAIT = std::chrono::seconds(10);

Value kw(std::string_view name) { return kelp::keyword(name); }

std::string reason_of(int err) { return std::error_code(err, std::generic_category()).message(); }

// A keyword without a namespace whose name is one of names.
bool plain_keyword_in(const Value& v, const auto& names) {
  if (!kelp::is_keyword(v) || v.as<kelp::Keyword>().has_ns()) return false;
  std::string_view name = v.as<kelp::Keyword>().name();
  for (const auto& n : names)
    if (name == n) return true;
  return false;
}

std::vector<Value> items(const Value& coll) {
  std::vector<Value> out;
  if (const kelp::Object* o = coll.obj()) o->each([&](const Value& x) {
      out.push_back(x);
      return true;
    });
  return out;
}

bool is_list(const Value& v) { return v.is(kelp::Kind::Vector) || v.is(kelp::Kind::List); }

bool is_keyword_vector(const Value& v) {
  if (!v.is(kelp::Kind::Vector)) return false;
  for (const Value& x : items(v))
    if (!kelp::is_keyword(x)) return false;
  return true;
}

bool is_id_set(const Value& v) {
  if (!kelp::is_set(v)) return false;
  for (const Value& x : items(v))
    if (!kelp::is_keyword(x)) return false;
  return true;
}

bool is_blank_string(std::string_view s) {
  return s.find_first_not_of(" \t\r\n\f\v") == std::string_view::npos;
}

// A map whose keys are all among allowed and whose values all pass ok.
bool map_of(const Value& v, std::initializer_list<std::string_view> allowed, bool (*ok)(const Value&)) {
  if (!kelp::is_map(v)) return false;
  bool good = true;
  v.obj()->each_entry([&](const Value& k, const Value& x) {
    good = plain_keyword_in(k, allowed) && ok(x);
    return good;
  });
  return good;
}

struct FileText {
  std::optional<std::string> text;  // absent when the file is missing or could not be read
  int error = 0;                    // errno of a failed read; ENOENT for a missing file

  bool missing() const { return !text && error == ENOENT; }
  // Why the file could not be read, in words.
  std::string reason() const { return error == EINVAL ? "it isn't a regular file" : reason_of(error); }
};

FileText read_file(const fs::path& path) {
  text_file::Bytes read = text_file::read_regular(path);
  return {std::move(read.text), read.error};
}

// The settings as a new file writes them: one entry a line.
std::string print_settings(const Value& m) {
  std::string out = "{";
  bool first = true;
  m.obj()->each_entry([&](const Value& k, const Value& v) {
    out += (first ? "" : "\n ") + kelp::print_edn(k) + " " + kelp::print_edn(v);
    first = false;
    return true;
  });
  return out + "}\n";
}

// ---- loading ----

struct Loader {
  std::string path;
  const Value& file;  // the map the file holds
  Value out;
  std::vector<std::string> warnings;

  const Value* field(std::string_view key) const {
    const Value* v = kelp::get(file, kw(key));
    return v && !v->is_nil() ? v : nullptr;
  }
  void keep(std::string_view key, const Value& v) { out = kelp::assoc(out, kw(key), v); }
  void warn(std::string text) { warnings.push_back(path + std::move(text)); }

  void theme() {
    const Value* v = field("theme");
    if (!v) return;
    if (kelp::is_keyword(*v) && !v->as<kelp::Keyword>().has_ns() && theme::is_choice(v->as<kelp::Keyword>().name()))
      keep("theme", *v);
    else
      warn(" has no known :theme, using :" + std::string(theme::DEFAULT_THEME));
  }

  void dialect() {
    const Value* v = field("dialect");
    if (!v) return;
    std::vector<std::string_view> ids;
    for (const auto& p : dialect::profiles()) ids.push_back(p.id);
    if (plain_keyword_in(*v, ids)) keep("dialect", *v);
    else warn(" names :dialect " + kelp::pr_str(*v) + ", which isn't a known dialect");
  }

  void file_tree() {
    const Value* v = field("file-tree");
    if (!v) return;
    bool good = kelp::is_map(*v);
    if (good) {
      const Value* visible = kelp::get(*v, kw("visible?"));
      const Value* width = kelp::get(*v, kw("width"));
      good = (!visible || visible->is_bool()) && (!width || (width->is_int() && width->as_int() > 0));
    }
    if (good) keep("file-tree", *v);
    else warn(" has an unusable :file-tree, ignoring it");
  }

  void flag(std::string_view key) {
    const Value* v = field(key);
    if (!v) return;
    if (v->is_bool()) keep(key, *v);
    else warn(" has an unusable :" + std::string(key) + ", ignoring it");
  }

  void plugins() {
    const Value* v = field("plugins");
    if (!v) return;
    static const char* bad = "'s :plugins :disabled isn't a set of plugin ids, ignoring it";
    if (!kelp::is_map(*v)) return warn(bad);
    const Value* disabled = kelp::get(*v, kw("disabled"));
    if (disabled && !disabled->is_nil() && !is_id_set(*disabled)) {
      warn(bad);
      return keep("plugins", kelp::dissoc(*v, kw("disabled")));
    }
    keep("plugins", *v);
  }

  void parinfer() {
    const Value* v = field("parinfer");
    if (!v) return;
    if (plain_keyword_in(*v, dialect::parinfer_modes())) keep("parinfer", *v);
    else warn(" has an unknown :parinfer " + kelp::pr_str(*v) + ", using :off");
  }

  void key_set() {
    const Value* v = field("key-set");
    if (!v) return;
    if (plain_keyword_in(*v, key_sets::ids())) keep("key-set", *v);
    else warn(" has an unknown :key-set " + kelp::pr_str(*v) + ", using the default keys");
  }

  void terminal() {
    const Value* v = field("terminal");
    if (!v) return;
    if (v->is(kelp::Kind::String) && !is_blank_string(kelp::str_view(*v))) keep("terminal", *v);
    else warn(" has an unusable :terminal " + kelp::pr_str(*v) + ", using the system's");
  }

  void layouts() {
    const Value* v = field("layouts");
    if (!v) return;
    if (!kelp::is_map(*v)) return warn("'s :layouts isn't a map, ignoring it");
    Value good = kelp::empty_map();
    bool dropped = false;
    v->obj()->each_entry([&](const Value& name, const Value& layout) {
      if (name.is(kelp::Kind::String) && layouts::is_valid(layout)) good = kelp::assoc(good, name, layout);
      else dropped = true;
      return true;
    });
    if (dropped) warn("'s :layouts has entries that aren't a name and a layout, ignoring them");
    keep("layouts", good);
  }

  void doc_bookmarks() {
    const Value* v = field("doc-bookmarks");
    if (!v) return;
    if (!is_list(*v)) return warn("'s :doc-bookmarks isn't a list, ignoring it");
    std::vector<Value> pages;
    bool dropped = false;
    for (const Value& page : items(*v)) {
      if (!is_doc_page(page)) {
        dropped = true;
        continue;
      }
      bool seen = false;
      for (const Value& p : pages) seen = seen || kelp::equiv(p, page);
      if (!seen) pages.push_back(page);
    }
    if (dropped) warn("'s :doc-bookmarks has entries that aren't a doc page, ignoring them");
    keep("doc-bookmarks", kelp::make_vector(pages));
  }

  void header() {
    const Value* v = field("header");
    if (!v) return;
    if (map_of(*v, {"start", "end"}, is_keyword_vector)) keep("header", *v);
    else warn("'s :header isn't {:start [command ...] :end [command ...]}, using the usual buttons");
  }

  void layout() {
    const Value* v = field("layout");
    if (!v) return;
    if (map_of(*v, {"left", "right", "bottom"}, is_keyword_vector)) keep("layout", *v);
    else warn("'s :layout isn't {:left [part ...] :right [part ...] :bottom [part ...]}, using the usual places");
  }
};

Value default_settings() { return kelp::make_map({kw("theme"), kw(theme::DEFAULT_THEME)}); }

Loaded loaded(Value settings, const std::vector<std::string>& warnings) {
  Loaded l{std::move(settings), std::nullopt};
  for (const std::string& w : warnings) l.warning = l.warning ? *l.warning + "; " + w : w;
  return l;
}

// ---- saving ----

// An exclusive flock on a hidden file beside the settings file, held for one read-edit-write. The settings file
// itself cannot carry the lock: the save's rename replaces it, so a second saver would lock the old file.
class Lock {
 public:
  Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  ~Lock() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Nothing once held, else the reason it could not be taken.
  std::optional<std::string> take(const fs::path& target) {
    const fs::path file = target.parent_path() / ("." + target.filename().string() + ".lock");
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return reason_of(errno);
    const auto deadline = std::chrono::steady_clock::now() + LOCK_WAIT;
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) return reason_of(errno);
      if (std::chrono::steady_clock::now() >= deadline) return "another window has been saving it for too long";
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return std::nullopt;
  }

 private:
  int fd_ = -1;
};

std::string nothing_saved(const std::string& shown, const std::string& reason) {
  return "couldn't save " + shown + ": " + reason + "; nothing saved";
}

// text_file::save words its failure "Couldn't save <path>: <reason>."; the settings say it their own way.
std::string write_failure(const std::string& shown, const std::string& message) {
  const std::string prefix = "Couldn't save " + shown + ": ";
  std::string reason = message;
  if (reason.rfind(prefix, 0) == 0) reason = reason.substr(prefix.size());
  if (!reason.empty() && reason.back() == '.') reason.pop_back();
  return nothing_saved(shown, reason);
}

std::optional<std::string> update(const fs::path& path, const Change& change) {
  const std::string shown = path.string();
  fs::path real;
  try {
    real = text_file::resolve_links(path);
  } catch (const std::exception&) {
    return nothing_saved(shown, reason_of(ELOOP));
  }
  if (real.filename().empty()) return nothing_saved(shown, reason_of(EISDIR));
  std::error_code ec;
  if (real.has_parent_path()) fs::create_directories(real.parent_path(), ec);
  if (ec) return nothing_saved(shown, ec.message());

  Lock lock;
  if (auto failed = lock.take(real)) return nothing_saved(shown, *failed);

  const FileText file = read_file(real);
  if (!file.text && !file.missing())
    return "couldn't save " + shown + ": " + file.reason() + " to keep its other settings; nothing saved";
  const bool blank = file.text && edn_edit::is_blank(*file.text);
  Value current = kelp::empty_map();
  if (file.text && !blank) {
    kelp::Result<Value> read = kelp::read_edn(*file.text);
    if (!read) return shown + " isn't valid EDN, so it wasn't overwritten; fix or delete it";
    // Valid EDN that is not a map holds something the person wrote; replacing it would lose it.
    if (!kelp::is_map(*read)) return shown + " isn't a map, so it wasn't overwritten; fix or delete it";
    current = *read;
  }

  std::variant<Value, std::string> asked = change(current);
  if (auto* refusal = std::get_if<std::string>(&asked)) return *refusal;
  const Value& keys = std::get<Value>(asked);
  if (!kelp::is_map(keys)) return nothing_saved(shown, "the settings to save aren't a map");

  std::string text;
  if (!file.text) {
    text = print_settings(keys);
  } else if (blank) {
    text = *file.text;
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += print_settings(keys);
  } else {
    Value merged = current;
    keys.obj()->each_entry([&](const Value& k, const Value& v) {
      merged = kelp::assoc(merged, k, v);
      return true;
    });
    std::optional<std::string> edited = edn_edit::merge_keys(*file.text, keys);
    text = edited ? *edited : print_settings(merged);
    if (text == *file.text) return std::nullopt;
  }
  if (auto failed = text_file::save(path, text)) return write_failure(shown, *failed);
  return std::nullopt;
}

}  // namespace

fs::path settings_path(const Env& env, const fs::path& home) {
  const std::optional<std::string> xdg = env ? env("XDG_CONFIG_HOME") : std::nullopt;
  if (xdg && !is_blank_string(*xdg) && xdg->front() == '/') return fs::path(*xdg) / "orrery" / "settings.edn";
  return home / ".config" / "orrery" / "settings.edn";
}

bool is_doc_page(const Value& v) {
  if (!kelp::is_map(v)) return false;
  const Value* url = kelp::get(v, kw("url"));
  const Value* title = kelp::get(v, kw("title"));
  return url && url->is(kelp::Kind::String) && !is_blank_string(kelp::str_view(*url)) &&
         (!title || title->is(kelp::Kind::String));
}

std::filesystem::path default_settings_path() {
  const Env env = [](std::string_view name) -> std::optional<std::string> {
    if (const char* v = std::getenv(std::string(name).c_str())) return std::string(v);
    return std::nullopt;
  };
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) home = h;
  else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) home = pw->pw_dir;
  return settings_path(env, home);
}

Loaded load_settings(const fs::path& path) {
  const std::string shown = path.string();
  try {
    const FileText file = read_file(path);
    const std::string unreadable = "couldn't read " + shown + ", using :" + std::string(theme::DEFAULT_THEME);
    if (!file.text)
      return loaded(default_settings(), file.missing() ? std::vector<std::string>{} : std::vector{unreadable});
    if (edn_edit::is_blank(*file.text)) return loaded(default_settings(), {});
    kelp::Result<Value> read = kelp::read_edn(*file.text);
    if (!read) return loaded(default_settings(), {unreadable});
    if (!kelp::is_map(*read))
      return loaded(default_settings(), {shown + " has no known :theme, using :" + std::string(theme::DEFAULT_THEME)});

    Loader l{shown, *read, default_settings(), {}};
    l.theme();
    l.dialect();
    l.file_tree();
    l.flag("reopen-tabs?");
    l.flag("remember-session?");
    l.flag("mcp-listen?");
    l.plugins();
    l.parinfer();
    l.key_set();
    l.terminal();
    l.layouts();
    l.doc_bookmarks();
    l.header();
    l.layout();
    return loaded(l.out, l.warnings);
  } catch (const std::exception&) {
    return loaded(default_settings(), {"couldn't read " + shown + ", using :" + std::string(theme::DEFAULT_THEME)});
  }
}

std::optional<std::string> update_settings(const fs::path& path, const Change& change) {
  try {
    return update(path, change);
  } catch (const std::exception& e) {
    return nothing_saved(path.string(), e.what());
  }
}

std::optional<std::string> save_settings(const fs::path& path, const Value& m) {
  return update_settings(path, [&](const Value&) -> std::variant<Value, std::string> { return m; });
}

std::optional<std::string> save_plugin_disabled(const fs::path& path, const Value& plugin_id, bool disabled) {
  const std::string shown = path.string();
  return update_settings(path, [&](const Value& current) -> std::variant<Value, std::string> {
    const Value* plugins = kelp::get(current, kw("plugins"));
    Value p = plugins && !plugins->is_nil() ? *plugins : kelp::empty_map();
    if (!kelp::is_map(p)) return shown + "'s :plugins isn't a map, so it wasn't changed; fix it by hand";
    const Value* ids = kelp::get(p, kw("disabled"));
    Value set = ids && !ids->is_nil() ? *ids : kelp::empty_set();
    if (!is_id_set(set))
      return shown + "'s :plugins :disabled isn't a set of plugin ids, so it wasn't changed; fix it by hand";
    set = disabled ? kelp::set_conj(set, plugin_id) : kelp::set_disj(set, plugin_id);
    return kelp::make_map({kw("plugins"), kelp::assoc(p, kw("disabled"), set)});
  });
}

BookmarksForWrite bookmarks_for_write(const fs::path& path) {
  const std::string shown = path.string();
  try {
    const FileText file = read_file(path);
    if (!file.text) {
      if (file.missing()) return {};
      return {std::nullopt, "couldn't read " + shown + ": " + file.reason()};
    }
    if (edn_edit::is_blank(*file.text)) return {};
    kelp::Result<Value> read = kelp::read_edn(*file.text);
    if (!read) return {std::nullopt, shown + " isn't valid EDN, so it wasn't overwritten; fix or delete it"};
    const Value* v = kelp::is_map(*read) ? kelp::get(*read, kw("doc-bookmarks")) : nullptr;
    if (!v || v->is_nil()) return {};
    if (!is_list(*v)) return {std::nullopt, shown + "'s :doc-bookmarks isn't a list"};
    std::vector<Value> pages = items(*v);
    for (size_t i = 0; i < pages.size(); ++i) {
      bool repeat = false;
      for (size_t j = 0; j < i; ++j) repeat = repeat || kelp::equiv(pages[i], pages[j]);
      if (repeat || !is_doc_page(pages[i]))
        return {std::nullopt, shown + "'s :doc-bookmarks has entries that aren't a doc page, or repeats"};
    }
    return {std::move(pages), std::nullopt};
  } catch (const std::exception& e) {
    return {std::nullopt, "couldn't read " + shown + ": " + e.what()};
  }
}

}  // namespace orrery::settings
