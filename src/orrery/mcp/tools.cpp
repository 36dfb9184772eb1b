#include "orrery/mcp/tools.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/seq.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "kelp/read/reader.hpp"
#include "orrery/console.hpp"
#include "orrery/runtime_registry.hpp"
#include "orrery/syntax.hpp"
#include "orrery/syntax_defs.hpp"
#include "orrery/test_run.hpp"

namespace orrery::mcp {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

Json str(std::string_view s) { return kelp::make_string(s); }

const Json* arg(const Json& args, std::string_view k) {
  return kelp::is_map(args) ? kelp::get(args, str(k)) : nullptr;
}

std::string text_at(const Json& map, std::string_view k) {
  const Json* v = arg(map, k);
  return v && v->is(kelp::Kind::String) ? std::string(kelp::str_view(*v)) : "";
}

int64_t int_at(const Json& map, std::string_view k) {
  const Json* v = arg(map, k);
  return v && v->is_int() ? v->as_int() : 0;
}

// The name of the first ns form in text; nothing when the text has none or does not read that far.
std::optional<std::string> ns_form_name(std::string_view text) {
  try {
    kelp::read::Reader reader(text);
    while (std::optional<Json> form = reader.next()) {
      if (!form->is(kelp::Kind::List) || kelp::count(*form) < 2) continue;
      Json head = kelp::first(*form);
      if (!kelp::is_symbol(head) || head.as<kelp::Symbol>().name() != "ns") continue;
      const auto& sym = head.as<kelp::Symbol>();
      if (!sym.ns().empty() && sym.ns() != "clojure.core") continue;
      Json name = kelp::first(kelp::next(*form));
      if (!kelp::is_symbol(name)) return std::nullopt;
      return std::string(name.as<kelp::Symbol>().name());
    }
  } catch (...) {
  }
  return std::nullopt;
}

// args' string at k, blank or not; nothing when absent or not a string.
std::optional<std::string> optional_string(const Json& args, std::string_view k) {
  const Json* v = arg(args, k);
  if (!v || !v->is(kelp::Kind::String)) return std::nullopt;
  return std::string(kelp::str_view(*v));
}

bool is_blank(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isspace(c); });
}

// ---------------------------------------------------------------------------------------------------------------
// Definitions

Json property(std::string_view type, std::string_view description) {
  return kelp::make_map({str("type"), str(type), str("description"), str(description)});
}

struct Prop {
  std::string_view name;
  std::string_view type;
  std::string_view description;
};

inline constexpr std::string_view TIMEOUT_DESC = "Deadline in milliseconds. Default 30000.";
inline constexpr std::string_view MAX_OUTPUT_DESC =
    "Keep at most this many characters of printed output, the last ones. Default 100000, at most 1000000.";
inline constexpr Prop TIMEOUT{"timeout_ms", "integer", TIMEOUT_DESC};
inline constexpr Prop MAX_OUTPUT{"max_output_chars", "integer", MAX_OUTPUT_DESC};
inline constexpr std::string_view SELECTING_PATH = "A file or directory selecting the project.";

Json tool_def(std::string_view name, std::string_view description, std::vector<Prop> props,
              std::vector<std::string_view> required) {
  std::vector<Json> kvs;
  for (const Prop& p : props) {
    kvs.push_back(str(p.name));
    kvs.push_back(property(p.type, p.description));
  }
  std::vector<Json> req;
  for (std::string_view r : required) req.push_back(str(r));
  Json schema = kelp::make_map({str("type"), str("object"), str("properties"), kelp::make_map(kvs), str("required"),
                                kelp::make_vector(req)});
  return kelp::make_map({str("name"), str(name), str("description"), str(description), str("inputSchema"), schema});
}

std::vector<Json> definitions() {
  return {
      tool_def("orrery_eval",
               "Evaluate code as a REPL line in the project at path, in that project's dialect. Definitions persist "
               "between calls.",
               {{"code", "string", "The code to evaluate."},
                {"path", "string", "A file or directory selecting the project. Default: the server's directory."},
                TIMEOUT,
                MAX_OUTPUT},
               {"code"}),
      tool_def("orrery_run_file", "Run a file's text the way the Run button does, in the file's project.",
               {{"path", "string", "The file to run."}, TIMEOUT, MAX_OUTPUT}, {"path"}),
      tool_def("orrery_test",
               "Run a namespace's clojure.test tests, or one test, in the project's runtime. Reloads the test "
               "namespace from disk first. Answers counts and each failure's test, file, line, expected and actual. "
               "Kelp and JVM Clojure.",
               {{"ns", "string", "The test namespace. Optional when path is a test file."},
                {"test", "string", "One test's name in that namespace. Default: every test."},
                {"path", "string",
                 "A file or directory selecting the project. A test file here also names the namespace when ns is "
                 "absent."},
                TIMEOUT,
                MAX_OUTPUT},
               {}),
      tool_def("orrery_check_brackets",
               "Check brackets in text or in a file. Answers ok, or names the first unclosed or unmatched bracket "
               "and its line.",
               {{"text", "string", "The text to check."}, {"path", "string", "A file to check instead of text."}}, {}),
      tool_def("orrery_doc", "Documentation for a symbol in the project's runtime.",
               {{"symbol", "string", "The symbol to look up."}, {"path", "string", SELECTING_PATH}}, {"symbol"}),
      tool_def("orrery_complete", "Completion candidates for a symbol prefix, one per line, at most 50.",
               {{"prefix", "string", "The symbol prefix."}, {"path", "string", SELECTING_PATH}}, {"prefix"}),
      tool_def("orrery_project",
               "The dialect, runtime and project directory the other tools would use for path. Starts nothing.",
               {{"path", "string", "A file or directory. Default: the server's directory."}}, {}),
  };
}

// ---------------------------------------------------------------------------------------------------------------
// Selection

fs::path resolved(const fs::path& dir, const std::optional<std::string>& path) {
  if (!path) return dir;
  fs::path p(*path);
  return p.is_absolute() ? p : dir / p;
}

bool is_folder(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

bool is_file(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec) && !fs::is_directory(p, ec);
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("couldn't open " + p.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The settings file's default dialect (:default-dialect, a keyword), when it names one.
std::optional<std::string> default_dialect(const std::optional<fs::path>& settings_path) {
  if (!settings_path || !is_file(*settings_path)) return std::nullopt;
  auto settings = kelp::read_edn(read_file(*settings_path));
  if (!settings || !kelp::is_map(settings.value())) return std::nullopt;
  const Json* d = kelp::get(settings.value(), kelp::keyword("default-dialect"));
  if (!d || !kelp::is_keyword(*d)) return std::nullopt;
  return std::string(d->as<kelp::Keyword>().name());
}

std::string_view source_name(dialect::Source s) {
  switch (s) {
    case dialect::Source::Config: return "config";
    case dialect::Source::Marker: return "marker";
    case dialect::Source::Extension: return "extension";
    case dialect::Source::Settings: return "settings";
    case dialect::Source::Fallback: return "fallback";
  }
  return "fallback";
}

std::string runtime_display(const dialect::Selection& s) {
  if (s.profile)
    if (auto named = s.profile->runtime_display_name(s.runtime)) return *named;
  return dialect::runtime_name(s.runtime);
}

// ---------------------------------------------------------------------------------------------------------------
// Evaluation

// What the evaluator's worker fills in and the waiting call reads.
struct Pending {
  std::mutex mutex;
  std::condition_variable done;
  Output out;
  std::optional<eval::Result> result;
};

int64_t elapsed_ms(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string joined_with_output(const Collected& out, std::string_view tail) {
  std::string text = dropped_line(out.dropped) + out.output;
  if (!out.output.empty() && out.output.back() != '\n') text += '\n';
  return text + std::string(tail);
}

ToolResult timed_out_result(const evaluator::EvaluatorPtr& e, const std::shared_ptr<Pending>& pending,
                            Clock::time_point start, const Limits& limits) {
  e->interrupt();
  bool finished;
  {
    std::unique_lock lock(pending->mutex);
    finished = pending->done.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(limits.grace_ms, 0)),
                                      [&] { return pending->result.has_value(); });
  }
  std::string sentence = "Timed out after " + std::to_string(limits.timeout_ms) + " ms; interrupted";
  if (finished) {
    sentence += ".";
  } else {
    // The runtime ignores the interrupt: nothing more can run on it, so the next call starts a fresh one.
    if (limits.evict) limits.evict();
    e->stop();
    runtime_registry().unregister(e);
    sentence +=
        ", but the evaluation has not stopped. The runtime was stopped; a fresh one will be started on the next "
        "call.";
  }
  Collected out;
  {
    std::lock_guard lock(pending->mutex);
    out = output_of(pending->out, limits.max_output);
  }
  return {joined_with_output(out, sentence), true, eval_data("timeout", out, elapsed_ms(start), nullptr)};
}

// ---------------------------------------------------------------------------------------------------------------
// Documentation and completion

std::string field_text(const Json& doc, std::string_view key) {
  const Json* v = kelp::is_map(doc) ? kelp::get(doc, kelp::keyword(key)) : nullptr;
  if (!v || v->is_nil()) return "";
  if (v->is(kelp::Kind::String)) return std::string(kelp::str_view(*v));
  return kelp::pr_str(*v);
}


// The buffer's own definition of name, when the text defines it.
std::optional<DocMap> buffer_doc(std::u32string_view text, std::u32string_view name) {
  std::optional<DefinitionHit> hit = find_definition(text, name);
  if (!hit) return std::nullopt;
  DocMap d;
  d.status = DocStatus::BufferDef;
  d.symbol = kelp::to_utf8(name);
  d.line = hit->line;
  d.kind = hit->kind;
  if (std::optional<BufferDefMeta> meta = extract_buffer_def_meta(text, *hit)) {
    if (meta->doc) d.doc = kelp::to_utf8(*meta->doc);
    if (meta->arglists) d.arglists = kelp::to_utf8(*meta->arglists);
  }
  return d;
}

// ---------------------------------------------------------------------------------------------------------------
// The table

class Tools {
 public:
  explicit Tools(ToolsOptions opts) : opts_(std::move(opts)) {
    if (!opts_.cache) opts_.cache = std::make_shared<EvaluatorCache>();
  }

  ToolResult call(const std::string& name, const Json& args) {
    if (name == "orrery_eval") return eval_tool(args);
    if (name == "orrery_run_file") return run_file(args);
    if (name == "orrery_test") return test(args);
    if (name == "orrery_check_brackets") return check_brackets(args);
    if (name == "orrery_doc") return doc(args);
    if (name == "orrery_complete") return complete(args);
    if (name == "orrery_project") return project(args);
    throw std::runtime_error("Unknown tool: " + name);
  }

 private:
  // The cached evaluator for a selection, or a new one: registered so that shutdown stops it, and accumulating,
  // so a Run through these tools never resets the session.
  evaluator::EvaluatorPtr evaluator_for(const dialect::Selection& s) {
    std::string key = cache_key(s);
    std::lock_guard lock(opts_.cache->mutex);
    auto found = opts_.cache->by_key.find(key);
    if (found != opts_.cache->by_key.end()) return found->second;
    evaluator::EvaluatorPtr e = evaluator::make(s);
    runtime_registry().register_evaluator(e);
    e->set_mode(evaluator::Mode::Accumulate);
    opts_.cache->by_key.emplace(key, e);
    return e;
  }

  ToolResult run_in(const dialect::Selection& s, std::string code, evaluator::EvalOptions eval_opts,
                    const Json& args) {
    evaluator::EvaluatorPtr e = evaluator_for(s);
    Limits limits;
    limits.opts = std::move(eval_opts);
    limits.timeout_ms = timeout_of(args);
    limits.max_output = max_output_of(args);
    limits.grace_ms = opts_.grace_ms;
    limits.evict = [cache = opts_.cache, key = cache_key(s), e] {
      std::lock_guard lock(cache->mutex);
      auto found = cache->by_key.find(key);
      if (found != cache->by_key.end() && found->second == e) cache->by_key.erase(found);
    };
    return run_eval(e, std::move(code), limits);
  }

  ToolResult eval_tool(const Json& args) {
    std::string code = required_string(args, "code");
    evaluator::EvalOptions eval_opts;
    eval_opts.owner = evaluator::OWNER_REPL;
    return run_in(selection_for(opts_, optional_string(args, "path")), std::move(code), std::move(eval_opts), args);
  }

  ToolResult run_file(const Json& args) {
    fs::path file = resolved(opts_.dir, required_string(args, "path"));
    if (is_folder(file)) return {"Not a file, a directory: " + file.string(), true, {}};
    if (!is_file(file)) return {"No such file: " + file.string(), true, {}};
    evaluator::EvalOptions eval_opts;
    eval_opts.run = true;
    eval_opts.owner = evaluator::OWNER_RUN;
    eval_opts.reset = false;
    eval_opts.path = file.string();
    return run_in(selection_for(opts_, file.string()), read_file(file), std::move(eval_opts), args);
  }

  // The namespace to test: "ns", else the ns form's name of the file at "path".
  std::string test_namespace(const Json& args, const std::optional<std::string>& path) {
    if (std::optional<std::string> ns = optional_string(args, "ns"); ns && !is_blank(*ns)) return *ns;
    std::optional<std::string> text = buffer_at(path);
    if (!text) throw std::runtime_error("Give ns, or the path of a test file.");
    std::optional<std::string> named = ns_form_name(*text);
    if (!named) throw std::runtime_error("No ns form in " + resolved(opts_.dir, path).string());
    return *named;
  }

  ToolResult test(const Json& args) {
    std::optional<std::string> path = optional_string(args, "path");
    std::string ns = test_namespace(args, path);
    std::optional<std::string> one = optional_string(args, "test");
    if (one && is_blank(*one)) one.reset();
    dialect::Selection s = selection_for(opts_, path);
    if (!s.profile || !test_run::is_supported(s.profile->id))
      return {"orrery_test runs Kelp and JVM Clojure tests for now. This project is " + dialect::label(s), true,
              kelp::make_map({str("status"), str("unsupported")})};
    kelp::Result<std::string> code = test_run::snippet({ns, one, false});
    if (!code) throw std::runtime_error(code.failure().message);
    evaluator::EvalOptions eval_opts;
    eval_opts.owner = evaluator::OWNER_REPL;
    // The REPL's history and *1 stay as they were where the runtime can leave them so.
    eval_opts.quiet = evaluator::capability<evaluator::QuietEval>(evaluator_for(s)) != nullptr;
    ToolResult ran = run_in(s, std::move(code.value()), std::move(eval_opts), args);
    if (text_at(ran.data, "status") != "ok") return ran;
    std::optional<kelp::Value> value = test_run::read_value(text_at(ran.data, "value"));
    if (!value) return {"The test run returned something unreadable.", true, ran.data};
    test_run::Report report = test_run::report(*value, ns, one, s.project_dir);
    test_run::RunInfo info{text_at(ran.data, "output"), text_at(ran.data, "err"), int_at(ran.data, "dropped_chars"),
                           int_at(ran.data, "ms")};
    return {test_run::text(report), report.status == "error", test_run::data(report, info)};
  }

  ToolResult check_brackets(const Json& args) {
    std::string text;
    if (auto given = optional_string(args, "text")) {
      text = *given;
    } else if (auto path = optional_string(args, "path")) {
      fs::path file = resolved(opts_.dir, *path);
      if (!is_file(file)) return {"No such file: " + file.string(), true, {}};
      text = read_file(file);
    } else {
      throw std::runtime_error("Give text or path.");
    }
    return {bracket_report(text), false, {}};
  }

  // The text of the file at path, when path names one: its definitions count even before it is evaluated.
  std::optional<std::string> buffer_at(const std::optional<std::string>& path) {
    if (!path) return std::nullopt;
    fs::path file = resolved(opts_.dir, *path);
    if (!is_file(file)) return std::nullopt;
    return read_file(file);
  }

  ToolResult doc(const Json& args) {
    std::string sym = required_string(args, "symbol");
    std::optional<std::string> path = optional_string(args, "path");
    evaluator::EvaluatorPtr e = evaluator_for(selection_for(opts_, path));
    return {doc_text(e->lookup(sym, 0), sym, buffer_at(path)), false, {}};
  }

  ToolResult complete(const Json& args) {
    std::string prefix = required_string(args, "prefix");
    std::optional<std::string> path = optional_string(args, "path");
    evaluator::EvaluatorPtr e = evaluator_for(selection_for(opts_, path));
    evaluator::CompleteRequest req;
    req.prefix = prefix;
    std::vector<std::string> names = completion_names(e->complete(req), prefix, buffer_at(path));
    if (names.empty()) return {"No completions for " + prefix, false, {}};
    std::string text;
    for (const std::string& n : names) text += (text.empty() ? "" : "\n") + n;
    return {text, false, {}};
  }

  ToolResult project(const Json& args) {
    dialect::Selection s = selection_for(opts_, optional_string(args, "path"));
    std::string text = "Dialect: " + dialect::label(s) + "\nRuntime: " + runtime_display(s) +
                       "\nProject directory: " + (s.project_dir ? s.project_dir->string() : "none") +
                       "\nChosen by: " + std::string(source_name(s.source));
    for (const std::string& w : s.warnings) text += "\nWarning: " + w;
    return {text, false, {}};
  }

  ToolsOptions opts_;
};

}  // namespace

dialect::Selection selection_for(const ToolsOptions& opts, const std::optional<std::string>& path) {
  fs::path p = resolved(opts.dir, path);
  bool folder = is_folder(p);
  const dialect::Profiles& ps = dialect::profiles();
  try {
    // find_project searches from the folder holding its path, so a folder is given as a name inside it; a folder
    // selects as the file tree does, with no file of its own.
    auto project = dialect::find_project(ps, folder ? p / ".orrery-folder" : p);
    return dialect::select(ps, project, folder ? fs::path() : p, default_dialect(opts.settings_path));
  } catch (const std::exception& ex) {
    dialect::Selection s = dialect::select(ps, std::nullopt, folder ? fs::path() : p, std::nullopt);
    s.warnings.push_back("couldn't read the project: " + std::string(ex.what()));
    return s;
  }
}

std::string cache_key(const dialect::Selection& s) { return kelp::pr_str(dialect::selection_key(s)); }

ToolResult run_eval(const evaluator::EvaluatorPtr& e, std::string code, const Limits& limits) {
  Clock::time_point start = Clock::now();
  auto pending = std::make_shared<Pending>();
  evaluator::EvalOptions opts = limits.opts;
  const int64_t cap = limits.max_output;
  opts.on_output = [pending, cap](eval::OutputKind kind, std::string_view s) {
    std::lock_guard lock(pending->mutex);
    add_output(pending->out, cap, kind, s);
  };
  // A headless evaluation has no console to type into: a read of standard input sees its end at once.
  std::weak_ptr<evaluator::Evaluator> weak = e;
  opts.on_wait_input = [weak](bool waiting) {
    if (!waiting) return;
    if (auto ev = weak.lock()) ev->send_eof();
  };
  opts.on_complete = [pending](const eval::Result& r) {
    {
      std::lock_guard lock(pending->mutex);
      pending->result = r;
    }
    pending->done.notify_all();
  };
  if (std::optional<std::string> busy = e->eval(std::move(code), std::move(opts)))
    return {*busy, true, eval_data("refused", {}, elapsed_ms(start), nullptr)};

  std::unique_lock lock(pending->mutex);
  bool finished = pending->done.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(limits.timeout_ms, 0)),
                                         [&] { return pending->result.has_value(); });
  if (finished) return done_result(*pending->result, output_of(pending->out, cap), elapsed_ms(start));
  lock.unlock();
  return timed_out_result(e, pending, start, limits);
}

ToolResult done_result(const eval::Result& r, const Collected& out, int64_t ms) {
  std::string line = console::result_line(r).text;
  while (!line.empty() && line.back() == '\n') line.pop_back();
  bool ok = r.status == eval::Status::Ok;
  return {joined_with_output(out, line), !ok, eval_data(status_name(r.status), out, ms, &r)};
}

int64_t timeout_of(const Json& args) {
  // Far beyond any real deadline, and far from overflowing the clock's arithmetic.
  constexpr int64_t LONGEST = int64_t{1} << 40;
  const Json* v = arg(args, "timeout_ms");
  if (v && v->is_int() && v->as_int() > 0) return std::min(v->as_int(), LONGEST);
  if (v && v->is_double() && v->as_double() >= 1)
    return static_cast<int64_t>(std::min(std::floor(v->as_double()), double(LONGEST)));
  return DEFAULT_TIMEOUT_MS;
}

std::string required_string(const Json& args, std::string_view k) {
  std::optional<std::string> v = optional_string(args, k);
  if (!v || is_blank(*v)) throw std::runtime_error("Missing required argument: " + std::string(k));
  return *v;
}

std::string bracket_report(std::string_view text) {
  std::u32string u = kelp::to_u32(text);
  Brackets b = compute_brackets(u);
  if (b.unmatched.empty()) return "ok";
  // The set is ordered: its first offset is the first problem in text order.
  Offset at = *b.unmatched.begin();
  char32_t c = u[static_cast<size_t>(at)];
  std::string sentence = "The ";
  kelp::append_utf8(sentence, c);
  sentence += " on line " + std::to_string(line_number_at_offset(u, at));
  return sentence + (is_opener(c) ? " is never closed." : " has no matching opener.");
}

std::string doc_text(const Json& doc, std::string_view name, const std::optional<std::string>& buffer) {
  std::optional<DocMap> found = doc_map_of(doc);
  if ((!found || found->status == DocStatus::NotFound) && buffer)
    if (auto defined = buffer_doc(kelp::to_u32(*buffer), kelp::to_u32(name))) found = defined;
  DocFormatOptions opts;
  opts.symbol = std::string(name);
  return format_autocomplete_doc(found, opts);
}

std::vector<std::string> completion_names(const Json& candidates, std::string_view prefix,
                                          const std::optional<std::string>& buffer) {
  std::vector<std::string> names;
  std::set<std::string> seen;
  auto add = [&](std::string name) {
    if (static_cast<int64_t>(names.size()) >= MAX_COMPLETIONS || !name.starts_with(prefix)) return;
    if (seen.insert(name).second) names.push_back(std::move(name));
  };
  if (candidates.has(kelp::COLL))
    candidates.obj()->each([&](const Json& c) {
      add(kelp::is_map(c) ? field_text(c, "candidate") : c.is(kelp::Kind::String) ? std::string(kelp::str_view(c)) : "");
      return true;
    });
  // The runtime knows what has been evaluated; the file also defines what has not been yet.
  if (buffer)
    for (const std::u32string& def : find_buffer_definitions(kelp::to_u32(*buffer))) add(kelp::to_utf8(def));
  return names;
}

ToolTable make_tools(const ToolsOptions& opts) {
  auto tools = std::make_shared<Tools>(opts);
  ToolTable table;
  table.defs = definitions();
  table.call = [tools](const std::string& name, const Json& args) { return tools->call(name, args); };
  table.list_changed = false;
  return table;
}

}  // namespace orrery::mcp
