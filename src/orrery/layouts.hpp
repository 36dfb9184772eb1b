// Named layouts: the window's arrangement (file tree, right-hand panel, widths, split) saved in the settings file's
// :layouts under a name made from what it shows, and brought back from the palette. A layout is a kelp map:
// :tree? (boolean), :panel (a panel key the palette can bring back, or nil), :tree-width, :panel-width and :split
// (non-negative whole numbers); each may be absent.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelp/data/value.hpp"

namespace orrery::layouts {

// The label of a right-hand panel the palette can bring back, by its key's name ("trace" -> "Trace"); nothing for
// any other panel (Review and History show one thing opened from elsewhere, so they are never brought back).
std::optional<std::string> panel_label(std::string_view key);

// "Editor only", "File tree", "Trace panel" or "File tree and Trace panel", from what the layout shows.
std::string layout_name(const kelp::Value& layout);

// Whether the layout can be applied: a map whose keys hold the values described above.
bool is_valid(const kelp::Value& layout);

// The layouts map with layout stored under its name, replacing any entry showing the same parts. A panel the
// palette cannot bring back is not kept. Entries that are not layouts are left as they are.
kelp::Value save(const kelp::Value& layouts, const kelp::Value& layout);

struct PaletteEntry {
  std::pair<std::string, std::string> id;  // {"layout/use", name}
  std::string doc;                         // "Use layout: " and the name
  std::string source;                      // "layout"
  bool operator==(const PaletteEntry&) const = default;
};

inline constexpr std::string_view USE_COMMAND = "layout/use";

// One entry per valid named layout, sorted by name. They carry no key chords; the window runs them itself.
std::vector<PaletteEntry> entries(const kelp::Value& layouts);

// Saves the layout into the settings file at settings_path, editing only the entry it writes: entries the loader
// left out (hand-written ones it could not use) stay in the file. Nothing on success, else a sentence.
std::optional<std::string> save_layout(const std::filesystem::path& settings_path, const kelp::Value& layout);

}  // namespace orrery::layouts
