#include "orrery/test_run.hpp"

#include <algorithm>
#include <system_error>
#include <tuple>

#include <fmt/format.h>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"

namespace orrery::test_run {

namespace fs = std::filesystem;
using kelp::Value;

bool is_supported(std::string_view dialect_id) { return dialect_id == "kelp" || dialect_id == "clj"; }

// ---------------------------------------------------------------------------------------------------------------
// The snippet. Every clojure.core name is written qualified, so the code runs in any namespace, even one that
// excludes or redefines them; names enter only as quoted symbols that were checked to read back as themselves.

namespace {

// A plain symbol's text: reads back as exactly this symbol, without a namespace part.
bool is_plain_symbol(std::string_view text) {
  auto read = kelp::read_edn(text);
  if (!read.ok() || !kelp::is_symbol(*read)) return false;
  return !read->as<kelp::Symbol>().has_ns() && kelp::pr_str(*read) == text;
}

// Tags ns's current test vars; a var that is defined again loses the tag with its old metadata.
constexpr std::string_view MARK_CODE = R"(
  (clojure.core/when-let [n (clojure.core/find-ns ns-sym)]
    (clojure.core/doseq [v (clojure.core/vals (clojure.core/ns-interns n))]
      (clojure.core/when (:test (clojure.core/meta v))
        (clojure.core/alter-meta! v clojure.core/assoc :orrery.test-run/unrun true))))
)";

constexpr std::string_view RELOAD_CODE = R"(
  (clojure.core/require ns-sym :reload)
)";

// Unmaps the tests still tagged, then runs the chosen tests in line order with report rebound to a collector.
constexpr std::string_view RUN_CODE = R"(
  (clojure.core/doseq [[s v] (clojure.core/ns-interns ns-sym)]
    (clojure.core/when (:orrery.test-run/unrun (clojure.core/meta v))
      (clojure.core/ns-unmap ns-sym s)))
  (clojure.core/let [line-of (clojure.core/fn [v] (clojure.core/or (:line (clojure.core/meta v)) 0))
                     tests (clojure.core/sort-by line-of
                             (clojure.core/filter (clojure.core/fn [v] (:test (clojure.core/meta v)))
                                                  (clojure.core/vals (clojure.core/ns-interns ns-sym))))
                     chosen (if test-sym
                              (clojure.core/filter (clojure.core/fn [v] (clojure.core/= test-sym (:name (clojure.core/meta v))))
                                                   tests)
                              tests)
                     state (clojure.core/atom {:tests 0 :pass 0 :fail 0 :error 0 :failures [] :failures-dropped 0})
                     shown (clojure.core/fn [x]
                             (clojure.core/let [s (clojure.core/binding [clojure.core/*print-length* MAX_SHOWN]
                                                    (if (clojure.core/instance? java.lang.Throwable x)
                                                      (clojure.core/str x)
                                                      (clojure.core/pr-str x)))]
                               (if (clojure.core/> (clojure.core/count s) MAX_SHOWN) (clojure.core/subs s 0 MAX_SHOWN) s)))
                     row (clojure.core/fn [m]
                           (clojure.core/let [vm (clojure.core/meta (clojure.core/first clojure.test/*testing-vars*))]
                             {:kind (:type m)
                              :test (clojure.core/some-> (:name vm) clojure.core/str)
                              :file (clojure.core/some-> (:file m) clojure.core/str)
                              :line (:line m)
                              :test-file (clojure.core/some-> (:file vm) clojure.core/str)
                              :test-line (:line vm)
                              :contexts (clojure.core/vec (clojure.core/reverse clojure.test/*testing-contexts*))
                              :message (clojure.core/some-> (:message m) clojure.core/str)
                              :expected (shown (:expected m))
                              :actual (shown (:actual m))}))
                     failed (clojure.core/fn [st m]
                              (clojure.core/let [st (clojure.core/update st (:type m) clojure.core/inc)]
                                (if (clojure.core/< (clojure.core/count (:failures st)) MAX_FAILURES)
                                  (clojure.core/update st :failures clojure.core/conj (row m))
                                  (clojure.core/update st :failures-dropped clojure.core/inc))))
                     collect (clojure.core/fn [m]
                               (clojure.core/case (:type m)
                                 :begin-test-var (clojure.core/swap! state clojure.core/update :tests clojure.core/inc)
                                 :pass (clojure.core/swap! state clojure.core/update :pass clojure.core/inc)
                                 (:fail :error) (clojure.core/swap! state failed m)
                                 nil))
                     outcome (clojure.core/cond
                               (clojure.core/and test-sym (clojure.core/empty? chosen)) :no-such-test
                               (clojure.core/empty? tests) :no-tests
                               :else (do (clojure.core/binding [clojure.test/report collect]
                                           (clojure.test/test-vars chosen))
                                         :ran))]
    (clojure.core/binding [clojure.core/*print-length* nil clojure.core/*print-level* nil clojure.core/*print-meta* false]
      (clojure.core/pr-str (clojure.core/assoc (clojure.core/deref state) :outcome outcome))))
)";

std::string replaced(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string wrapped(std::string_view ns, std::string_view test, std::string_view body) {
  // A top-level do compiles its forms one at a time, so clojure.test is loaded before the code naming its vars
  // is compiled.
  return fmt::format("(do (clojure.core/require (quote clojure.test))\n(clojure.core/let [ns-sym (quote {}) test-sym {}]{}))",
                     ns, test, body);
}

}  // namespace

kelp::Result<std::string> snippet(const SnippetOptions& opts) {
  if (!is_plain_symbol(opts.ns)) return kelp::Failure{"Not a namespace name: " + opts.ns};
  if (opts.test && (!is_plain_symbol(*opts.test) || opts.test->find('.') != std::string::npos))
    return kelp::Failure{"Not a test name: " + *opts.test};
  std::string body = opts.drop_marked ? "" : std::string(MARK_CODE) + std::string(RELOAD_CODE);
  body += replaced(replaced(std::string(RUN_CODE), "MAX_SHOWN", std::to_string(MAX_SHOWN_CHARS)), "MAX_FAILURES",
                   std::to_string(MAX_FAILURES));
  return wrapped(opts.ns, opts.test ? "(quote " + *opts.test + ")" : "nil", body);
}

kelp::Result<std::string> mark_snippet(std::string_view ns) {
  if (!is_plain_symbol(ns)) return kelp::Failure{"Not a namespace name: " + std::string(ns)};
  return wrapped(ns, "nil", std::string(MARK_CODE) + "  nil");
}

std::optional<Value> read_value(std::string_view printed) {
  auto outer = kelp::read_edn(printed);
  if (!outer.ok() || !outer->is(kelp::Kind::String)) return std::nullopt;
  auto inner = kelp::read_edn(kelp::str_view(*outer));
  if (!inner.ok() || !kelp::is_map(*inner)) return std::nullopt;
  return *inner;
}

// ---------------------------------------------------------------------------------------------------------------
// Project files

std::vector<std::string> project_files(const fs::path& root) {
  std::vector<std::string> files;
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
  for (; !ec && it != end && static_cast<int64_t>(files.size()) < MAX_LOCATED_FILES; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code kind_ec;
    if (it->is_directory(kind_ec)) {
      if (name.starts_with('.') || name == "target" || name == "node_modules") it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file(kind_ec)) files.push_back(it->path().lexically_relative(root).generic_string());
  }
  return files;
}

std::optional<std::string> locate(const std::vector<std::string>& files, std::string_view path) {
  if (path.empty()) return std::nullopt;
  const std::string suffix = "/" + std::string(path);
  std::optional<std::string> found;
  for (const std::string& f : files) {
    if (f != path && !f.ends_with(suffix)) continue;
    if (found) return std::nullopt;
    found = f;
  }
  return found;
}

// ---------------------------------------------------------------------------------------------------------------
// The report

namespace {

const Value* field(const Value& m, std::string_view key) { return kelp::get(m, kelp::keyword(key)); }

int64_t int_field(const Value& m, std::string_view key) {
  const Value* v = field(m, key);
  return v && v->is_int() ? v->as_int() : 0;
}

std::optional<std::string> string_field(const Value& m, std::string_view key) {
  const Value* v = field(m, key);
  if (!v || !v->is(kelp::Kind::String)) return std::nullopt;
  return std::string(kelp::str_view(*v));
}

std::string keyword_field(const Value& m, std::string_view key) {
  const Value* v = field(m, key);
  return v && kelp::is_keyword(*v) ? std::string(v->as<kelp::Keyword>().name()) : "";
}

std::string base_name(std::string_view path) {
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The test's file as the project names it: relative to root when it lies inside, else as given.
std::string project_relative(const std::string& file, const std::optional<fs::path>& root) {
  fs::path p(file);
  if (!root || !p.is_absolute()) return file;
  fs::path rel = p.lexically_normal().lexically_relative(root->lexically_normal());
  return rel.empty() || *rel.begin() == ".." ? file : rel.generic_string();
}

// Lists the project's files once, on the first failure that needs them.
class Locator {
 public:
  explicit Locator(const std::optional<fs::path>& root) : root_(root) {}
  std::string place(const std::string& file) {
    std::string rel = project_relative(file, root_);
    if (!root_ || rel.empty()) return rel;
    if (!files_) files_ = project_files(*root_);
    return locate(*files_, rel).value_or(rel);
  }

 private:
  std::optional<fs::path> root_;
  std::optional<std::vector<std::string>> files_;
};

// A failure's place: the event's line when it lies in the test's own file, else the deftest's (a throw from
// library code, or an event with no place).
Failure failure_of(const Value& row, Locator& locator) {
  Failure f;
  f.error = keyword_field(row, "kind") == "error";
  f.test = string_field(row, "test").value_or("");
  const std::string event_file = string_field(row, "file").value_or("");
  const std::string test_file = string_field(row, "test-file").value_or("");
  const int64_t event_line = int_field(row, "line");
  const bool own = event_line > 0 && (test_file.empty() || (!event_file.empty() && base_name(event_file) == base_name(test_file)));
  f.line = own ? event_line : int_field(row, "test-line");
  f.file = locator.place(test_file.empty() ? event_file : test_file);
  if (const Value* cs = field(row, "contexts"); cs && cs->is(kelp::Kind::Vector))
    cs->obj()->each([&](const Value& c) {
      if (c.is(kelp::Kind::String)) f.contexts.emplace_back(kelp::str_view(c));
      return true;
    });
  f.message = string_field(row, "message");
  f.expected = string_field(row, "expected").value_or("nil");
  f.actual = string_field(row, "actual").value_or("nil");
  return f;
}

}  // namespace

Report report(const Value& run, std::string_view ns, const std::optional<std::string>& test,
              const std::optional<fs::path>& root) {
  Report r;
  r.ns = std::string(ns);
  r.counts = {int_field(run, "tests"), int_field(run, "pass"), int_field(run, "fail"), int_field(run, "error")};
  r.failures_dropped = int_field(run, "failures-dropped");
  const std::string outcome = keyword_field(run, "outcome");
  if (outcome == "no-such-test") {
    r.status = "error";
    r.message = fmt::format("No test named {} in {}", test.value_or(""), ns);
    return r;
  }
  if (outcome == "no-tests") {
    r.status = "no-tests";
    return r;
  }
  Locator locator(root);
  if (const Value* rows = field(run, "failures"); rows && rows->is(kelp::Kind::Vector))
    rows->obj()->each([&](const Value& row) {
      if (kelp::is_map(row)) r.failures.push_back(failure_of(row, locator));
      return true;
    });
  std::stable_sort(r.failures.begin(), r.failures.end(), [](const Failure& a, const Failure& b) {
    return std::tie(a.file, a.line, a.test) < std::tie(b.file, b.line, b.test);
  });
  r.status = r.counts.fail + r.counts.error == 0 ? "ok" : "failed";
  return r;
}

// ---------------------------------------------------------------------------------------------------------------
// Texts

namespace {

std::string counted(int64_t n, std::string_view word) { return fmt::format("{} {}{}", n, word, n == 1 ? "" : "s"); }

}  // namespace

std::string summary_line(const Report& r) {
  const Counts& c = r.counts;
  const int64_t assertions = c.pass + c.fail + c.error;
  if (r.status == "no-tests") return "No tests in " + r.ns + ".";
  if (r.status == "error") return r.message.value_or("");
  if (r.status == "ok")
    return fmt::format("All passed in {}: {}, {}", r.ns, counted(c.tests, "test"), counted(assertions, "assertion"));
  return fmt::format("{} in {}: {}, {}, {} passed, {} failed, {}", counted(c.fail + c.error, "failure"), r.ns,
                     counted(c.tests, "test"), counted(assertions, "assertion"), c.pass, c.fail,
                     counted(c.error, "error"));
}

std::vector<std::string> failure_lines(const Failure& f) {
  std::string head = fmt::format("{} {} ({}:{})", f.error ? "ERROR" : "FAIL", f.test, f.file, f.line);
  for (const std::string& c : f.contexts) head += " > " + c;
  if (f.message) head += ": " + *f.message;
  return {head, "  expected: " + f.expected, "  actual:   " + f.actual};
}

std::vector<std::string> console_lines(const Report& r) {
  std::vector<std::string> lines{summary_line(r)};
  for (const Failure& f : r.failures)
    for (std::string& l : failure_lines(f)) lines.push_back(std::move(l));
  if (r.failures_dropped > 0) lines.push_back(fmt::format("{} more failures not listed.", r.failures_dropped));
  return lines;
}

std::string text(const Report& r) {
  std::string out;
  for (const std::string& l : console_lines(r)) out += (out.empty() ? "" : "\n") + l;
  return out;
}

namespace {

Value str(std::string_view s) { return kelp::make_string(s); }

Value failure_data(const Failure& f) {
  std::vector<Value> contexts;
  for (const std::string& c : f.contexts) contexts.push_back(str(c));
  std::vector<Value> kvs{str("kind"),     str(f.error ? "error" : "fail"),
                         str("test"),     str(f.test),
                         str("file"),     str(f.file),
                         str("line"),     Value::integer(f.line),
                         str("contexts"), kelp::make_vector(contexts),
                         str("expected"), str(f.expected),
                         str("actual"),   str(f.actual)};
  if (f.message) kvs.insert(kvs.end(), {str("message"), str(*f.message)});
  return kelp::make_map(kvs);
}

}  // namespace

Value data(const Report& r, const RunInfo& run) {
  std::vector<Value> failures;
  for (const Failure& f : r.failures) failures.push_back(failure_data(f));
  const Counts& c = r.counts;
  std::vector<Value> kvs{
      str("status"), str(r.status), str("ns"), str(r.ns),
      str("counts"), kelp::make_map({str("tests"), Value::integer(c.tests), str("pass"), Value::integer(c.pass),
                                     str("fail"), Value::integer(c.fail), str("error"), Value::integer(c.error)}),
      str("failures"), kelp::make_vector(failures), str("failures_dropped"), Value::integer(r.failures_dropped),
      str("output"), str(run.output), str("ms"), Value::integer(run.ms)};
  if (r.message) kvs.insert(kvs.end(), {str("message"), str(*r.message)});
  if (!run.err.empty()) kvs.insert(kvs.end(), {str("err"), str(run.err)});
  if (run.dropped_chars > 0) kvs.insert(kvs.end(), {str("dropped_chars"), Value::integer(run.dropped_chars)});
  return kelp::make_map(kvs);
}

}  // namespace orrery::test_run
