#include "kelp/data/symbol.hpp"

#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "kelp/data/hash.hpp"
#include "kelp/data/string.hpp"

namespace kelp {
namespace {

// One entry per distinct namespace and name; entries are never freed, so the views in QualifiedName and the
// objects hanging off an entry stay valid for the process's life.
struct NameEntry : QualifiedName {
  std::string storage;  // "ns/name" or "name"
  const Keyword* keyword = nullptr;
  const Symbol* plain_symbol = nullptr;
};

class NameTable {
 public:
  NameEntry* intern(std::string_view ns, std::string_view name, bool has_ns) {
    std::string key;
    key.reserve(ns.size() + name.size() + 2);
    key.push_back(has_ns ? '1' : '0');
    key.append(ns);
    key.push_back('\0');
    key.append(name);
    std::lock_guard lock(mutex_);
    auto it = map_.find(key);
    if (it != map_.end()) return it->second;
    NameEntry& e = entries_.emplace_back();
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
    map_.emplace(std::move(key), &e);
    return &e;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, NameEntry*> map_;
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
