#include "orrery/layouts.hpp"

#include <algorithm>
#include <array>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "orrery/palette.hpp"
#include "orrery/settings.hpp"

namespace orrery::layouts {

using kelp::Value;

namespace {

Value kw(std::string_view name) { return kelp::keyword(name); }

const Value* field(const Value& m, std::string_view key) { return kelp::get(m, kw(key)); }

// The label of the layout's panel, when it is one the palette can bring back.
std::optional<std::string> panel_of(const Value& layout) {
  const Value* panel = kelp::is_map(layout) ? field(layout, "panel") : nullptr;
  if (!panel || !kelp::is_keyword(*panel) || panel->as<kelp::Keyword>().has_ns()) return std::nullopt;
  return panel_label(panel->as<kelp::Keyword>().name());
}

bool shows_tree(const Value& layout) {
  const Value* tree = kelp::is_map(layout) ? field(layout, "tree?") : nullptr;
  return tree && tree->is_bool() && tree->as_bool();
}

bool whole_number_or_absent(const Value& layout, std::string_view key) {
  const Value* v = field(layout, key);
  return !v || (v->is_int() && v->as_int() >= 0);
}

}  // namespace

std::optional<std::string> panel_label(std::string_view key) {
  for (const auto& [k, label] : palette::shipped_panel_labels())
    if (k == key) return label;
  return std::nullopt;
}

std::string layout_name(const Value& layout) {
  const bool tree = shows_tree(layout);
  const std::optional<std::string> panel = panel_of(layout);
  if (!panel) return tree ? "File tree" : "Editor only";
  return (tree ? "File tree and " : "") + *panel + " panel";
}

bool is_valid(const Value& layout) {
  if (!kelp::is_map(layout)) return false;
  const Value* tree = field(layout, "tree?");
  const Value* panel = field(layout, "panel");
  return (!tree || tree->is_bool()) && (!panel || panel->is_nil() || panel_of(layout)) &&
         whole_number_or_absent(layout, "tree-width") && whole_number_or_absent(layout, "panel-width") &&
         whole_number_or_absent(layout, "split");
}

Value save(const Value& layouts, const Value& layout) {
  Value kept = layout;
  if (kelp::is_map(kept) && !panel_of(kept)) kept = kelp::dissoc(kept, kw("panel"));
  const bool tree = shows_tree(kept);
  const std::optional<std::string> panel = panel_of(kept);
  Value out = kelp::is_map(layouts) ? layouts : kelp::empty_map();
  if (kelp::is_map(layouts)) {
    layouts.obj()->each_entry([&](const Value& name, const Value& other) {
      if (is_valid(other) && shows_tree(other) == tree && panel_of(other) == panel) out = kelp::dissoc(out, name);
      return true;
    });
  }
  return kelp::assoc(out, kelp::make_string(layout_name(kept)), kept);
}

std::vector<PaletteEntry> entries(const Value& layouts) {
  std::vector<PaletteEntry> out;
  if (!kelp::is_map(layouts)) return out;
  layouts.obj()->each_entry([&](const Value& name, const Value& layout) {
    if (name.is(kelp::Kind::String) && is_valid(layout)) {
      std::string n(kelp::str_view(name));
      out.push_back({{std::string(USE_COMMAND), n}, "Use layout: " + n, "layout"});
    }
    return true;
  });
  std::sort(out.begin(), out.end(),
            [](const PaletteEntry& a, const PaletteEntry& b) { return a.id.second < b.id.second; });
  return out;
}

std::optional<std::string> save_layout(const std::filesystem::path& settings_path, const Value& layout) {
  const std::string shown = settings_path.string();
  return settings::update_settings(settings_path, [&](const Value& current) -> std::variant<Value, std::string> {
    const Value* layouts = kelp::get(current, kw("layouts"));
    if (layouts && !layouts->is_nil() && !kelp::is_map(*layouts))
      return shown + "'s :layouts isn't a map, so it wasn't changed; fix it by hand";
    return kelp::make_map(
        {kw("layouts"), save(layouts && !layouts->is_nil() ? *layouts : kelp::empty_map(), layout)});
  });
}

}  // namespace orrery::layouts
