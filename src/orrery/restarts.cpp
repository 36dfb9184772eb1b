#include "orrery/restarts.hpp"

#include <algorithm>


namespace orrery::restarts {

namespace {

constexpr std::string_view UNRESOLVED = "Unable to resolve symbol: ";
constexpr std::string_view IN_THIS_CONTEXT = " in this context";

// Characters that end a symbol as the reader sees it.
bool ends_symbol(char c) {
  switch (c) {
    case ' ': case '\t': case '\n': case '\r': case '\f': case '\v':
    case ',': case ';': case '(': case ')': case '[': case ']': case '{': case '}':
    case '"': case '\'': case '`': case '~': case '^': case '@': case '\\':
      return true;
    default:
      return false;
  }
}

bool is_symbol_name(std::string_view name) {
  if (name.empty() || name.find('/') != std::string_view::npos) return false;
  char c = name.front();
  return !(c >= '0' && c <= '9') && c != '#' && c != ':' && c != '\'';
}

int64_t code_points(std::string_view utf8) {
  return std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
}

}  // namespace

bool is_at_the_prompt(FailureKind kind) { return kind != FailureKind::Run; }

std::optional<std::string> missing_name(std::string_view error_text) {
  // Every occurrence is tried: a wrapping message may quote the phrase before the real sentence.
  for (size_t at = error_text.find(UNRESOLVED); at != std::string_view::npos;
       at = error_text.find(UNRESOLVED, at + 1)) {
    std::string_view rest = error_text.substr(at + UNRESOLVED.size());
    // Only ASCII bytes end a name, so a multi-byte character stays whole.
    size_t len = std::find_if(rest.begin(), rest.end(), ends_symbol) - rest.begin();
    std::string_view name = rest.substr(0, len);
    if (!rest.substr(len).starts_with(IN_THIS_CONTEXT)) continue;
    if (!is_symbol_name(name)) return std::nullopt;
    return std::string(name);
  }
  return std::nullopt;
}

std::string_view option_name(OptionId id) {
  switch (id) {
    case OptionId::Retry: return "retry";
    case OptionId::Edit: return "edit";
    case OptionId::Define: return "define";
  }
  return "retry";
}

std::vector<Option> options(const std::optional<Failure>& failure) {
  if (!failure) return {};
  std::vector<Option> out{{OptionId::Retry, "Retry"}};
  if (!is_at_the_prompt(failure->kind)) return out;
  out.push_back({OptionId::Edit, "Edit and retry"});
  if (failure->error_text) {
    if (auto name = missing_name(*failure->error_text)) {
      out.push_back({OptionId::Define, "Define " + *name + " and retry"});
    }
  }
  return out;
}

EditInput define_input(std::string_view name, std::string_view code) {
  std::string text = "(def ";
  text += name;
  text += ' ';
  int64_t caret = code_points(text);
  text += ")\n";
  text += code;
  return {std::move(text), caret};
}

std::optional<Failure> FailureSlot::get() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

void FailureSlot::set(std::optional<Failure> f) {
  std::lock_guard lock(mutex_);
  failure_ = std::move(f);
}

void record_failure(FailureSlot& slot, const Failure& where, const eval::Result& result,
                    const std::function<std::string(const eval::Result&)>& error_text_fn) noexcept {
  try {
    if (result.status == eval::Status::Ok) {
      slot.set(std::nullopt);
      return;
    }
    if (result.status != eval::Status::Error) return;
    Failure f = where;
    f.error_text.reset();
    try {
      if (error_text_fn) f.error_text = error_text_fn(result);
    } catch (...) {
      // The failure still counts; it only lacks its text.
    }
    slot.set(std::move(f));
  } catch (...) {
    // Out of memory copying the record: the slot keeps what it had.
  }
}

}  // namespace orrery::restarts
