#include "orrery/key_sets.hpp"

#include <mutex>
#include <stdexcept>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/key_seq.hpp"
#include "orrery/resources.hpp"

namespace orrery::key_sets {

using kelp::Value;

namespace {

const Value K_OS = kelp::keyword("os");

std::vector<Value> entries_of(const Value& m, std::string_view scope, const std::string& id) {
  std::vector<Value> out;
  const Value* v = kelp::get(m, kelp::keyword(scope));
  if (!v) return out;
  if (!v->is(kelp::Kind::Vector))
    throw std::logic_error("The key set " + id + " has :" + std::string(scope) + " that isn't a vector.");
  v->obj()->each([&](const Value& x) {
    out.push_back(x);
    return true;
  });
  return out;
}

KeySet read_set(const std::string& id) {
  auto text = resource("orrery/keysets/" + id + ".edn");
  if (!text) throw std::logic_error("This build carries no key set " + id + ".");
  auto read = kelp::read_edn(*text);
  if (!read || !kelp::is_map(*read)) throw std::logic_error("The key set " + id + " doesn't read as a map.");
  KeySet s;
  s.id = id;
  const Value* label = kelp::get(*read, kelp::keyword("label"));
  if (!label || !label->is(kelp::Kind::String)) throw std::logic_error("The key set " + id + " has no :label.");
  s.label = std::string(kelp::str_view(*label));
  s.window = entries_of(*read, "window", id);
  s.editor = entries_of(*read, "editor", id);
  s.remove = entries_of(*read, "remove", id);
  return s;
}

std::mutex live_mutex;
std::shared_ptr<const Layer> live_value;

std::shared_ptr<const Layer> make_layer(std::string_view id) {
  const KeySet& s = key_set(id);
  auto layer = std::make_shared<Layer>();
  layer->id = s.id;
  layer->window = as_bindings(bindings(s.id, "window", key_seq::os_name()));
  layer->editor = as_bindings(bindings(s.id, "editor", key_seq::os_name()));
  layer->remove = bindings(s.id, "remove", key_seq::os_name());
  return layer;
}

}  // namespace

const std::vector<KeySet>& sets() {
  static const std::vector<KeySet> all = {read_set(std::string(default_id)), read_set("calva")};
  return all;
}

std::vector<std::string> ids() {
  std::vector<std::string> out;
  for (const auto& s : sets()) out.push_back(s.id);
  return out;
}

const KeySet& key_set(std::string_view id) {
  for (const auto& s : sets())
    if (s.id == id) return s;
  return sets().front();
}

const std::string& label(std::string_view id) { return key_set(id).label; }

std::string_view system(std::string_view os_name) { return os_name.starts_with("Mac") ? "mac" : "linux"; }

std::vector<Value> bindings(std::string_view id, std::string_view scope, std::string_view os_name) {
  const KeySet& s = key_set(id);
  const std::vector<Value>* entries = scope == "window" ? &s.window
                                      : scope == "editor" ? &s.editor
                                      : scope == "remove" ? &s.remove
                                                          : nullptr;
  std::vector<Value> out;
  if (!entries) return out;
  const Value here = kelp::keyword(system(os_name));
  for (const Value& e : *entries) {
    const Value* os = kelp::is_map(e) ? kelp::get(e, K_OS) : nullptr;
    if (!os) {
      out.push_back(e);
    } else if (*os == here) {
      out.push_back(kelp::dissoc(e, K_OS));
    }
  }
  return out;
}

const std::vector<keymap::Binding>& Layer::scope(std::string_view name) const {
  static const std::vector<keymap::Binding> none;
  return name == "window" ? window : name == "editor" ? editor : none;
}

std::string live() { return live_layer()->id; }

std::shared_ptr<const Layer> live_layer() {
  std::lock_guard lock(live_mutex);
  if (!live_value) live_value = make_layer(default_id);
  return live_value;
}

void set_live(std::string_view id) {
  auto layer = make_layer(id);
  std::lock_guard lock(live_mutex);
  live_value = std::move(layer);
}

std::vector<Value> live_bindings(std::string_view scope) {
  const std::string id = live();
  return bindings(id, scope, key_seq::os_name());
}

std::vector<keymap::Binding> as_bindings(const std::vector<Value>& entries) {
  std::vector<keymap::Binding> out;
  for (const auto& e : entries)
    if (auto b = keymap::to_binding(e)) out.push_back(std::move(*b));
  return out;
}

}  // namespace orrery::key_sets
