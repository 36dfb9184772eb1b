// What a window decides about its tabs, apart from any widget: how tabs are named and found, when one may run in the
// window's evaluator, the alerts and console lines that tab actions show, and how an open tab follows its file when
// something else rewrites it. Everything is pure except find_open's and stat_of's file-system reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/dialect.hpp"

namespace orrery::tabs {

// A tab as these decisions see it: the file it shows (none for an Untitled buffer) and whether it has unsaved edits.
struct Tab {
  std::optional<std::filesystem::path> path;
  bool dirty = false;
};

// The tab strip's labels, in tab order. A file tab is its base name, with " · " and the parent folder's name when
// another tab has the same base name; Untitled tabs are "Untitled", "Untitled 2", ... in tab order; a dirty tab
// ends in " ●".
std::vector<std::string> labels(const std::vector<Tab>& tabs);

// The index of the first tab showing the same file as path. Paths compare canonically, so a symlink finds its
// target; a path that does not resolve (a missing file) compares by its lexically normal absolute form.
std::optional<std::size_t> find_open(const std::vector<Tab>& tabs, const std::filesystem::path& path);

// An Untitled tab nobody has typed in, which Open fills instead of adding a tab.
bool is_untouched_untitled(const Tab& tab, std::string_view text);

// A kelp file outside any project: any kelp runtime will do for it.
bool is_loose_kelp(const dialect::Selection& selection);

// Whether a tab (nullopt: Untitled) may run in the window's evaluator: Untitled always may, a loose kelp file may
// in any window that runs kelp, and otherwise the two selections need equal selection keys.
bool is_runnable_here(const dialect::Selection& window, const std::optional<dialect::Selection>& tab);

// Whether a window whose only tab gets a new selection keeps its own kelp evaluator instead of following the tab:
// true for a loose kelp file in a window that runs kelp.
bool keeps_window_kelp(const dialect::Selection& window, const std::optional<dialect::Selection>& tab);

// A folder as the user reads it: home itself as "~", a folder inside it as "~/...", any other as it is.
std::string home_relative(const std::filesystem::path& folder, const std::filesystem::path& home);

// The console line for Run in a tab that belongs to another project or dialect, ending in a line feed. Folders are
// shown home-relative, or as "no project". window_attached is passed on to the window's dialect label.
std::string refusal_message(std::string_view tab_name, const dialect::Selection& tab,
                            const dialect::Selection& window, const std::filesystem::path& home,
                            bool window_attached = false);

// A question with buttons: cancel_index is the answer a dismissal (Escape, the close box) gives, default_index the
// button Return presses.
struct Alert {
  std::string message;
  std::string detail;  // empty when there is none
  std::vector<std::string> buttons;
  int cancel_index = 0;
  int default_index = 0;
};

// The unsaved-changes alert for closing tabs with these names (at least one): 0 saves, 1 discards, 2 cancels.
Alert close_alert(const std::vector<std::string>& names);

// Closing the window while a program runs in the terminal panel: 0 closes anyway, 1 cancels (the default).
Alert terminal_alert();

// Run's console banner: "; --- Running core.clj ---", "Definitions" for an Untitled tab, and a line feed.
std::string run_banner(const Tab& tab);

// Index i moved by delta among n tabs (n > 0), wrapping at both ends.
std::size_t cycle_index(std::size_t i, std::ptrdiff_t delta, std::size_t n);

// The tab Cmd/Ctrl+digit picks among n: 1 to 8 pick that tab when it exists, 9 the last one; nullopt otherwise.
std::optional<std::size_t> index_for_digit(int digit, std::size_t n);

// v with x inserted right after index i (at the end when i is past it).
template <typename T>
std::vector<T> insert_after(std::vector<T> v, std::size_t i, T x) {
  const std::size_t at = i < v.size() ? i + 1 : v.size();
  v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), std::move(x));
  return v;
}

// The 1-based line of the first NUL character, counting line feeds only (a CRLF file reports the line a person
// sees); nullopt when there is none.
std::optional<std::size_t> nul_line(std::string_view text);

enum class DiskAction {
  Reload,   // the file changed and the tab has no unsaved edits: take the file's text
  Warn,     // the file changed under unsaved edits: keep them, and the file's text becomes the saved baseline
  Rebase,   // the edits already equal the file's text: only the baseline moves
  Missing,  // the file is gone (reported once)
};

// What a tab does when its file may have been rewritten. saved is the text the tab last saved or loaded, disk the
// file's text (nullopt when missing), buffer the tab's text. Nothing when the file is unchanged or missing.
std::optional<DiskAction> disk_sync(std::string_view saved, const std::optional<std::string>& disk,
                                    std::string_view buffer);

// disk_sync's answer, or Missing when the file is gone and that was not yet reported.
std::optional<DiskAction> disk_follow(std::string_view saved, const std::optional<std::string>& disk,
                                      std::string_view buffer, bool missing_reported);

// A file's modification time and length, as the disk poll compares them.
struct Stat {
  std::int64_t modified_ms = 0;
  std::int64_t length = 0;
  bool operator==(const Stat&) const = default;
};

// The stat of path; {0, 0} when it cannot be taken (a missing file), so a file vanishing moves the stat too.
Stat stat_of(const std::filesystem::path& path);

enum class StatStep {
  Same,  // the stat the tab last followed: nothing to do, and no pending stat
  Act,   // moved and held steady since the last tick: read the file and follow it
  Wait,  // moved since the last tick: the caller keeps this stat as its pending one
};

// One poll tick for a tab. Waiting a tick keeps a clean tab from reloading a file that a writer has truncated but
// not finished writing.
StatStep stat_step(const Stat& stat, const Stat& seen, const std::optional<Stat>& pending);

}  // namespace orrery::tabs
