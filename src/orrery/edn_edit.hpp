// Editing EDN text whose top form is a map without rewriting it: a key's value is replaced where it stands, a new
// entry is appended laid out like its neighbours, a removed entry takes its whole line with it when it had the line
// to itself, and nested maps are edited key by key. Every byte an edit does not touch stays as written: comments,
// blank lines, order, spacing, commas, #_ discards, CRLF line ends, strings and characters holding ; or brackets.
//
// Two files are written through this: settings.edn and keys.edn. Every function checks its own result: the edited
// text must read back (as kelp's EDN reader reads it) as the old value with exactly that change, else it answers
// nothing and the caller decides what to do instead. Pure; never throws.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kelp/data/value.hpp"

namespace orrery::edn_edit {

// The value at path (keys of nested maps, outermost first; not empty) set to value. A missing key is appended to
// its map; a missing map on the way is appended as a map holding the rest of the path. Nothing when the text does
// not read as one map, or a value on the way is not a map.
std::optional<std::string> set_in(std::string_view text, std::span<const kelp::Value> path, const kelp::Value& value);
std::optional<std::string> set_key(std::string_view text, const kelp::Value& key, const kelp::Value& value);

// The entry at path removed with its key; the text unchanged when there is no such entry. Nothing when the text does
// not read as one map, or a value on the way is not a map.
std::optional<std::string> remove_in(std::string_view text, std::span<const kelp::Value> path);
std::optional<std::string> remove_key(std::string_view text, const kelp::Value& key);

// Each key of the map m set in the top map, other keys kept. A map value over a map already there is edited key by
// key, recursively: inner keys whose value changes are set and inner keys the new value leaves out are removed. An
// unchanged value leaves its text alone. The result reads back as the old map with m's keys assoc'ed.
std::optional<std::string> merge_keys(std::string_view text, const kelp::Value& m);

// How an element is written: kelp's EDN printer unless the file has its own layout for them.
using Print = std::string (*)(const kelp::Value&);

// The vector at path turned into `vector` with the fewest element edits, found by value equality: an element
// that stays keeps its text and the comments around it, a changed one is replaced where it stands, a removed one
// takes its line (and the comment ending it) when it had the line to itself, and a new one goes on a line of its
// own under its neighbour, or beside it when the vector keeps its elements on one line. A missing key is added
// holding the vector one element a line; a value that isn't a vector, either side, is set whole. Nothing when the
// text does not read as one map, or a value on the way is not a map.
std::optional<std::string> set_vector_in(std::string_view text, std::span<const kelp::Value> path,
                                         const kelp::Value& vector, Print print = nullptr);
std::optional<std::string> set_vector(std::string_view text, const kelp::Value& key, const kelp::Value& vector,
                                      Print print = nullptr);

// Whether the text holds no form at all: only whitespace, commas, comments and #_ discards.
bool is_blank(std::string_view text);

}  // namespace orrery::edn_edit
