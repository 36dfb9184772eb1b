// Runs Parinfer over JSON requests: one {"mode", "text", "options"} object a line on standard input, one result a
// line on standard output, with the published option and result names. A request that cannot be read answers
// {"success":false,"error":{"name":"unhandled",...}} and the loop goes on.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/vector.hpp"
#include "orrery/mcp/json.hpp"
#include "orrery/parinfer.hpp"

namespace {

using kelp::Value;
namespace pi = orrery::parinfer;

const Value* member(const Value& map, std::string_view key) {
  return kelp::is_map(map) ? kelp::get(map, kelp::make_string(key)) : nullptr;
}

std::optional<int64_t> int_member(const Value& map, std::string_view key) {
  const Value* v = member(map, key);
  if (v && v->is_int()) return v->as_int();
  return std::nullopt;
}

std::u32string string_member(const Value& map, std::string_view key) {
  const Value* v = member(map, key);
  return v && v->is(kelp::Kind::String) ? kelp::to_u32(kelp::str_view(*v)) : std::u32string();
}

bool bool_member(const Value& map, std::string_view key) {
  const Value* v = member(map, key);
  return v && v->truthy();
}

pi::Options read_options(const Value& o) {
  pi::Options opts;
  opts.cursor_x = int_member(o, "cursorX");
  opts.cursor_line = int_member(o, "cursorLine");
  opts.prev_cursor_x = int_member(o, "prevCursorX");
  opts.prev_cursor_line = int_member(o, "prevCursorLine");
  opts.selection_start_line = int_member(o, "selectionStartLine");
  opts.force_balance = bool_member(o, "forceBalance");
  opts.partial_result = bool_member(o, "partialResult");
  opts.return_parens = bool_member(o, "returnParens");
  if (const Value* changes = member(o, "changes"); changes && changes->is(kelp::Kind::Vector)) {
    for (int64_t i = 0; i < kelp::count(*changes); ++i) {
      const Value& c = changes->as<kelp::Vector>().nth(i);
      opts.changes.push_back({int_member(c, "lineNo").value_or(0), int_member(c, "x").value_or(0),
                              string_member(c, "oldText"), string_member(c, "newText")});
    }
  }
  // A string is a set of comment characters; in a list each one-character entry is one.
  if (const Value* cc = member(o, "commentChars")) {
    if (cc->is(kelp::Kind::String)) {
      opts.comment_chars = kelp::to_u32(kelp::str_view(*cc));
    } else if (cc->is(kelp::Kind::Vector)) {
      opts.comment_chars.clear();
      for (int64_t i = 0; i < kelp::count(*cc); ++i) {
        const Value& s = cc->as<kelp::Vector>().nth(i);
        if (!s.is(kelp::Kind::String)) continue;
        std::u32string one = kelp::to_u32(kelp::str_view(s));
        if (one.size() == 1) opts.comment_chars += one;
      }
    }
  }
  return opts;
}

void put_string(std::string& out, std::u32string_view s) {
  out += orrery::mcp::encode(kelp::make_string(kelp::to_utf8(s)));
}

void put_char(std::string& out, char32_t c) { put_string(out, c ? std::u32string(1, c) : std::u32string()); }

void put_int(std::string& out, std::optional<int64_t> v) { out += v ? std::to_string(*v) : "null"; }

void put_trail(std::string& out, const pi::ParenTrail& t) {
  out += "{\"lineNo\":" + std::to_string(t.line_no) + ",\"startX\":" + std::to_string(t.start_x) +
         ",\"endX\":" + std::to_string(t.end_x) + "}";
}

void put_parens(std::string& out, const std::vector<pi::Paren>& parens) {
  out += '[';
  for (size_t i = 0; i < parens.size(); ++i) {
    const pi::Paren& p = parens[i];
    if (i) out += ',';
    out += "{\"lineNo\":" + std::to_string(p.line_no) + ",\"x\":" + std::to_string(p.x) + ",\"ch\":";
    put_char(out, p.ch);
    out += ",\"indentDelta\":" + std::to_string(p.indent_delta) + ",\"maxChildIndent\":" +
           std::to_string(p.max_child_indent);
    if (p.arg_x) out += ",\"argX\":" + std::to_string(*p.arg_x);
    out += ",\"inputLineNo\":" + std::to_string(p.input_line_no) + ",\"inputX\":" + std::to_string(p.input_x);
    out += ",\"children\":";
    put_parens(out, p.children);
    out += ",\"closer\":{\"lineNo\":" + std::to_string(p.closer.line_no) + ",\"x\":" + std::to_string(p.closer.x) +
           ",\"ch\":";
    put_char(out, p.closer.ch);
    if (p.closer.trail) {
      out += ",\"trail\":";
      put_trail(out, *p.closer.trail);
    }
    out += "}}";
  }
  out += ']';
}

std::string encode(const pi::Result& r) {
  std::string out = "{\"success\":";
  out += r.success ? "true" : "false";
  out += ",\"text\":";
  put_string(out, r.text);
  out += ",\"cursorX\":";
  put_int(out, r.cursor_x);
  out += ",\"cursorLine\":";
  put_int(out, r.cursor_line);
  out += ",\"error\":";
  if (r.error) {
    out += "{\"name\":\"" + std::string(pi::error_name(r.error->name)) + "\",\"message\":";
    put_string(out, kelp::to_u32(r.error->message));
    out += ",\"lineNo\":" + std::to_string(r.error->line_no) + ",\"x\":" + std::to_string(r.error->x) + ",\"extra\":";
    if (r.error->extra) {
      out += "{\"name\":\"" + std::string(pi::error_name(r.error->extra->name)) + "\",\"lineNo\":" +
             std::to_string(r.error->extra->line_no) + ",\"x\":" + std::to_string(r.error->extra->x) + "}";
    } else {
      out += "null";
    }
    out += '}';
  } else {
    out += "null";
  }
  out += ",\"tabStops\":";
  if (r.tab_stops.empty()) {
    out += "null";
  } else {
    out += '[';
    for (size_t i = 0; i < r.tab_stops.size(); ++i) {
      const pi::TabStop& t = r.tab_stops[i];
      if (i) out += ',';
      out += "{\"ch\":";
      put_char(out, t.ch);
      out += ",\"x\":" + std::to_string(t.x) + ",\"lineNo\":" + std::to_string(t.line_no);
      out += ",\"argX\":";
      put_int(out, t.arg_x);
      out += '}';
    }
    out += ']';
  }
  out += ",\"parenTrails\":";
  if (r.paren_trails) {
    out += '[';
    for (size_t i = 0; i < r.paren_trails->size(); ++i) {
      if (i) out += ',';
      put_trail(out, (*r.paren_trails)[i]);
    }
    out += ']';
  } else {
    out += "null";
  }
  if (r.parens) {
    out += ",\"parens\":";
    put_parens(out, *r.parens);
  }
  out += '}';
  return out;
}

pi::Result run(const std::string& line) {
  Value req = orrery::mcp::decode(line);
  std::u32string text = string_member(req, "text");
  const Value* opts_value = member(req, "options");
  pi::Options opts = opts_value ? read_options(*opts_value) : pi::Options{};
  std::u32string mode = string_member(req, "mode");
  if (mode == U"paren") return pi::paren_mode(text, opts);
  if (mode == U"smart") return pi::smart_mode(text, opts);
  if (mode == U"indent") return pi::indent_mode(text, opts);
  throw std::runtime_error("unknown mode");
}

}  // namespace

// --time-indent FILE N: the engine alone, Indent mode over FILE N times; prints the median milliseconds of a call.
int time_indent(const char* file, int rounds) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::u32string text = kelp::to_u32(ss.str());
  std::vector<double> ms;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    pi::Result r = pi::indent_mode(text);
    const auto t1 = std::chrono::steady_clock::now();
    if (!r.success) return 1;
    ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  std::cout << ms[ms.size() / 2] << '\n';
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && std::string_view(argv[1]) == "--time-indent") return time_indent(argv[2], std::atoi(argv[3]));
  std::ios::sync_with_stdio(false);
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    std::string out;
    try {
      out = encode(run(line));
    } catch (const std::exception& e) {
      pi::Result r;
      r.error = pi::Error{pi::ErrorName::Unhandled, e.what(), 0, 0, std::nullopt};
      out = encode(r);
    }
    std::cout << out << '\n' << std::flush;
  }
  return 0;
}
