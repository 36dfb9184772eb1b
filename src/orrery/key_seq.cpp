#include "orrery/key_seq.hpp"

#include <algorithm>
#include <map>
#include <mutex>

#include "kelp/data/string.hpp"

namespace orrery::key_seq {

namespace {

std::mutex& lock() {
  static std::mutex m;
  return m;
}
Live& state() {
  static Live s;
  return s;
}
std::map<int, std::function<void(const Live&)>>& watchers() {
  static std::map<int, std::function<void(const Live&)>> w;
  return w;
}
int& next_watch_id() {
  static int id = 0;
  return id;
}

void set_live(Live now) {
  std::vector<std::function<void(const Live&)>> to_call;
  {
    std::lock_guard g(lock());
    state() = now;
    for (const auto& [id, f] : watchers()) to_call.push_back(f);
  }
  // Outside the lock, so that a watcher may read the state or start a sequence itself.
  for (const auto& f : to_call) f(now);
}

bool is_lone_modifier(uint32_t keyval) { return keyval >= 0xffe1 && keyval <= 0xffee; }

}  // namespace

Live live() {
  std::lock_guard g(lock());
  return state();
}

int watch(std::function<void(const Live&)> f) {
  std::lock_guard g(lock());
  int id = ++next_watch_id();
  watchers()[id] = std::move(f);
  return id;
}

void unwatch(int id) {
  std::lock_guard g(lock());
  watchers().erase(id);
}

std::shared_ptr<const Pending> pending() { return live().pending; }

void cancel(std::optional<std::string> note) { set_live({nullptr, std::move(note)}); }

Chord first_chord(const Binding& b) { return static_cast<const Chord&>(b); }

Outcome start(const std::vector<Binding>& bindings, const Binding& b, const Key& key, const keymap::Holds& holds,
              std::function<Outcome(const Binding&)> run) {
  auto p = std::make_shared<Pending>();
  p->prefix = {first_chord(b)};
  for (const auto& c : bindings)
    if (c.is_sequence() && keymap::matches(c, key.keyval, key.state, holds, key.physical))
      p->candidates.push_back({c.then, c});
  p->run = std::move(run);
  set_live({std::move(p), std::nullopt});
  return Outcome::handled;
}

std::optional<Chord> typed_chord(const Key& key) {
  auto name = keymap::key_name(key.keyval);
  if (!name) return std::nullopt;
  Chord c;
  c.key = *name;
  c.values = {key.keyval};
  for (keymap::Mods m : {keymap::SHIFT, keymap::CTRL, keymap::ALT, keymap::SUPER, keymap::META})
    if (keymap::is_held(m, key.state)) c.mods |= m;
  return c;
}

std::optional<int> step(const Key& key, std::string_view os) {
  auto p = pending();
  if (!p) return std::nullopt;
  if (is_lone_modifier(key.keyval)) return 1;
  const uint32_t named_mods = keymap::MASK_SHIFT | keymap::MASK_CTRL | keymap::MASK_ALT | keymap::MASK_META;
  if (key.keyval == 0xff1b && !(key.state & named_mods)) {
    cancel(chords_label(p->prefix, os) + " cancelled.");
    return 1;
  }
  std::vector<Candidate> going_on;
  std::optional<Chord> matched;
  for (const auto& c : p->candidates) {
    if (!keymap::matches_chord(c.rest.front(), key.keyval, key.state, key.physical)) continue;
    if (c.rest.size() == 1) {
      // The sequence ends before its command runs, so that the command may start another.
      auto run = p->run;
      cancel();
      if (run) run(c.binding);
      return 1;
    }
    if (!matched) matched = c.rest.front();
    going_on.push_back({std::vector<Chord>(c.rest.begin() + 1, c.rest.end()), c.binding});
  }
  if (!going_on.empty()) {
    auto next = std::make_shared<Pending>(*p);
    next->prefix.push_back(*matched);
    next->candidates = std::move(going_on);
    set_live({std::move(next), std::nullopt});
    return 1;
  }
  if (auto typed = typed_chord(key)) {
    auto chords = p->prefix;
    chords.push_back(*typed);
    cancel(chords_label(chords, os) + " isn't a key sequence.");
  } else {
    cancel(chords_label(p->prefix, os) + " and that key isn't a key sequence.");
  }
  return 1;
}

std::string chords_label(const std::vector<Chord>& chords, std::string_view os) {
  std::string out;
  for (size_t i = 0; i < chords.size(); ++i) out += (i ? " " : "") + keymap::chord_label(chords[i], os);
  return out;
}

std::vector<FollowRow> follow_rows(const Pending& p, const DocOf& doc_of, std::string_view os) {
  struct Group {
    Chord chord;
    std::vector<const Candidate*> members;
  };
  std::vector<Group> groups;
  for (const auto& c : p.candidates) {
    auto it = std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return g.chord == c.rest.front(); });
    if (it == groups.end()) groups.push_back({c.rest.front(), {&c}});
    else it->members.push_back(&c);
  }
  std::vector<FollowRow> rows;
  for (const auto& g : groups) {
    std::string doc;
    if (g.members.size() == 1 && g.members.front()->rest.size() == 1)
      doc = doc_of ? doc_of(g.members.front()->binding.command) : std::string();
    else
      doc = std::to_string(g.members.size()) + " more keys…";
    rows.push_back({keymap::chord_label(g.chord, os), std::move(doc)});
  }
  return rows;
}

std::string status_text(const Pending& p, std::string_view os) { return chords_label(p.prefix, os) + " …"; }

std::vector<std::string> list_lines(const Pending& p, const DocOf& doc_of, std::string_view os) {
  auto rows = follow_rows(p, doc_of, os);
  rows.push_back({"Esc", "Cancel"});
  size_t width = 0;
  for (const auto& r : rows) width = std::max(width, kelp::to_u32(r.keys).size());
  std::vector<std::string> lines = {chords_label(p.prefix, os) + ", then:"};
  for (const auto& r : rows)
    lines.push_back(r.keys + std::string(width - kelp::to_u32(r.keys).size(), ' ') + "  " + r.doc);
  return lines;
}

std::string_view os_name() {
#ifdef __APPLE__
  return "Mac OS X";
#else
  return "Linux";
#endif
}

}  // namespace orrery::key_seq
