#include "orrery/session.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unordered_map>

#include "kelp/data/map.hpp"
#include "kelp/data/seq.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/kelp.hpp"
#include "kelp/lib/ns_loading.hpp"
#include "kelp/read/edn.hpp"
#include "kelp/read/reader.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/loader.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"
#include "orrery/syntax_defs.hpp"

namespace orrery::session {

namespace fs = std::filesystem;
using kelp::Value;

namespace {

// What a def puts in :file when the code came from no file.
constexpr std::string_view NO_SOURCE = "NO_SOURCE_PATH";

Value kw(std::string_view name) { return kelp::keyword(name); }

std::set<std::string> namespace_names() {
  std::set<std::string> names;
  for (kelp::rt::Namespace* ns : kelp::rt::all_ns()) names.emplace(ns->name_str());
  return names;
}

// The runtime's own namespaces (clojure.core, kelp.host, ...): those of its clojure.* and kelp.* names that exist
// once it has booted. Going by name as well keeps a program's namespace that happens to exist before the first
// session (another window's, say) from passing for the runtime's.
const std::set<std::string>& runtime_namespaces() {
  static const std::set<std::string> names = [] {
    kelp::boot();
    std::set<std::string> s;
    for (const std::string& name : namespace_names())
      if (name.starts_with("clojure.") || name.starts_with("kelp.")) s.insert(name);
    return s;
  }();
  return names;
}

// Namespaces no evaluation owns: once removed, require would not bring them back. The ns macro marks its
// namespace loaded as require does, so an evaluation's own ns forms are told apart by the caller.
std::set<std::string> libraries() {
  std::set<std::string> libs = runtime_namespaces();
  kelp::rt::loader::loaded_libs().obj()->each([&](const Value& sym) {
    libs.emplace(sym.as<kelp::Symbol>().name());
    return true;
  });
  return libs;
}

bool is_var(const Value& v) { return v.is(kelp::Kind::Var); }

std::optional<std::string> string_at(const Value& m, std::string_view key) {
  if (!kelp::is_map(m)) return std::nullopt;
  const Value* v = kelp::get(m, kw(key));
  if (!v || !v->is(kelp::Kind::String)) return std::nullopt;
  return std::string(kelp::str_view(*v));
}

// A def of code that came from no file still names NO_SOURCE_PATH; that is no file.
bool has_file(const Value& meta) {
  std::optional<std::string> file = string_at(meta, "file");
  return file && *file != NO_SOURCE;
}

bool has_line(const Value& meta) {
  if (!kelp::is_map(meta)) return false;
  const Value* line = kelp::get(meta, kw("line"));
  return line && !line->is_nil();
}

std::optional<std::string> read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(text).str();
}

// The folders the project's code lives in: deps.edn's :paths (strings), else "src", under the project folder.
std::vector<std::string> project_roots(const fs::path& project_dir) {
  std::vector<std::string> paths;
  if (std::optional<std::string> deps = read_text(project_dir / "deps.edn")) {
    kelp::Result<Value> read = kelp::read_edn(*deps);
    const Value* p = read && kelp::is_map(*read) ? kelp::get(*read, kw("paths")) : nullptr;
    if (p && p->is(kelp::Kind::Vector)) {
      p->obj()->each([&](const Value& item) {
        if (item.is(kelp::Kind::String)) paths.emplace_back(kelp::str_view(item));
        return true;
      });
    }
  }
  if (paths.empty()) paths.emplace_back("src");
  std::vector<std::string> roots;
  for (const std::string& p : paths) roots.push_back((project_dir / p).lexically_normal().string());
  return roots;
}

bool is_core_call(const Value& form, std::string_view name) {
  if (!form.is(kelp::Kind::List) || kelp::count(form) < 2) return false;
  Value head = kelp::first(form);
  if (!kelp::is_symbol(head)) return false;
  const auto& sym = head.as<kelp::Symbol>();
  return sym.name() == name && (sym.ns().empty() || sym.ns() == "clojure.core");
}

// The namespace a top-level (ns X ...) or (in-ns 'X) form switches to, if form is one.
std::optional<std::string> switched_ns(const Value& form) {
  bool in_ns = is_core_call(form, "in-ns");
  if (!in_ns && !is_core_call(form, "ns")) return std::nullopt;
  Value name = kelp::first(kelp::next(form));
  if (in_ns && is_core_call(name, "quote")) name = kelp::first(kelp::next(name));
  if (!kelp::is_symbol(name)) return std::nullopt;
  return std::string(name.as<kelp::Symbol>().name());
}

// The namespaces text's top-level ns and in-ns forms switch to, in order, as far as the text reads. Never throws.
std::vector<std::string> switched_namespaces(std::string_view text, bool first_ns_only) {
  std::vector<std::string> names;
  try {
    kelp::read::Reader reader(text);
    while (std::optional<Value> form = reader.next()) {
      if (first_ns_only && !is_core_call(*form, "ns")) continue;
      if (std::optional<std::string> name = switched_ns(*form)) names.push_back(*name);
      if (first_ns_only && !names.empty()) break;
    }
  } catch (...) {
  }
  return names;
}

// The namespace named by the first ns form of text, if any.
std::optional<std::string> ns_form_name(std::string_view text) {
  std::vector<std::string> names = switched_namespaces(text, true);
  if (names.empty()) return std::nullopt;
  return names.front();
}

Value thrown_value(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const kelp::rt::Thrown& t) {
    return t.value();
  } catch (...) {
    return kelp::rt::as_throwable(std::current_exception());
  }
}

Value core_fn(std::string_view name) {
  kelp::rt::Namespace* core = kelp::rt::find_ns("clojure.core");
  Value var = core ? core->find_interned(kelp::symbol(name)) : Value();
  return is_var(var) ? kelp::rt::as_var(var).deref() : Value();
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

// user as a fresh process has it: empty but for clojure.core referred. The *ns* root follows it, so code that
// runs outside any evaluation's binding does not land in the removed one.
void recreate_user() {
  kelp::rt::Namespace* user = kelp::rt::create_ns("user");
  kelp::lib::refer_all(*user, *kelp::rt::core_vars().core);
  kelp::rt::Var& ns_var = kelp::rt::as_var(kelp::rt::core_vars().ns);
  Value root = ns_var.root();
  if (!root.is(kelp::Kind::Namespace) || &kelp::rt::as_ns(root) != user) ns_var.bind_root(kelp::rt::ns_value(user));
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// Owners and namespaces.

State release_owner_in(State state, const Owner& owner) {
  if (owner == evaluator::OWNER_REPL) return state;
  auto it = state.created.find(owner);
  if (it == state.created.end()) return state;
  std::set<std::string> names = std::move(it->second);
  state.created.erase(it);
  state.created[evaluator::OWNER_REPL].merge(names);
  return state;
}

std::set<std::string> namespaces_created(const std::set<std::string>& before, const std::set<std::string>& after,
                                         const std::set<std::string>& libs) {
  std::set<std::string> created;
  for (const std::string& name : after)
    if (!before.contains(name) && !libs.contains(name)) created.insert(name);
  return created;
}

VarMetas program_vars() {
  // Not loaded_libs: the ns macro marks a Run's own namespace loaded too. A required library's vars are left
  // alone by mark_run_file anyway, as they have a file.
  VarMetas vars;
  for (kelp::rt::Namespace* ns : kelp::rt::all_ns()) {
    if (runtime_namespaces().contains(std::string(ns->name_str()))) continue;
    for (const auto& [sym, target] : ns->mappings()) {
      // Only vars interned here: a referred var is another namespace's.
      if (is_var(target) && kelp::rt::as_var(target).ns() == ns) vars.emplace_back(target, target.obj()->meta());
    }
  }
  return vars;
}

std::optional<fs::path> saved_file(const std::optional<std::string>& path, std::string_view code) {
  if (!path || path->empty()) return std::nullopt;
  std::error_code ec;
  fs::path canonical = fs::canonical(*path, ec);
  if (ec || !fs::is_regular_file(canonical, ec)) return std::nullopt;
  std::optional<std::string> disk = read_text(canonical);
  if (!disk || *disk != code) return std::nullopt;
  return canonical;
}

void mark_run_file(const fs::path& file, const VarMetas& before) {
  // A def replaces a var's metadata with a new map, so identity says whether the Run touched it.
  std::unordered_map<const kelp::Object*, Value> was;
  for (const auto& [var, meta] : before) was.emplace(var.obj(), meta);
  Value file_name = kelp::make_string(file.string());
  for (const auto& [var, meta] : program_vars()) {
    auto it = was.find(var.obj());
    if (it != was.end() && it->second.identical(meta)) continue;
    if (!has_line(meta) || has_file(meta)) continue;
    kelp::rt::as_var(var).set_meta(kelp::assoc(meta, kw("file"), file_name));
  }
}

// ---------------------------------------------------------------------------------------------------------------
// The session.

// What one evaluation carries from its start on the worker to its end there.
struct RunRecord {
  Owner owner;
  bool quiet = false;
  std::optional<std::string> missing_target;  // the namespace the engine will create for this run, if any
  std::vector<std::string> own;               // the namespaces the code's own ns and in-ns forms switch to
  bool snapped = false;                       // before was taken: without it nothing can be attributed
  std::set<std::string> before;
  std::optional<fs::path> mark_file;  // a saved file's Run on a runtime that cannot evaluate as that file
  VarMetas vars_before;
};
using RecordPtr = std::shared_ptr<RunRecord>;

struct InProcess::Impl {
  static void set_project_roots(InProcess& s) {
    if (s.opts_.project_dir) kelp::rt::loader::set_source_roots(project_roots(*s.opts_.project_dir));
  }

  // Once per session, the project's auto-require list. The flag goes up before the require, so a list that fails
  // is not tried on every evaluation; a Stop during it lowers the flag again so the next evaluation tries again.
  static void auto_require(InProcess& s) {
    {
      std::lock_guard lock(s.mutex_);
      if (s.state_.auto_required) return;
      s.state_.auto_required = true;
    }
    const std::vector<std::string>& names = s.opts_.auto_require;
    if (names.empty()) return;
    kelp::rt::out_write("; auto-require: " + joined(names) + "\n");
    try {
      std::vector<Value> syms;
      for (const std::string& n : names) syms.push_back(kelp::symbol(n));
      kelp::rt::call(core_fn("require"), kelp::rt::Args(syms));
    } catch (...) {
      Value error = thrown_value(std::current_exception());
      if (eval::is_interrupted(error)) {
        std::lock_guard lock(s.mutex_);
        s.state_.auto_required = false;
        throw;
      }
      kelp::rt::err_write(eval::format_error(error) + "\n");
      kelp::rt::out_write(
          "; auto-require failed (the error is above), so carrying on without it. It runs again in a new window.\n");
    }
  }

  static void before_eval(InProcess& s, RunRecord& rec) {
    rec.before = namespace_names();
    if (rec.missing_target) rec.before.erase(*rec.missing_target);
    rec.snapped = true;
    if (rec.mark_file) rec.vars_before = program_vars();
    set_project_roots(s);
    auto_require(s);
  }

  // Recorded before the context goes idle, so the next evaluation (a Run's reset above all) sees it.
  static void record(InProcess& s, RunRecord& rec, const eval::Result& result) {
    if (rec.mark_file) mark_run_file(*rec.mark_file, rec.vars_before);
    std::set<std::string> created;
    if (rec.snapped) {
      // A namespace the code declares is its own even though its ns form marked it loaded; one a require loaded
      // along the way is a library.
      std::set<std::string> libs = libraries();
      for (const std::string& name : rec.own)
        if (!runtime_namespaces().contains(name)) libs.erase(name);
      created = namespaces_created(rec.before, namespace_names(), libs);
    }
    std::lock_guard lock(s.mutex_);
    if (!created.empty()) s.state_.created[rec.owner].merge(created);
    if (rec.quiet) return;
    if (!result.ns.empty()) s.state_.prompt_ns = result.ns;
    if (result.status == eval::Status::Ok) s.state_.last_value = result.value;
    if (result.status == eval::Status::Error) s.state_.last_error = result.error;
  }

  static std::optional<std::string> evaluate(InProcess& s, std::string code, const evaluator::EvalOptions& caller,
                                             eval::Options opts, RecordPtr rec) {
    if (!kelp::rt::find_ns(opts.ns_name)) rec->missing_target = opts.ns_name;
    rec->own = switched_namespaces(code, false);
    std::shared_ptr<InProcess> keep = s.weak_from_this().lock();  // alive until the run ends
    InProcess* self = &s;
    opts.on_output = caller.on_output;
    opts.on_wait_input = caller.on_wait_input;
    opts.on_status_change = caller.on_status_change;
    opts.before_eval = [self, rec] { before_eval(*self, *rec); };
    opts.before_idle = [self, rec](const eval::Result& r) { record(*self, *rec, r); };
    opts.on_complete = [keep, on_complete = caller.on_complete](const eval::Result& r) {
      if (on_complete) on_complete(r);
    };
    return eval::eval_async(s.ctx_, std::move(code), std::move(opts));
  }
};

InProcess::InProcess(SessionOptions opts) : ctx_(eval::make_eval_context()), opts_(std::move(opts)) {
  kelp::boot();
  runtime_namespaces();
}

std::shared_ptr<InProcess> make_session(SessionOptions opts) { return std::make_shared<InProcess>(std::move(opts)); }

std::optional<std::string> InProcess::start() { return std::nullopt; }

void InProcess::stop() { eval::stop_eval(ctx_); }

void InProcess::interrupt() { eval::stop_eval(ctx_); }

std::optional<std::string> InProcess::eval(std::string code, evaluator::EvalOptions opts) {
  if (opts.quiet) return quiet_eval(std::move(code), std::move(opts));
  if (opts.run) return run_definitions(std::move(code), std::move(opts));
  return submit_repl(std::move(code), std::move(opts));
}

std::optional<std::string> InProcess::run_definitions(std::string code, evaluator::EvalOptions opts) {
  std::lock_guard start(start_mutex_);
  if (eval::is_evaluating(ctx_)) return std::string(eval::BUSY_WARNING);
  Owner owner = opts.owner.value_or(evaluator::OWNER_RUN);
  if (opts.reset && state().mode == evaluator::Mode::Reset) reset_namespaces(owner);
  // Line counts come with the runtime tools; until then there is nothing to clear.
  auto rec = std::make_shared<RunRecord>();
  rec->owner = owner;
  eval::Options run;
  run.ns_name = "user";
  if (std::optional<fs::path> file = saved_file(opts.path, code)) {
    if (eval::is_source_path()) {
      run.source_path = file->string();
    } else {
      rec->mark_file = *file;
    }
  }
  return Impl::evaluate(*this, std::move(code), opts, std::move(run), std::move(rec));
}

std::optional<std::string> InProcess::submit_repl(std::string code, evaluator::EvalOptions opts) {
  std::lock_guard start(start_mutex_);
  auto rec = std::make_shared<RunRecord>();
  rec->owner = opts.owner.value_or(evaluator::OWNER_REPL);
  eval::Options run;
  run.ns_name = prompt_ns();
  std::string entry = code;
  std::optional<std::string> busy = Impl::evaluate(*this, std::move(code), opts, std::move(run), std::move(rec));
  if (!busy) eval::history(ctx_).update([&](eval::History h) { return eval::history_add(std::move(h), entry); });
  return busy;
}

std::optional<std::string> InProcess::quiet_eval(std::string code, evaluator::EvalOptions opts) {
  std::lock_guard start(start_mutex_);
  auto rec = std::make_shared<RunRecord>();
  rec->owner = opts.owner.value_or(evaluator::OWNER_REPL);
  rec->quiet = true;
  eval::Options run;
  run.quiet = true;
  run.ns_name = prompt_ns();
  if (opts.ns_source) {
    std::optional<std::string> named = ns_form_name(*opts.ns_source);
    if (named && kelp::rt::find_ns(*named)) run.ns_name = *named;
  }
  return Impl::evaluate(*this, std::move(code), opts, std::move(run), std::move(rec));
}

void InProcess::reset_namespaces(const Owner& owner) {
  std::set<std::string> doomed{"user"};
  {
    std::lock_guard lock(mutex_);
    for (const Owner& o : {owner, evaluator::OWNER_REPL}) {
      auto it = state_.created.find(o);
      if (it == state_.created.end()) continue;
      doomed.insert(it->second.begin(), it->second.end());
      state_.created.erase(it);
    }
  }
  // What an owner holds was no library when it was recorded; only the runtime's own are refused outright.
  for (const std::string& name : doomed)
    if (!runtime_namespaces().contains(name)) {
      kelp::rt::remove_ns(kelp::symbol(name));
      kelp::rt::loader::unmark_loaded(kelp::symbol(name));  // a later require loads it afresh
    }
  recreate_user();
  // The prompt never stays in a namespace that is gone: evaluating there would quietly make an empty one.
  std::lock_guard lock(mutex_);
  if (!kelp::rt::find_ns(state_.prompt_ns)) state_.prompt_ns = "user";
}

void InProcess::release_owner(const Owner& owner) {
  std::lock_guard lock(mutex_);
  state_ = release_owner_in(std::move(state_), owner);
}

State InProcess::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void InProcess::set_mode(evaluator::Mode mode) {
  std::lock_guard lock(mutex_);
  state_.mode = mode;
}

std::string InProcess::prompt_ns() {
  std::lock_guard lock(mutex_);
  return state_.prompt_ns;
}

bool InProcess::is_evaluating() { return eval::is_evaluating(ctx_); }
bool InProcess::is_waiting_for_input() { return eval::is_waiting_for_input(ctx_); }
void InProcess::send_input(std::string_view text) { eval::push_stdin(ctx_, text); }
void InProcess::send_eof() { eval::push_stdin_eof(ctx_); }
eval::SharedHistory& InProcess::history() { return eval::history(ctx_); }

// The text's candidates as syntax_defs orders them, the prompt's namespace giving the user's runtime names.
kelp::Value InProcess::complete(const evaluator::CompleteRequest& req) {
  return evaluator::offline_candidates(req, prompt_ns());
}

// What the runtime knows of sym from the prompt's namespace; nil when it knows nothing.
kelp::Value InProcess::lookup(std::string_view sym, int64_t /*pos*/) {
  try {
    std::optional<DocMap> doc = runtime_doc(kelp::to_u32(sym), prompt_ns());
    return doc ? doc_map_value(*doc) : Value();
  } catch (...) {
    return Value();
  }
}

void register_in_process() {
  evaluator::register_factory(dialect::Runtime::InProcess, [](const dialect::Selection& selection) {
    return evaluator::EvaluatorPtr(make_session({selection.project_dir, selection.auto_require}));
  });
}

}  // namespace orrery::session
