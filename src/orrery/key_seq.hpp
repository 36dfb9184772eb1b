// Multi-chord key sequences: a binding with :then waits for its further chords. One sequence at most is under
// way in the process; the window watches the shared state to show what may follow and the note of the last
// step (a cancel, a key that led nowhere).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/keymap.hpp"

namespace orrery::key_seq {

using keymap::Binding;
using keymap::Chord;
using keymap::Key;
using keymap::Outcome;

struct Candidate {
  std::vector<Chord> rest;  // the chords it still needs
  Binding binding;
};

struct Pending {
  std::vector<Chord> prefix;  // the chords pressed so far
  std::vector<Candidate> candidates;
  std::function<Outcome(const Binding&)> run;  // runs the binding that completes
};

struct Live {
  std::shared_ptr<const Pending> pending;  // null: no sequence under way
  std::optional<std::string> note;
};

// The shared state, swapped whole under a lock.
Live live();
// Called with the new state after every change, on the thread that made it.
int watch(std::function<void(const Live&)> f);
void unwatch(int id);

std::shared_ptr<const Pending> pending();
void cancel(std::optional<std::string> note = std::nullopt);

// The binding reduced to its chord keys.
Chord first_chord(const Binding& b);
// Starts a sequence after `key` matched b (which has :then): every binding of `bindings` with :then that the
// same key matches becomes a candidate. Answers handled.
Outcome start(const std::vector<Binding>& bindings, const Binding& b, const Key& key, const keymap::Holds& holds,
              std::function<Outcome(const Binding&)> run);
// Nothing without a sequence under way; else 1: the key is the sequence's whatever it does.
std::optional<int> step(const Key& key, std::string_view os);

// The key as a chord (its name and the modifiers held); nothing for a key with no name.
std::optional<Chord> typed_chord(const Key& key);
std::string chords_label(const std::vector<Chord>& chords, std::string_view os);

struct FollowRow {
  std::string keys;
  std::string doc;
  bool operator==(const FollowRow&) const = default;
};
// A command id's doc line, or empty when it has none.
using DocOf = std::function<std::string(std::string_view id)>;
std::vector<FollowRow> follow_rows(const Pending& p, const DocOf& doc_of, std::string_view os);
std::string status_text(const Pending& p, std::string_view os);
std::vector<std::string> list_lines(const Pending& p, const DocOf& doc_of, std::string_view os);

// The os.name of this build: "Mac OS X" on macOS.
std::string_view os_name();

}  // namespace orrery::key_seq
