#include "orrery/tabs.hpp"

#include <sys/stat.h>

#include <map>
#include <system_error>

namespace orrery::tabs {

namespace fs = std::filesystem;

namespace {

std::string base_name(const fs::path& p) { return p.filename().string(); }

// The form two paths are compared in: the real file when the path resolves, else the path made absolute and
// lexically normal (a file not written yet, or one deleted since).
fs::path comparable(const fs::path& p) {
  std::error_code ec;
  fs::path real = fs::canonical(p, ec);
  if (!ec) return real;
  fs::path absolute = fs::absolute(p, ec);
  return (ec ? p : absolute).lexically_normal();
}

bool runs_kelp(const dialect::Selection& s) { return s.profile && s.profile->id == "kelp"; }

std::string folder_text(const dialect::Selection& s, const fs::path& home) {
  return s.project_dir ? home_relative(*s.project_dir, home) : "no project";
}

}  // namespace

std::vector<std::string> labels(const std::vector<Tab>& tabs) {
  std::map<std::string, int> uses;
  for (const Tab& t : tabs)
    if (t.path) ++uses[base_name(*t.path)];
  std::vector<std::string> out;
  out.reserve(tabs.size());
  int untitled = 0;
  for (const Tab& t : tabs) {
    std::string label;
    if (!t.path) {
      ++untitled;
      label = untitled == 1 ? "Untitled" : "Untitled " + std::to_string(untitled);
    } else {
      label = base_name(*t.path);
      std::string parent = t.path->parent_path().filename().string();
      if (uses[label] > 1 && !parent.empty()) label += " · " + parent;
    }
    if (t.dirty) label += " ●";
    out.push_back(std::move(label));
  }
  return out;
}

std::optional<std::size_t> find_open(const std::vector<Tab>& tabs, const fs::path& path) {
  const fs::path wanted = comparable(path);
  for (std::size_t i = 0; i < tabs.size(); ++i)
    if (tabs[i].path && comparable(*tabs[i].path) == wanted) return i;
  return std::nullopt;
}

bool is_untouched_untitled(const Tab& tab, std::string_view text) { return !tab.path && !tab.dirty && text.empty(); }

bool is_loose_kelp(const dialect::Selection& selection) { return runs_kelp(selection) && !selection.project_dir; }

bool is_runnable_here(const dialect::Selection& window, const std::optional<dialect::Selection>& tab) {
  if (!tab) return true;
  if (is_loose_kelp(*tab) && runs_kelp(window)) return true;
  return dialect::selection_key(window) == dialect::selection_key(*tab);
}

bool keeps_window_kelp(const dialect::Selection& window, const std::optional<dialect::Selection>& tab) {
  return tab && is_loose_kelp(*tab) && runs_kelp(window);
}

std::string home_relative(const fs::path& folder, const fs::path& home) {
  if (home.empty() || !folder.is_absolute()) return folder.string();
  const fs::path rel = folder.lexically_normal().lexically_relative(home.lexically_normal());
  if (rel.empty() || *rel.begin() == "..") return folder.string();
  if (rel == ".") return "~";
  return "~/" + rel.string();
}

std::string refusal_message(std::string_view tab_name, const dialect::Selection& tab,
                            const dialect::Selection& window, const fs::path& home, bool window_attached) {
  std::string out = "; ";
  out += tab_name;
  out += " belongs to " + folder_text(tab, home) + " (" + dialect::label(tab) + "). This window runs " +
         folder_text(window, home) + " (" + dialect::label(window, window_attached) + "), so it can't run here.\n";
  return out;
}

Alert close_alert(const std::vector<std::string>& names) {
  if (names.size() == 1)
    return {"Save changes to " + names[0] + " before closing?", "", {"Save", "Don't Save", "Cancel"}, 2, 0};
  std::string joined;
  for (const std::string& n : names) joined += (joined.empty() ? "" : ", ") + n;
  return {std::to_string(names.size()) + " files have unsaved changes: " + joined,
          "",
          {"Save All", "Don't Save", "Cancel"},
          2,
          0};
}

Alert terminal_alert() {
  return {"A program is still running in the terminal.", "Closing the window ends it.", {"Close Anyway", "Cancel"}, 1,
          1};
}

std::string run_banner(const Tab& tab) {
  return "; --- Running " + (tab.path ? base_name(*tab.path) : std::string("Definitions")) + " ---\n";
}

std::size_t cycle_index(std::size_t i, std::ptrdiff_t delta, std::size_t n) {
  if (n == 0) return 0;
  const auto count = static_cast<std::ptrdiff_t>(n);
  const std::ptrdiff_t moved = (static_cast<std::ptrdiff_t>(i % n) + delta % count + count) % count;
  return static_cast<std::size_t>(moved);
}

std::optional<std::size_t> index_for_digit(int digit, std::size_t n) {
  if (digit == 9 && n > 0) return n - 1;
  if (digit >= 1 && digit <= 8 && static_cast<std::size_t>(digit) <= n) return static_cast<std::size_t>(digit - 1);
  return std::nullopt;
}

std::optional<std::size_t> nul_line(std::string_view text) {
  const std::size_t at = text.find('\0');
  if (at == std::string_view::npos) return std::nullopt;
  std::size_t line = 1;
  for (std::size_t i = 0; i < at; ++i)
    if (text[i] == '\n') ++line;
  return line;
}

std::optional<DiskAction> disk_sync(std::string_view saved, const std::optional<std::string>& disk,
                                    std::string_view buffer) {
  if (!disk || *disk == saved) return std::nullopt;
  if (buffer == *disk) return DiskAction::Rebase;
  if (buffer == saved) return DiskAction::Reload;
  return DiskAction::Warn;
}

std::optional<DiskAction> disk_follow(std::string_view saved, const std::optional<std::string>& disk,
                                      std::string_view buffer, bool missing_reported) {
  if (!disk) return missing_reported ? std::nullopt : std::optional(DiskAction::Missing);
  return disk_sync(saved, disk, buffer);
}

Stat stat_of(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  const std::int64_t ms = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1'000'000;
  return {ms, static_cast<std::int64_t>(st.st_size)};
}

StatStep stat_step(const Stat& stat, const Stat& seen, const std::optional<Stat>& pending) {
  if (stat == seen) return StatStep::Same;
  return pending == stat ? StatStep::Act : StatStep::Wait;
}

}  // namespace orrery::tabs
