// Names in a buffer without a running program, and with the in-process runtime where it knows more: where a name
// is defined in the text, its docstring and argument lists, a documentation entry as the completion popup's preview
// text, the word the caret is completing and which completion candidates to offer in which order.
// Everything is a function of code-point text and offsets except the runtime lookups (var resolution, a namespace's
// public names, clojure.core's names), which read kelp's namespaces and vars.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"
#include "orrery/syntax.hpp"

namespace orrery {

// Heads of forms that define a name, and those of them (plus fn, fn*) whose forms carry argument vectors.
std::span<const std::u32string_view> def_forms();
std::span<const std::u32string_view> fn_def_forms();
bool is_def_form(std::u32string_view head);
bool is_fn_def_form(std::u32string_view head);

enum class DefKind { Def, Local };

struct DefinitionHit {
  std::u32string symbol;
  Offset start = 0;  // the defined name's token
  Offset end = 0;
  int64_t line = 1;
  DefKind kind = DefKind::Def;
  std::u32string form;  // the defining head ("defn"); only find_definitions fills it
  bool operator==(const DefinitionHit&) const = default;
};

// The first def form in text order (at any depth) naming name, after any metatags; else, when pos is given, the
// last plain symbol token equal to name that starts before pos, as a local. Nothing for a blank name.
std::optional<DefinitionHit> find_definition(std::u32string_view text, std::u32string_view name,
                                             std::optional<Offset> pos = std::nullopt);
// Every def form naming name, in text order, with its head.
std::vector<DefinitionHit> find_definitions(std::u32string_view text, std::u32string_view name);

struct BufferDefMeta {
  std::optional<std::u32string> doc{};       // the docstring's text between its quotes, not unescaped
  std::optional<std::u32string> arglists{};  // "([x] [x y])"
  bool operator==(const BufferDefMeta&) const = default;
};

// The docstring and argument lists of the def form a :def hit names; nothing for a local or when the hit does not
// sit after a def head inside a closed form.
std::optional<BufferDefMeta> extract_buffer_def_meta(std::u32string_view text, const DefinitionHit& hit);

enum class DocStatus { Found, BufferDef, NotFound };

// A documentation entry. Text is UTF-8: it comes from the runtime and goes to the screen.
struct DocMap {
  DocStatus status = DocStatus::NotFound;
  std::string symbol{};
  std::optional<std::string> ns{};
  std::optional<std::string> name{};
  std::optional<std::string> arglists{};  // printed: "([x] [x y])"
  std::optional<std::string> doc{};
  bool is_macro = false;
  bool special_form = false;
  std::optional<std::string> file{};  // a runtime var's: "unknown" when the runtime has none
  std::optional<int64_t> line{};
  std::optional<DefKind> kind{};  // a buffer definition's
  bool operator==(const DocMap&) const = default;
};

// The namespace runtime lookups resolve names in when the caller names none.
inline constexpr std::string_view DEFAULT_NS = "user";

// What the in-process runtime knows of name: a var it resolves to from namespace ns (an alias or namespace before a
// slash is followed), else a special form. Nothing for a blank or unknown name.
std::optional<DocMap> runtime_doc(std::u32string_view name, std::string_view ns = DEFAULT_NS);
// The runtime's answer, else the buffer definition of name in text (when given), else :not-found; nothing for a
// blank name.
std::optional<DocMap> get_symbol_doc(std::u32string_view name, std::optional<std::u32string_view> text = std::nullopt,
                                     std::optional<Offset> pos = std::nullopt, std::string_view ns = DEFAULT_NS);

enum class Category { User, Special, Builtin };

struct DocFormatOptions {
  std::optional<Category> category{};
  std::optional<std::string> symbol{};
};

// The completion popup's documentation preview.
std::string format_autocomplete_doc(const std::optional<DocMap>& doc, const DocFormatOptions& opts = {});

struct SymbolSpan {
  std::u32string name;
  Offset start = 0;
  Offset end = 0;
  bool operator==(const SymbolSpan&) const = default;
};

struct BufferSymbols {
  std::set<std::u32string> defs;               // names def forms define
  std::vector<SymbolSpan> spans;               // every plain symbol token, in text order
  std::set<std::u32string> all_tokens;         // their names
  std::map<std::u32string, int64_t> token_counts;
  int64_t timestamp = 0;                       // milliseconds, set when cached
};

BufferSymbols extract_text_symbols(std::u32string_view text);
// Through a process-wide cache keyed by the text's hash, holding at most BUFFER_SYMBOLS_CACHE_SIZE texts (the
// oldest leave first). A blank text answers empty symbols, uncached.
inline constexpr size_t BUFFER_SYMBOLS_CACHE_SIZE = 32;
std::shared_ptr<const BufferSymbols> get_cached_or_compute_buffer_symbols(std::u32string_view text);
// The cache's entry for text, without computing one.
std::shared_ptr<const BufferSymbols> cached_buffer_symbols(std::u32string_view text);
size_t buffer_symbols_cache_count();
std::set<std::u32string> find_buffer_definitions(std::u32string_view text);

// Whether c can be part of a symbol: anything but whitespace and ()[]{}"'`~@^\,;:
bool is_symbol_char(char32_t c);

struct SymbolPrefix {
  std::u32string prefix;
  Offset start = 0;
  Offset end = 0;       // pos, clamped to the text
  Offset word_end = 0;  // the end of the word the caret is in
  bool operator==(const SymbolPrefix&) const = default;
};

SymbolPrefix get_symbol_prefix_at_pos(std::u32string_view text, Offset pos);

struct Candidate {
  std::u32string symbol;
  Category category = Category::User;
  bool operator==(const Candidate&) const = default;
};

struct CompletionQuery {
  std::u32string prefix;
  std::optional<std::u32string> text;  // the buffer
  std::optional<Offset> pos;           // the caret in it
  // Other text whose definitions and words count as the user's (other open buffers, say); asked once.
  std::function<std::optional<std::u32string>()> extra_context;
  std::string ns{DEFAULT_NS};  // the runtime namespace whose public names count as the user's
};

// The runtime's special forms and builtins (clojure.core's public names among them), in their stored order:
// special forms first, then by lower-cased name, then name. Built once.
const std::vector<Candidate>& static_candidates();
std::vector<Candidate> get_autocomplete_candidates(const CompletionQuery& query);

// Kelp data at the evaluator's edge. A documentation map has keyword keys :status (:found :buffer-def :not-found)
// :symbol :ns :name :arglists :doc :macro? :special-form :file :line :kind, the absent ones left out.
kelp::Value doc_map_value(const DocMap& doc);
// Back from such a map; nothing for anything that is not a map.
std::optional<DocMap> doc_map_of(const kelp::Value& v);
// [{:candidate "map" :type :builtin} ...], :type one of :user :special :builtin.
kelp::Value candidates_value(const std::vector<Candidate>& candidates);

}  // namespace orrery
