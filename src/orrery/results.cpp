#include "orrery/results.hpp"

#include <algorithm>
#include <array>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"

namespace orrery::results {

namespace {

constexpr std::array<Verb, 5> VAR_VERBS{Verb::Inspect, Verb::Copy, Verb::Define, Verb::Jump, Verb::Doc};
constexpr std::array<Verb, 3> VALUE_VERBS{Verb::Inspect, Verb::Copy, Verb::Define};

constexpr std::string_view VAR_PREFIX = "=> #'";
constexpr std::string_view RESULT_PREFIX = "=> ";

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool is_blank_line(std::string_view line) { return std::all_of(line.begin(), line.end(), is_space); }

}  // namespace

std::string_view verb_name(Verb v) {
  switch (v) {
    case Verb::Inspect: return "inspect";
    case Verb::Copy: return "copy";
    case Verb::Define: return "define";
    case Verb::Jump: return "jump";
    case Verb::Doc: return "doc";
    case Verb::OpenLocation: return "open-location";
  }
  return "inspect";
}

std::span<const Verb> verbs(std::string_view kind) {
  if (kind == "var") return VAR_VERBS;
  return VALUE_VERBS;
}

bool is_offered(std::string_view kind, Verb verb) {
  auto vs = verbs(kind);
  return std::find(vs.begin(), vs.end(), verb) != vs.end();
}

std::string_view label(Verb verb) {
  switch (verb) {
    case Verb::Inspect: return "Inspect This Result";
    case Verb::Copy: return "Copy This Result";
    case Verb::Define: return "Define a Var for This Result";
    case Verb::Jump: return "Jump to This Var";
    case Verb::Doc: return "Quick Doc for This Var";
    case Verb::OpenLocation: return "Open This File and Line";
  }
  return "";
}

std::optional<EditInput> define_input(const kelp::Value& ref) {
  if (!kelp::is_map(ref)) return std::nullopt;
  const kelp::Value* id = kelp::get(ref, kelp::keyword("id"));
  if (!id || id->is_nil()) return std::nullopt;
  const kelp::Value* epoch = kelp::get(ref, kelp::keyword("epoch"));
  std::string text = "(def  (orrery.results-rt/value! ";
  text += kelp::pr_str(epoch ? *epoch : kelp::Value());
  text += ' ';
  text += kelp::pr_str(*id);
  text += "))";
  return EditInput{std::move(text), 5};
}

std::optional<std::string> var_name(std::string_view line) {
  if (!line.starts_with(VAR_PREFIX)) return std::nullopt;
  std::string_view rest = line.substr(VAR_PREFIX.size());
  auto end = std::find_if(rest.begin(), rest.end(), is_space);
  if (end == rest.begin()) return std::nullopt;
  return std::string(rest.begin(), end);
}

std::string doc_console_text(std::string_view doc) {
  // Lines as split-lines sees them: "\n" or "\r\n" ends a line, and a final line ending adds no empty line.
  std::string out;
  size_t pos = 0;
  do {
    size_t nl = doc.find('\n', pos);
    std::string_view line = doc.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (is_blank_line(line)) {
      out += ";\n";
    } else {
      out += "; ";
      out += line;
      out += '\n';
    }
    pos = nl == std::string_view::npos ? doc.size() : nl + 1;
  } while (pos < doc.size());
  return out;
}

std::string copy_text(std::string_view line) {
  if (line.starts_with(RESULT_PREFIX)) line.remove_prefix(RESULT_PREFIX.size());
  if (line.ends_with('\n')) line.remove_suffix(1);
  return std::string(line);
}

}  // namespace orrery::results
