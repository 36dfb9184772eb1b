#include "kelp/data/compare.hpp"

#include "kelp/data/error.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/tagged.hpp"
#include "kelp/data/vector.hpp"

namespace kelp {
namespace {

[[noreturn]] void not_comparable(const Value& a, const Value& b) {
  if (a.type() == b.type() && (!a.is_obj() || a.obj()->kind() == b.obj()->kind())) {
    throw ValueError("java.lang.ClassCastException",
                     std::string(type_name(a)) + " cannot be cast to java.lang.Comparable");
  }
  throw ValueError("java.lang.ClassCastException",
                   std::string(type_name(b)) + " cannot be cast to " + std::string(type_name(a)));
}

}  // namespace

// Java's String.compareTo: the difference of the first differing UTF-16 code units, else of the lengths.
int compare_strings(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < n && a[i] == b[i] && static_cast<unsigned char>(a[i]) < 0x80) ++i;
  if (i == a.size() && i == b.size()) return 0;
  std::u16string ua, ub;
  append_utf16(ua, a.substr(i));
  append_utf16(ub, b.substr(i));
  size_t m = std::min(ua.size(), ub.size());
  for (size_t k = 0; k < m; ++k)
    if (ua[k] != ub[k]) return static_cast<int>(ua[k]) - static_cast<int>(ub[k]);
  return static_cast<int>(ua.size()) - static_cast<int>(ub.size());
}

namespace {

int compare_names(const QualifiedName& a, const QualifiedName& b) {
  if (&a == &b) return 0;
  if (!a.has_ns && b.has_ns) return -1;
  if (a.has_ns) {
    if (!b.has_ns) return 1;
    int c = compare_strings(a.ns, b.ns);
    if (c != 0) return c;
  }
  return compare_strings(a.name, b.name);
}

int sign(int64_t x) { return x < 0 ? -1 : (x > 0 ? 1 : 0); }

CompareFallback g_fallback = nullptr;

}  // namespace

void set_compare_fallback(CompareFallback f) { g_fallback = f; }

int compare(const Value& a, const Value& b) {
  if (a.is_nil()) return b.is_nil() ? 0 : -1;
  if (b.is_nil()) return 1;
  if (g_fallback && a.is_obj() && a.obj()->kind() == Kind::Other) {
    int c = 0;
    if (g_fallback(a, b, &c)) return c;
  }
  if (is_number(a)) {
    if (!is_number(b)) not_comparable(a, b);
    return number_compare(a, b);
  }
  if (a.type() != b.type()) not_comparable(a, b);
  switch (a.type()) {
    case Type::Bool: return a.as_bool() == b.as_bool() ? 0 : (a.as_bool() ? 1 : -1);
    case Type::Char: return static_cast<int>(a.as_char()) - static_cast<int>(b.as_char());
    case Type::Obj: break;
    default: not_comparable(a, b);
  }
  if (a.obj() == b.obj()) return 0;
  Kind ka = a.obj()->kind();
  if (ka != b.obj()->kind()) not_comparable(a, b);
  switch (ka) {
    case Kind::String: return compare_strings(str_view(a), str_view(b));
    case Kind::Keyword: return compare_names(a.as<Keyword>().qname(), b.as<Keyword>().qname());
    case Kind::Symbol: return compare_names(a.as<Symbol>().qname(), b.as<Symbol>().qname());
    case Kind::Inst: return sign(a.as<Inst>().millis() - b.as<Inst>().millis());
    case Kind::Uuid: {
      const auto& x = a.as<Uuid>();
      const auto& y = b.as<Uuid>();
      auto hx = static_cast<int64_t>(x.hi()), hy = static_cast<int64_t>(y.hi());
      if (hx != hy) return hx < hy ? -1 : 1;
      auto lx = static_cast<int64_t>(x.lo()), ly = static_cast<int64_t>(y.lo());
      return lx < ly ? -1 : (lx > ly ? 1 : 0);
    }
    case Kind::Vector: {
      const auto& x = a.as<Vector>();
      const auto& y = b.as<Vector>();
      if (x.count() != y.count()) return x.count() < y.count() ? -1 : 1;
      for (int64_t i = 0; i < x.count(); ++i) {
        int c = compare(x.nth(i), y.nth(i));
        if (c != 0) return c;
      }
      return 0;
    }
    default: not_comparable(a, b);
  }
}

}  // namespace kelp
