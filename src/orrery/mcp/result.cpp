#include "orrery/mcp/result.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "orrery/console.hpp"

namespace orrery::mcp {

namespace {

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The byte offset where the last n code points of s begin (0 when s holds no more than n).
size_t tail_start(std::string_view s, int64_t n) {
  if (n <= 0) return s.size();
  size_t i = s.size();
  while (i > 0 && n > 0) {
    --i;
    if (!is_continuation(s[i])) --n;
  }
  return n > 0 ? 0 : i;
}

std::string_view trimmed(std::string_view s) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

std::optional<int64_t> parse_int(std::string_view s) {
  int64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

struct Location {
  int64_t line;
  std::optional<int64_t> column;
};

// "line L" or "line L, col C".
std::optional<Location> parse_location(std::string_view s) {
  constexpr std::string_view LINE = "line ";
  if (!s.starts_with(LINE)) return std::nullopt;
  s.remove_prefix(LINE.size());
  size_t comma = s.find(", col ");
  auto line = parse_int(s.substr(0, comma));
  if (!line) return std::nullopt;
  if (comma == std::string_view::npos) return Location{*line, std::nullopt};
  auto column = parse_int(s.substr(comma + 6));
  if (!column) return std::nullopt;
  return Location{*line, column};
}

Json str(std::string_view s) { return kelp::make_string(s); }

// Cuts the chunks from the front to their last cap characters; a chunk that straddles the cut keeps its tail.
void keep_tail(Output& state, int64_t cap) {
  int64_t kept = 0;
  size_t first = state.chunks.size();
  while (first > 0 && kept < cap) {
    --first;
    kept += char_count(state.chunks[first].text);
  }
  if (kept > cap) {
    std::string& straddling = state.chunks[first].text;
    straddling.erase(0, tail_start(straddling, cap - (kept - char_count(straddling))));
    kept = cap;
  }
  state.chunks.erase(state.chunks.begin(), state.chunks.begin() + static_cast<std::ptrdiff_t>(first));
  state.dropped += state.size - kept;
  state.size = kept;
}

}  // namespace

int64_t char_count(std::string_view s) {
  return static_cast<int64_t>(std::count_if(s.begin(), s.end(), [](char c) { return !is_continuation(c); }));
}

int64_t max_output_of(const Json& args) {
  const Json* v = kelp::is_map(args) ? kelp::get(args, str("max_output_chars")) : nullptr;
  if (!v) return DEFAULT_MAX_OUTPUT_CHARS;
  if (v->is_int() && v->as_int() > 0) return std::min(v->as_int(), HARD_MAX_OUTPUT_CHARS);
  // A fraction counts as the characters it covers; NaN fails the comparison and reads as absent.
  if (v->is_double() && v->as_double() >= 1)
    return static_cast<int64_t>(std::min(std::floor(v->as_double()), double(HARD_MAX_OUTPUT_CHARS)));
  return DEFAULT_MAX_OUTPUT_CHARS;
}

void add_output(Output& state, int64_t cap, eval::OutputKind kind, std::string_view s) {
  if (s.empty()) return;
  state.chunks.push_back({kind, std::string(s)});
  state.size += char_count(s);
  if (state.size > 2 * cap) keep_tail(state, std::max<int64_t>(cap, 0));
}

Collected output_of(const Output& state, int64_t cap) {
  Collected c;
  int64_t skip = std::max<int64_t>(state.size - std::max<int64_t>(cap, 0), 0);
  c.dropped = state.dropped + skip;
  for (const OutputChunk& chunk : state.chunks) {
    std::string_view text = chunk.text;
    if (skip > 0) {
      int64_t n = char_count(text);
      if (n <= skip) {
        skip -= n;
        continue;
      }
      text.remove_prefix(tail_start(text, n - skip));
      skip = 0;
    }
    c.output += text;
    if (chunk.kind == eval::OutputKind::Err) c.err += text;
  }
  return c;
}

Clipped clip(std::string_view text, int64_t cap) {
  size_t at = tail_start(text, std::max<int64_t>(cap, 0));
  return {std::string(text.substr(at)), char_count(text.substr(0, at))};
}

std::string dropped_line(int64_t n) {
  if (n <= 0) return "";
  return "; " + std::to_string(n) + " earlier characters of output dropped\n";
}

Json error_fields(std::string_view text) {
  std::string_view whole = trimmed(text);
  auto only_message = [&] { return kelp::make_map({str("message"), str(whole)}); };
  constexpr std::string_view HEAD = "Error [";
  if (!whole.starts_with(HEAD)) return only_message();
  size_t close = whole.find("]: ", HEAD.size());
  if (close == std::string_view::npos) return only_message();
  std::string_view type = whole.substr(HEAD.size(), close - HEAD.size());
  std::string_view message = whole.substr(close + 3);
  std::optional<Location> location;
  constexpr std::string_view LOCATION = "\nLocation: ";
  size_t at = message.rfind(LOCATION);
  if (at != std::string_view::npos) {
    location = parse_location(trimmed(message.substr(at + LOCATION.size())));
    if (location) message = trimmed(message.substr(0, at));
  }
  Json fields = kelp::make_map({str("message"), str(message), str("type"), str(type)});
  if (location) {
    fields = kelp::assoc(fields, str("line"), Json::integer(location->line));
    if (location->column) fields = kelp::assoc(fields, str("column"), Json::integer(*location->column));
  }
  return fields;
}

std::string_view status_name(eval::Status s) {
  switch (s) {
    case eval::Status::Ok: return "ok";
    case eval::Status::Error: return "error";
    case eval::Status::Interrupted: return "interrupted";
    case eval::Status::Notice: return "notice";
  }
  return "notice";
}

Json eval_data(std::string_view status, const Collected& out, int64_t ms, const eval::Result* result) {
  Json data = kelp::make_map({str("status"), str(status), str("output"), str(out.output), str("ms"),
                              Json::integer(ms)});
  if (!out.err.empty()) data = kelp::assoc(data, str("err"), str(out.err));
  if (out.dropped > 0) data = kelp::assoc(data, str("dropped_chars"), Json::integer(out.dropped));
  if (!result) return data;
  if (!result->ns.empty()) data = kelp::assoc(data, str("ns"), str(result->ns));
  if (result->status == eval::Status::Ok) data = kelp::assoc(data, str("value"), str(result->printed));
  if (result->status == eval::Status::Error)
    data = kelp::assoc(data, str("error"), error_fields(console::error_text(*result)));
  return data;
}

}  // namespace orrery::mcp
