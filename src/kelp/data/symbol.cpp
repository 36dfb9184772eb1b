#include "kelp/data/symbol.hpp"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "kelp/data/hash.hpp"
#include "kelp/data/string.hpp"

namespace kelp {
namespace {

// One entry per distinct namespace and name; entries are never freed, so the views in QualifiedName and the
// objects hanging off an entry stay valid for the process's life.
struct NameEntry : QualifiedName {
  std::string storage;  // "ns/name" or "name"
  uint64_t hash = 0;     // the table's hash of (has_ns, ns, name)
  const Keyword* keyword = nullptr;
  const Symbol* plain_symbol = nullptr;
};

// An open-addressed table of entries keyed by (has_ns, ns, name); a lookup hashes and compares the views it is
// given, allocating nothing.
class NameTable {
 public:
  NameTable() : slots_(4096, nullptr) {}

  NameEntry* intern(std::string_view ns, std::string_view name, bool has_ns) {
    if (!has_ns) ns = {};
    const uint64_t h = hash_of(ns, name, has_ns);
    std::lock_guard lock(mutex_);
    size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      NameEntry* e = slots_[i];
      if (!e) break;
      if (e->hash == h && e->has_ns == has_ns && e->name == name && e->ns == ns) return e;
    }
    NameEntry& e = entries_.emplace_back();
    e.hash = h;
    e.storage.reserve(ns.size() + name.size() + 1);
    e.storage.append(ns);
    if (has_ns) e.storage.push_back('/');
    e.storage.append(name);
    e.has_ns = has_ns;
    e.ns = std::string_view(e.storage).substr(0, has_ns ? ns.size() : 0);
    e.name = std::string_view(e.storage).substr(has_ns ? ns.size() + 1 : 0);
    e.symbol_hash = murmur3::hash_combine(murmur3::hash_unencoded_chars_utf8(e.name),
                                          has_ns ? java_string_hash(e.ns) : 0);
    auto* kw = new Keyword(&e);
    kw->make_immortal();
    e.keyword = kw;
    auto* sym = new Symbol(&e, NIL);
    sym->make_immortal();
    e.plain_symbol = sym;
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
    place(&e);
    return &e;
  }

 private:
  static uint64_t hash_of(std::string_view ns, std::string_view name, bool has_ns) {
    uint64_t h = has_ns ? 0x9e3779b97f4a7c15ull : 14695981039346656037ull;  // FNV-1a over ns, a separator, name
    for (char c : ns) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    h = (h ^ 0x2f) * 1099511628211ull;
    for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return h ^ (h >> 29);
  }
  void place(NameEntry* e) {
    size_t mask = slots_.size() - 1;
    size_t i = e->hash & mask;
    while (slots_[i]) i = (i + 1) & mask;
    slots_[i] = e;
  }
  void grow() {
    std::vector<NameEntry*> old(slots_.size() * 2, nullptr);
    old.swap(slots_);
    for (NameEntry* e : old)
      if (e) place(e);
  }

  std::mutex mutex_;
  std::vector<NameEntry*> slots_;  // size a power of two, at most half full
  std::deque<NameEntry> entries_;
};

NameTable& names() {
  static auto* table = new NameTable;  // never destroyed: interned names outlive every thread
  return *table;
}

NameEntry* entry_of(const QualifiedName* qn) {
  return static_cast<NameEntry*>(const_cast<QualifiedName*>(qn));
}

std::pair<std::string_view, std::string_view> split_name(std::string_view text, bool& has_ns) {
  size_t slash = text.find('/');
  if (slash == std::string_view::npos || text == "/" || slash == 0) {
    has_ns = false;
    return {{}, text};
  }
  has_ns = true;
  return {text.substr(0, slash), text.substr(slash + 1)};
}

}  // namespace

const QualifiedName* intern_name(std::string_view ns, std::string_view name, bool has_ns) {
  return names().intern(ns, name, has_ns);
}

Keyword::Keyword(const QualifiedName* qn) : Object(Kind::Keyword, 0), qn_(qn) {}

int32_t Keyword::compute_hash() const {
  return static_cast<int32_t>(static_cast<uint32_t>(qn_->symbol_hash) + 0x9e3779b9u);
}

Symbol::Symbol(const QualifiedName* qn, Value meta) : Object(Kind::Symbol, META), qn_(qn), meta_(std::move(meta)) {}

bool Symbol::equiv_same_category(const Object& other) const {
  return qn_ == static_cast<const Symbol&>(other).qn_;
}

Value Symbol::with_meta(const Value& m) const {
  if (m.is_nil()) return Value::share(entry_of(qn_)->plain_symbol);
  return Value::adopt(new Symbol(qn_, m));
}

Value keyword(std::string_view name) { return Value::share(names().intern({}, name, false)->keyword); }
Value keyword(std::string_view ns, std::string_view name) {
  return Value::share(names().intern(ns, name, true)->keyword);
}
Value keyword_from(std::string_view text) {
  bool has_ns;
  auto [ns, name] = split_name(text, has_ns);
  return Value::share(names().intern(ns, name, has_ns)->keyword);
}
Value symbol(std::string_view name) { return Value::share(names().intern({}, name, false)->plain_symbol); }
Value symbol(std::string_view ns, std::string_view name) {
  return Value::share(names().intern(ns, name, true)->plain_symbol);
}
Value symbol_from(std::string_view text) {
  bool has_ns;
  auto [ns, name] = split_name(text, has_ns);
  return Value::share(names().intern(ns, name, has_ns)->plain_symbol);
}

}  // namespace kelp
