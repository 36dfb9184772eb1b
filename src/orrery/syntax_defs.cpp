#include "orrery/syntax_defs.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cwctype>
#include <unordered_map>

#include "kelp/compile/compiler.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/kelp.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/var.hpp"
#include "orrery/dialect.hpp"

namespace orrery {

namespace {

constexpr std::array<std::u32string_view, 13> DEF_FORMS = {
    U"def",      U"defn",     U"defn-",       U"defmacro", U"defmulti", U"defmethod",    U"defonce",
    U"defprotocol", U"defrecord", U"deftype", U"deftest", U"defstruct", U"definterface"};
constexpr std::array<std::u32string_view, 8> FN_DEF_FORMS = {U"defn",      U"defn-",   U"defmacro", U"defmulti",
                                                             U"defmethod", U"deftest", U"fn",       U"fn*"};

// What a def puts in :file when the code came from no file: no file to show.
constexpr std::string_view NO_SOURCE = "NO_SOURCE_PATH";
constexpr std::string_view UNKNOWN_FILE = "unknown";

std::u32string_view slice(std::u32string_view text, Offset start, Offset end) {
  return text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}
std::u32string_view token_text(std::u32string_view text, const Token& t) { return slice(text, t.start, t.end); }
bool is_bracket_char(std::u32string_view text, const Token& t, char32_t c) {
  return t.type == TokenType::Bracket && text[static_cast<size_t>(t.start)] == c;
}

Tokens tokens_without_comments(std::u32string_view text) {
  Tokens tokens = tokenize(text);
  std::erase_if(tokens, [](const Token& t) { return t.type == TokenType::Comment; });
  return tokens;
}

size_t skip_metatags(const Tokens& tokens, size_t i) {
  while (i < tokens.size() && tokens[i].type == TokenType::Metatag) ++i;
  return i;
}

// The token after a `(` + def head (skipping metatags) when tokens[i] opens such a form: its index and the head.
struct DefSite {
  size_t name_index;
  std::u32string_view head;
};
std::optional<DefSite> def_site_at(std::u32string_view text, const Tokens& tokens, size_t i) {
  if (!is_bracket_char(text, tokens[i], U'(') || i + 1 >= tokens.size()) return std::nullopt;
  std::u32string_view head = token_text(text, tokens[i + 1]);
  if (!is_def_form(head)) return std::nullopt;
  size_t j = skip_metatags(tokens, i + 2);
  if (j >= tokens.size()) return std::nullopt;
  return DefSite{j, head};
}

// Every def hit of name in text order; only the first when first_only.
std::vector<DefinitionHit> def_hits(std::u32string_view text, std::u32string_view name, bool first_only) {
  std::vector<DefinitionHit> hits;
  if (is_blank(name)) return hits;
  Tokens tokens = tokens_without_comments(text);
  for (size_t i = 0; i < tokens.size(); ++i) {
    std::optional<DefSite> site = def_site_at(text, tokens, i);
    if (!site) continue;
    const Token& t = tokens[site->name_index];
    if (t.type != TokenType::Symbol || token_text(text, t) != name) continue;
    hits.push_back({std::u32string(name), t.start, t.end, line_number_at_offset(text, t.start), DefKind::Def,
                    first_only ? std::u32string() : std::u32string(site->head)});
    if (first_only) break;
  }
  return hits;
}

std::optional<Offset> partner(const Brackets& b, Offset at) {
  auto it = b.matches.find(at);
  if (it == b.matches.end()) return std::nullopt;
  return it->second;
}

// The first token index at or after from whose start is at or past end.
size_t index_at_or_after(const Tokens& tokens, size_t from, Offset end) {
  while (from < tokens.size() && tokens[from].start < end) ++from;
  return from;
}

// The index of the first token after tokens[i] and whatever it encloses.
size_t next_sibling(std::u32string_view text, const Tokens& tokens, const Brackets& b, size_t i, Offset form_end) {
  const Token& t = tokens[i];
  if (t.type != TokenType::Bracket || !is_opener(text[static_cast<size_t>(t.start)])) return i + 1;
  return index_at_or_after(tokens, i + 1, partner(b, t.start).value_or(form_end) + 1);
}

// ([x] x) ([x y] y): each branch's first vector, joined; "[]" for a vector never closed.
std::optional<std::u32string> branch_arglists(std::u32string_view text, const Tokens& tokens, const Brackets& b,
                                              size_t i, Offset form_end) {
  std::vector<std::u32string> vectors;
  for (; i < tokens.size() && tokens[i].start < form_end; i = next_sibling(text, tokens, b, i, form_end)) {
    if (!is_bracket_char(text, tokens[i], U'(')) continue;
    Offset close = partner(b, tokens[i].start).value_or(form_end);
    for (size_t k = i + 1; k < tokens.size() && tokens[k].start < close; ++k) {
      if (!is_bracket_char(text, tokens[k], U'[')) continue;
      std::optional<Offset> vec_end = partner(b, tokens[k].start);
      vectors.emplace_back(vec_end ? slice(text, tokens[k].start, *vec_end + 1) : U"[]");
      break;
    }
  }
  if (vectors.empty()) return std::nullopt;
  std::u32string out = U"(";
  for (size_t k = 0; k < vectors.size(); ++k) out += (k ? U" " : U"") + vectors[k];
  return out + U")";
}

std::optional<std::u32string> arglists_at(std::u32string_view text, const Tokens& tokens, const Brackets& b, size_t i,
                                          Offset form_end) {
  if (i >= tokens.size() || tokens[i].start >= form_end) return std::nullopt;
  if (is_bracket_char(text, tokens[i], U'[')) {
    std::optional<Offset> end = partner(b, tokens[i].start);
    if (!end) return std::nullopt;
    return U"(" + std::u32string(slice(text, tokens[i].start, *end + 1)) + U")";
  }
  if (is_bracket_char(text, tokens[i], U'(')) return branch_arglists(text, tokens, b, i, form_end);
  return std::nullopt;
}

std::string utf8(std::u32string_view s) { return kelp::to_utf8(s); }

// ---------------------------------------------------------------------------------------------------------------
// The runtime.

bool is_var(const kelp::Value& v) { return v.is(kelp::Kind::Var); }

kelp::rt::Namespace* namespace_or_user(std::string_view ns) {
  kelp::boot();
  kelp::rt::Namespace* found = kelp::rt::find_ns(ns);
  return found ? found : kelp::rt::find_ns(DEFAULT_NS);
}

// The var sym names from ns: through an alias or namespace before a slash, else ns's own mappings; or nil.
kelp::Value resolve_var(kelp::rt::Namespace& ns, std::string_view sym) {
  size_t slash = sym.find('/');
  if (slash != std::string_view::npos && slash > 0 && slash + 1 < sym.size()) {
    std::string_view ns_part = sym.substr(0, slash);
    kelp::rt::Namespace* target = ns.lookup_alias(ns_part);
    if (!target) target = kelp::rt::find_ns(ns_part);
    return target ? target->find_interned(kelp::symbol(sym.substr(slash + 1))) : kelp::Value();
  }
  kelp::Value found = ns.find(kelp::symbol(sym));
  return is_var(found) ? found : kelp::Value();
}

const kelp::Value* meta_field(const kelp::Value& meta, std::string_view key) {
  return kelp::is_map(meta) ? kelp::get(meta, kelp::keyword(key)) : nullptr;
}
std::optional<std::string> meta_string(const kelp::Value& meta, std::string_view key) {
  const kelp::Value* v = meta_field(meta, key);
  if (!v || !v->is(kelp::Kind::String)) return std::nullopt;
  return std::string(kelp::str_view(*v));
}

DocMap var_doc(std::string symbol, const kelp::rt::Var& var) {
  kelp::Value meta = var.meta();
  DocMap d;
  d.status = DocStatus::Found;
  d.symbol = std::move(symbol);
  d.ns = var.ns() ? std::string(var.ns()->name_str()) : "clojure.core";
  d.name = std::string(var.sym().as<kelp::Symbol>().name());
  const kelp::Value* arglists = meta_field(meta, "arglists");
  if (arglists && !arglists->is_nil()) d.arglists = kelp::pr_str(*arglists);
  d.doc = meta_string(meta, "doc");
  d.is_macro = var.is_macro();
  std::optional<std::string> file = meta_string(meta, "file");
  d.file = file && *file != NO_SOURCE && !file->empty() ? *file : std::string(UNKNOWN_FILE);
  const kelp::Value* line = meta_field(meta, "line");
  if (line && line->is_int()) d.line = line->as_int();
  return d;
}

bool is_special_name(std::u32string_view name) {
  if (is_special_form_word(name)) return true;
  return kelp::compile::is_special(kelp::symbol(utf8(name)));
}

// Public vars interned in ns (not those it refers to).
std::vector<std::u32string> public_names(kelp::rt::Namespace& ns) {
  std::vector<std::u32string> names;
  for (const auto& [sym, target] : ns.mappings()) {
    if (!is_var(target)) continue;
    const kelp::rt::Var& var = kelp::rt::as_var(target);
    if (var.ns() != &ns || var.is_private()) continue;
    names.push_back(kelp::to_u32(sym.as<kelp::Symbol>().name()));
  }
  return names;
}

// ---------------------------------------------------------------------------------------------------------------
// Completion.

char32_t lower(char32_t c) { return static_cast<char32_t>(std::towlower(static_cast<wint_t>(c))); }
std::u32string lowered(std::u32string_view s) {
  std::u32string out(s);
  for (char32_t& c : out) c = lower(c);
  return out;
}
bool starts_with_ignoring_case(std::u32string_view name, std::u32string_view lower_prefix) {
  if (name.size() < lower_prefix.size()) return false;
  for (size_t i = 0; i < lower_prefix.size(); ++i)
    if (lower(name[i]) != lower_prefix[i]) return false;
  return true;
}

struct StaticTable {
  std::vector<Candidate> all;  // stored order
  std::unordered_map<char32_t, std::vector<Candidate>> buckets;
  std::set<std::u32string> names;
};

const StaticTable& static_table() {
  static const StaticTable table = [] {
    const dialect::Profile* kelp_profile = dialect::profile(dialect::profiles(), "kelp");
    std::map<std::u32string, Category> by_name;
    std::vector<std::string> builtins(kelp_profile->builtins.begin(), kelp_profile->builtins.end());
    kelp::boot();
    if (kelp::rt::Namespace* core = kelp::rt::find_ns("clojure.core"))
      for (const std::u32string& n : public_names(*core)) builtins.push_back(utf8(n));
    for (const std::string& n : builtins) by_name.emplace(kelp::to_u32(n), Category::Builtin);
    for (const std::string& n : kelp_profile->special_forms) by_name[kelp::to_u32(n)] = Category::Special;
    StaticTable t;
    for (auto& [name, category] : by_name) t.all.push_back({name, category});
    std::sort(t.all.begin(), t.all.end(), [](const Candidate& a, const Candidate& b) {
      return std::tuple(a.category != Category::Special, lowered(a.symbol), a.symbol) <
             std::tuple(b.category != Category::Special, lowered(b.symbol), b.symbol);
    });
    for (const Candidate& c : t.all) {
      t.names.insert(c.symbol);
      if (!c.symbol.empty()) t.buckets[lower(c.symbol[0])].push_back(c);
    }
    return t;
  }();
  return table;
}

// The span holding pos (start <= pos <= end), by binary search over spans in text order.
const SymbolSpan* span_at(const std::vector<SymbolSpan>& spans, Offset pos) {
  auto it = std::upper_bound(spans.begin(), spans.end(), pos,
                             [](Offset p, const SymbolSpan& s) { return p < s.start; });
  if (it == spans.begin()) return nullptr;
  --it;
  return pos <= it->end ? &*it : nullptr;
}

int category_rank(Category c) { return static_cast<int>(c); }

// The user's names: definitions, the runtime namespace's public names and the words of the texts that are not
// special forms or builtins, minus the word being typed.
std::set<std::u32string> user_names(const CompletionQuery& q) {
  const StaticTable& table = static_table();
  std::set<std::u32string> names;
  auto add_words = [&](const std::set<std::u32string>& words, const std::set<std::u32string>& dropped) {
    for (const std::u32string& w : words)
      if (!dropped.contains(w) && !table.names.contains(w) && !is_special_name(w)) names.insert(w);
  };
  if (q.text) {
    std::shared_ptr<const BufferSymbols> buffer = get_cached_or_compute_buffer_symbols(*q.text);
    names.insert(buffer->defs.begin(), buffer->defs.end());
    std::set<std::u32string> dropped{q.prefix};
    if (q.pos) {
      if (const SymbolSpan* typed = span_at(buffer->spans, *q.pos)) {
        auto count = buffer->token_counts.find(typed->name);
        if (count != buffer->token_counts.end() && count->second == 1) dropped.insert(typed->name);
      }
    }
    add_words(buffer->all_tokens, dropped);
  }
  if (q.extra_context) {
    if (std::optional<std::u32string> extra = q.extra_context()) {
      std::shared_ptr<const BufferSymbols> more = get_cached_or_compute_buffer_symbols(*extra);
      names.insert(more->defs.begin(), more->defs.end());
      add_words(more->all_tokens, {});
    }
  }
  if (kelp::rt::Namespace* ns = namespace_or_user(q.ns))
    for (std::u32string& n : public_names(*ns)) names.insert(std::move(n));
  return names;
}

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The buffer symbols cache: one immutable map replaced whole by compare-and-swap. Entries carry an insertion
// number besides the timestamp so that texts cached within one millisecond still leave oldest first.
struct CacheEntry {
  std::shared_ptr<const BufferSymbols> symbols;
  uint64_t seq = 0;
};
using SymbolsCache = std::unordered_map<size_t, CacheEntry>;
std::atomic<std::shared_ptr<const SymbolsCache>> symbols_cache{std::make_shared<const SymbolsCache>()};
std::atomic<uint64_t> cache_seq{0};

size_t text_hash(std::u32string_view text) { return std::hash<std::u32string_view>{}(text); }

std::shared_ptr<const SymbolsCache> with_entry(const SymbolsCache& cache, size_t key, CacheEntry entry) {
  auto next = std::make_shared<SymbolsCache>(cache);
  (*next)[key] = std::move(entry);
  while (next->size() > BUFFER_SYMBOLS_CACHE_SIZE) {
    auto oldest = std::min_element(next->begin(), next->end(), [](const auto& a, const auto& b) {
      return std::pair(a.second.symbols->timestamp, a.second.seq) < std::pair(b.second.symbols->timestamp, b.second.seq);
    });
    next->erase(oldest);
  }
  return next;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// Definitions.

std::span<const std::u32string_view> def_forms() { return DEF_FORMS; }
std::span<const std::u32string_view> fn_def_forms() { return FN_DEF_FORMS; }
bool is_def_form(std::u32string_view head) {
  return std::find(DEF_FORMS.begin(), DEF_FORMS.end(), head) != DEF_FORMS.end();
}
bool is_fn_def_form(std::u32string_view head) {
  return std::find(FN_DEF_FORMS.begin(), FN_DEF_FORMS.end(), head) != FN_DEF_FORMS.end();
}

std::optional<DefinitionHit> find_definition(std::u32string_view text, std::u32string_view name,
                                             std::optional<Offset> pos) {
  if (is_blank(name)) return std::nullopt;
  std::vector<DefinitionHit> hits = def_hits(text, name, true);
  if (!hits.empty()) return hits.front();
  if (!pos) return std::nullopt;
  Tokens tokens = tokens_without_comments(text);
  for (auto it = tokens.rbegin(); it != tokens.rend(); ++it) {
    if (it->start >= *pos || it->type != TokenType::Symbol || token_text(text, *it) != name) continue;
    return DefinitionHit{std::u32string(name), it->start, it->end, line_number_at_offset(text, it->start),
                         DefKind::Local, {}};
  }
  return std::nullopt;
}

std::vector<DefinitionHit> find_definitions(std::u32string_view text, std::u32string_view name) {
  return def_hits(text, name, false);
}

std::optional<BufferDefMeta> extract_buffer_def_meta(std::u32string_view text, const DefinitionHit& hit) {
  if (hit.kind != DefKind::Def) return std::nullopt;
  Tokens tokens = tokens_without_comments(text);
  auto found = std::find_if(tokens.begin(), tokens.end(), [&](const Token& t) { return t.start == hit.start; });
  if (found == tokens.end()) return std::nullopt;
  size_t name_index = static_cast<size_t>(found - tokens.begin());
  size_t k = name_index;
  while (k > 0 && tokens[k - 1].type == TokenType::Metatag) --k;
  if (k < 2 || !is_def_form(token_text(text, tokens[k - 1])) || !is_bracket_char(text, tokens[k - 2], U'('))
    return std::nullopt;
  std::u32string_view head = token_text(text, tokens[k - 1]);
  Brackets b = analyse_brackets(text, tokenize(text));
  std::optional<Offset> form_end = partner(b, tokens[k - 2].start);
  if (!form_end) return std::nullopt;

  BufferDefMeta meta;
  size_t i = skip_metatags(tokens, name_index + 1);
  if (i < tokens.size() && tokens[i].start < *form_end && tokens[i].type == TokenType::String) {
    std::u32string_view s = token_text(text, tokens[i]);
    s.remove_prefix(1);
    if (!s.empty() && s.back() == U'"') s.remove_suffix(1);
    meta.doc = std::u32string(s);
    i = skip_metatags(tokens, i + 1);
  }
  if (is_fn_def_form(head)) meta.arglists = arglists_at(text, tokens, b, i, *form_end);
  return meta;
}

// ---------------------------------------------------------------------------------------------------------------
// Documentation.

std::optional<DocMap> runtime_doc(std::u32string_view name, std::string_view ns) {
  if (is_blank(name)) return std::nullopt;
  std::string sym = utf8(name);
  if (kelp::rt::Namespace* home = namespace_or_user(ns)) {
    kelp::Value var = resolve_var(*home, sym);
    if (is_var(var)) return var_doc(sym, kelp::rt::as_var(var));
  }
  // kelp keeps no documentation of its special forms, so the entry holds just the name.
  if (is_special_name(name)) {
    DocMap d;
    d.status = DocStatus::Found;
    d.symbol = sym;
    d.name = sym;
    d.special_form = true;
    return d;
  }
  return std::nullopt;
}

std::optional<DocMap> get_symbol_doc(std::u32string_view name, std::optional<std::u32string_view> text,
                                     std::optional<Offset> pos, std::string_view ns) {
  if (is_blank(name)) return std::nullopt;
  if (std::optional<DocMap> known = runtime_doc(name, ns)) return known;
  DocMap d;
  d.symbol = utf8(name);
  if (!text) return d;
  std::optional<DefinitionHit> hit = find_definition(*text, name, pos);
  if (!hit) return d;
  d.status = DocStatus::BufferDef;
  d.line = hit->line;
  d.kind = hit->kind;
  if (std::optional<BufferDefMeta> meta = extract_buffer_def_meta(*text, *hit)) {
    if (meta->doc) d.doc = utf8(*meta->doc);
    if (meta->arglists) d.arglists = utf8(*meta->arglists);
  }
  return d;
}

namespace {

std::string trimmed(std::string_view s) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return std::string(s);
}

std::string doc_header(const DocMap& d, const DocFormatOptions& opts) {
  std::string name = d.name.value_or(d.symbol);
  std::string qualified = d.ns ? *d.ns + "/" + name : name;
  if (d.special_form || opts.category == Category::Special) return name + "  [special form]";
  if (d.is_macro) return qualified + "  [macro]";
  if (d.status == DocStatus::BufferDef)
    return name + "  [buffer def" + (d.line ? ", line " + std::to_string(*d.line) : "") + "]";
  return qualified;
}

}  // namespace

std::string format_autocomplete_doc(const std::optional<DocMap>& doc, const DocFormatOptions& opts) {
  if (!doc || doc->status == DocStatus::NotFound) {
    std::string name = opts.symbol.value_or(doc ? doc->symbol : std::string());
    return name + "\n\n(No documentation found)";
  }
  std::string out = doc_header(*doc, opts);
  if (doc->arglists && !trimmed(*doc->arglists).empty()) out += "\n" + *doc->arglists;
  out += "\n" + std::string(40, '-') + "\n";
  std::string body = doc->doc ? trimmed(*doc->doc) : std::string();
  return out + (body.empty() ? "(No documentation string)" : body);
}

// ---------------------------------------------------------------------------------------------------------------
// Buffer symbols.

BufferSymbols extract_text_symbols(std::u32string_view text) {
  BufferSymbols out;
  Tokens tokens = tokens_without_comments(text);
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (std::optional<DefSite> site = def_site_at(text, tokens, i); site && is_symbol_like(tokens[site->name_index].type))
      out.defs.emplace(token_text(text, tokens[site->name_index]));
    if (tokens[i].type != TokenType::Symbol) continue;
    std::u32string name(token_text(text, tokens[i]));
    out.spans.push_back({name, tokens[i].start, tokens[i].end});
    ++out.token_counts[name];
    out.all_tokens.insert(std::move(name));
  }
  return out;
}

std::shared_ptr<const BufferSymbols> get_cached_or_compute_buffer_symbols(std::u32string_view text) {
  if (is_blank(text)) return std::make_shared<const BufferSymbols>();
  size_t key = text_hash(text);
  std::shared_ptr<const SymbolsCache> cache = symbols_cache.load();
  if (auto hit = cache->find(key); hit != cache->end()) return hit->second.symbols;
  auto computed = std::make_shared<BufferSymbols>(extract_text_symbols(text));
  computed->timestamp = now_ms();
  CacheEntry entry{computed, cache_seq.fetch_add(1)};
  while (!symbols_cache.compare_exchange_weak(cache, with_entry(*cache, key, entry))) {
  }
  return computed;
}

std::shared_ptr<const BufferSymbols> cached_buffer_symbols(std::u32string_view text) {
  std::shared_ptr<const SymbolsCache> cache = symbols_cache.load();
  auto hit = cache->find(text_hash(text));
  return hit == cache->end() ? nullptr : hit->second.symbols;
}

size_t buffer_symbols_cache_count() { return symbols_cache.load()->size(); }

std::set<std::u32string> find_buffer_definitions(std::u32string_view text) {
  return get_cached_or_compute_buffer_symbols(text)->defs;
}

// ---------------------------------------------------------------------------------------------------------------
// The completion prefix and candidates.

bool is_symbol_char(char32_t c) {
  if (std::u32string_view(U"()[]{}\"'`~@^\\,;:").find(c) != std::u32string_view::npos) return false;
  return !is_blank(std::u32string_view(&c, 1));
}

SymbolPrefix get_symbol_prefix_at_pos(std::u32string_view text, Offset pos) {
  Offset n = static_cast<Offset>(text.size());
  Offset end = std::clamp<Offset>(pos, 0, n);
  Offset start = end;
  while (start > 0 && is_symbol_char(text[static_cast<size_t>(start - 1)])) --start;
  Offset word_end = end;
  while (word_end < n && is_symbol_char(text[static_cast<size_t>(word_end)])) ++word_end;
  return {std::u32string(slice(text, start, end)), start, end, word_end};
}

const std::vector<Candidate>& static_candidates() { return static_table().all; }

std::vector<Candidate> get_autocomplete_candidates(const CompletionQuery& q) {
  const StaticTable& table = static_table();
  bool has_prefix = !is_blank(q.prefix);
  std::u32string lower_prefix = has_prefix ? lowered(q.prefix) : std::u32string();
  std::set<std::u32string> users = user_names(q);

  std::vector<Candidate> user;
  for (const std::u32string& n : users)
    if (starts_with_ignoring_case(n, lower_prefix)) user.push_back({n, Category::User});
  std::vector<Candidate> statics;
  const std::vector<Candidate>* source = &table.all;
  if (has_prefix) {
    auto bucket = table.buckets.find(lower_prefix[0]);
    static const std::vector<Candidate> none;
    source = bucket == table.buckets.end() ? &none : &bucket->second;
  }
  for (const Candidate& c : *source)
    if (starts_with_ignoring_case(c.symbol, lower_prefix) && !users.contains(c.symbol)) statics.push_back(c);

  // Each candidate's sort key is computed once: lower-casing inside the comparison would redo it on every one.
  auto sort_by = [](std::vector<Candidate>& cs, auto key_of) {
    using Key = decltype(key_of(cs.front()));
    std::vector<std::pair<Key, size_t>> keyed;
    keyed.reserve(cs.size());
    for (size_t i = 0; i < cs.size(); ++i) keyed.emplace_back(key_of(cs[i]), i);
    std::sort(keyed.begin(), keyed.end());
    std::vector<Candidate> out;
    out.reserve(cs.size());
    for (const auto& [key, i] : keyed) out.push_back(std::move(cs[i]));
    cs = std::move(out);
  };
  if (!has_prefix) {
    if (!user.empty())
      sort_by(user, [](const Candidate& c) { return std::pair(lowered(c.symbol), c.symbol); });
    user.insert(user.end(), statics.begin(), statics.end());
    return user;
  }
  user.insert(user.end(), statics.begin(), statics.end());
  if (!user.empty()) {
    sort_by(user, [&](const Candidate& c) {
      return std::tuple(!c.symbol.starts_with(q.prefix), category_rank(c.category), lowered(c.symbol), c.symbol);
    });
  }
  return user;
}

// ---------------------------------------------------------------------------------------------------------------
// Kelp data.

namespace {

kelp::Value kw(std::string_view name) { return kelp::keyword(name); }

std::string_view status_name(DocStatus s) {
  switch (s) {
    case DocStatus::Found: return "found";
    case DocStatus::BufferDef: return "buffer-def";
    case DocStatus::NotFound: break;
  }
  return "not-found";
}

std::string_view category_name(Category c) {
  switch (c) {
    case Category::User: return "user";
    case Category::Special: return "special";
    case Category::Builtin: break;
  }
  return "builtin";
}

std::optional<std::string> string_of(const kelp::Value& m, std::string_view key) {
  const kelp::Value* v = kelp::get(m, kw(key));
  if (!v || !v->is(kelp::Kind::String)) return std::nullopt;
  return std::string(kelp::str_view(*v));
}

std::optional<std::string> keyword_of(const kelp::Value& m, std::string_view key) {
  const kelp::Value* v = kelp::get(m, kw(key));
  if (!v || !kelp::is_keyword(*v)) return std::nullopt;
  return std::string(v->as<kelp::Keyword>().name());
}

}  // namespace

kelp::Value doc_map_value(const DocMap& d) {
  std::vector<kelp::Value> kvs{kw("status"), kw(status_name(d.status)), kw("symbol"), kelp::make_string(d.symbol)};
  auto add = [&](std::string_view key, kelp::Value v) {
    kvs.push_back(kw(key));
    kvs.push_back(std::move(v));
  };
  auto add_string = [&](std::string_view key, const std::optional<std::string>& s) {
    if (s) add(key, kelp::make_string(*s));
  };
  add_string("ns", d.ns);
  add_string("name", d.name);
  add_string("arglists", d.arglists);
  add_string("doc", d.doc);
  if (d.is_macro) add("macro?", kelp::Value::boolean(true));
  if (d.special_form) add("special-form", kelp::Value::boolean(true));
  add_string("file", d.file);
  if (d.line) add("line", kelp::Value::integer(*d.line));
  if (d.kind) add("kind", kw(*d.kind == DefKind::Def ? "def" : "local"));
  return kelp::make_map(kvs);
}

std::optional<DocMap> doc_map_of(const kelp::Value& v) {
  if (!kelp::is_map(v)) return std::nullopt;
  DocMap d;
  std::optional<std::string> status = keyword_of(v, "status");
  d.status = status == "found" ? DocStatus::Found : status == "buffer-def" ? DocStatus::BufferDef
                                                                            : DocStatus::NotFound;
  // A map from elsewhere that names a var but no status still documents something.
  if (!status && kelp::get(v, kw("name"))) d.status = DocStatus::Found;
  d.symbol = string_of(v, "symbol").value_or(string_of(v, "name").value_or(""));
  d.ns = string_of(v, "ns");
  d.name = string_of(v, "name");
  d.arglists = string_of(v, "arglists");
  if (!d.arglists)
    if (const kelp::Value* a = kelp::get(v, kw("arglists")); a && !a->is_nil()) d.arglists = kelp::pr_str(*a);
  d.doc = string_of(v, "doc");
  auto flag = [&](std::string_view key) {
    const kelp::Value* f = kelp::get(v, kw(key));
    return f && f->truthy();
  };
  d.is_macro = flag("macro?") || flag("macro");
  d.special_form = flag("special-form");
  d.file = string_of(v, "file");
  if (const kelp::Value* line = kelp::get(v, kw("line")); line && line->is_int()) d.line = line->as_int();
  std::optional<std::string> kind = keyword_of(v, "kind");
  if (kind) d.kind = *kind == "local" ? DefKind::Local : DefKind::Def;
  return d;
}

kelp::Value candidates_value(const std::vector<Candidate>& candidates) {
  std::vector<kelp::Value> items;
  items.reserve(candidates.size());
  for (const Candidate& c : candidates)
    items.push_back(kelp::make_map(
        {kw("candidate"), kelp::make_string(utf8(c.symbol)), kw("type"), kw(category_name(c.category))}));
  return kelp::make_vector(items);
}

}  // namespace orrery
