#include "orrery/live_keys.hpp"

#include <memory>
#include <mutex>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "orrery/key_sets.hpp"
#include "orrery/settings.hpp"
#include "orrery/user_keys.hpp"

namespace orrery::live_keys {

namespace {

std::mutex last_mutex;
std::vector<std::string> last_lines;  // the previous load's report, so a quiet reload stays quiet

}  // namespace

Report load(const std::filesystem::path& settings_path, bool forced) {
  const settings::Loaded s = settings::load_settings(settings_path);
  std::string set_id(key_sets::default_id);
  if (const kelp::Value* v = kelp::get(s.settings, kelp::keyword("key-set")); v && kelp::is_keyword(*v))
    set_id = std::string(v->as<kelp::Keyword>().name());
  key_sets::set_live(set_id);

  const auto path = user_keys::keys_path(settings_path);
  user_keys::Loaded loaded = user_keys::load_keys(path, user_keys::registered());
  Report r;
  r.lines = user_keys::report_lines(path, loaded);
  if (forced && loaded.status == user_keys::Status::absent) r.lines = {user_keys::missing_line(path)};
  user_keys::set_live(std::make_shared<const user_keys::UserKeys>(std::move(loaded.keys)));
  {
    std::lock_guard g(last_mutex);
    r.changed = r.lines != last_lines;
    last_lines = r.lines;
  }
  if (!forced && !r.changed) r.lines.clear();
  return r;
}

command_registry::Layers layers(std::string_view scope) {
  command_registry::Layers l;
  const auto mine = user_keys::live();
  const auto set = key_sets::live_layer();
  l.user = mine->scope(scope);
  l.key_set = set->scope(scope);
  l.shipped = command_registry::shipped_bindings(scope);
  l.remove = mine->remove;
  l.key_set_remove = set->remove;
  return l;
}

std::vector<keymap::Binding> bindings(std::string_view scope) {
  const auto& table = scope == "editor" ? command_registry::editor_commands() : command_registry::window_commands();
  return command_registry::live_bindings(layers(scope), table, nullptr);
}

}  // namespace orrery::live_keys
