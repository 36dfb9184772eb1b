#include "orrery/nrepl/jvm.hpp"

#include <chrono>
#include <random>
#include <thread>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "orrery/clj.hpp"
#include "orrery/nrepl/generic.hpp"
#include "orrery/nrepl/jvm_frames.hpp"
#include "orrery/nrepl/ops.hpp"
#include "orrery/syntax.hpp"
#include "orrery/syntax_defs.hpp"

namespace orrery::nrepl {

namespace fs = std::filesystem;
using kelp::Value;
using namespace std::chrono_literals;

struct Jvm::Running {
  evaluator::EvalOptions opts;
  // The fields below are guarded by Jvm::mutex_.
  std::string id;  // the request's id once sent
  bool stop_requested = false;
  bool waiting = false;
  bool told_waiting = false;  // the last value on_wait_input was given
  bool ended = false;
};

namespace {

void call_safely(const std::function<void()>& f) {
  try {
    f();
  } catch (...) {
  }
}

Value kw(std::string_view k) { return kelp::keyword(k); }
Value str(std::string_view s) { return kelp::make_string(s); }

// The namespace the first top-level ns form of text names, read from its tokens (no runtime needed).
std::optional<std::string> ns_form_name(std::string_view text) {
  std::u32string t = kelp::to_u32(text);
  Tokens tokens = tokenize(t);
  int depth = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token& tok = tokens[i];
    if (tok.type != TokenType::Bracket) continue;
    char32_t c = t[tok.start];
    if (is_closer(c)) {
      --depth;
      continue;
    }
    if (c == U'(' && depth == 0 && i + 1 < tokens.size() && is_symbol_like(tokens[i + 1].type)) {
      std::u32string_view head(t.data() + tokens[i + 1].start, tokens[i + 1].end - tokens[i + 1].start);
      if (head == U"ns" || head == U"clojure.core/ns") {
        for (size_t j = i + 2; j < tokens.size(); ++j) {
          if (tokens[j].type == TokenType::Bracket && is_closer(t[tokens[j].start])) break;
          if (is_symbol_like(tokens[j].type))
            return kelp::to_utf8(std::u32string_view(t.data() + tokens[j].start, tokens[j].end - tokens[j].start));
        }
      }
    }
    ++depth;
  }
  return std::nullopt;
}

std::string random_token(std::string_view prefix) {
  static thread_local std::mt19937_64 gen{std::random_device{}()};
  std::uniform_int_distribution<uint64_t> d;
  char buf[40];
  uint64_t a = d(gen), b = d(gen);
  std::snprintf(buf, sizeof buf, "%08x-%04x-4%03x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>(a >> 16) & 0xffff, static_cast<unsigned>(a) & 0xfff,
                (static_cast<unsigned>(b >> 48) & 0x3fff) | 0x8000,
                static_cast<unsigned long long>(b & 0xffffffffffffULL));
  return std::string(prefix) + buf;
}

bool answered_cleanly(const std::vector<Message>& replies) {
  return !ops::has_any_status(replies, "lookup-error") && !ops::has_any_status(replies, "error") &&
         !ops::has_any_status(replies, ops::DISCONNECTED_STATUS);
}

}  // namespace

Jvm::Jvm(dialect::Selection selection, Timings timings, bool allow_remote)
    : selection_(std::move(selection)), allow_remote_(allow_remote), link_(std::make_unique<Link>(timings)) {}

Jvm::~Jvm() { link_->detach(); }

bool Jvm::is_clj() const { return !selection_.profile || selection_.profile->id != "nrepl"; }

ConnectPolicy Jvm::policy() const {
  return is_clj() ? clj::connect_policy(selection_) : generic::connect_policy(selection_, allow_remote_);
}

Jvm::RunningPtr Jvm::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

std::optional<std::string> Jvm::eval(std::string code, evaluator::EvalOptions opts) {
  auto r = std::make_shared<Running>();
  r->opts = std::move(opts);
  {
    std::lock_guard lock(mutex_);
    if (running_) return std::string(eval::BUSY_WARNING);
    running_ = r;
  }
  if (!r->opts.run && !r->opts.quiet)
    history_.update([&](eval::History h) { return eval::history_add(std::move(h), code); });
  try {
    std::thread([self = shared_from_this(), r, code = std::move(code)]() mutable { self->work(r, std::move(code)); })
        .detach();
  } catch (...) {
    std::lock_guard lock(mutex_);
    running_.reset();
    return std::string(eval::NO_WORKER_WARNING);
  }
  return std::nullopt;
}

void Jvm::work(const RunningPtr& r, std::string code) {
  auto say = [r](std::string_view text) {
    if (r->opts.on_output) call_safely([&] { r->opts.on_output(eval::OutputKind::Out, text); });
  };
  auto stopped = [this, r] {
    std::lock_guard lock(mutex_);
    return r->stop_requested;
  };
  eval::Result result;
  try {
    if (r->opts.on_status_change) call_safely([&] { r->opts.on_status_change(eval::RunStatus::Running); });
    if (std::optional<eval::Result> ended = link_->connect(policy(), stopped, say)) {
      finish(r, *ended);
      return;
    }
    auto_require(r);
    if (stopped()) {
      result.status = eval::Status::Interrupted;
      finish(r, result);
      return;
    }
    if (!is_clj() && ops::reads_stdin(code) && !link_->has_op("stdin")) say(generic::STDIN_NOTICE);
    result = evaluate(r, code);
  } catch (const std::exception& e) {
    result = eval::Result{};
    result.status = eval::Status::Error;
    result.error_text = std::string("Error: ") + e.what();
  }
  finish(r, result);
}

void Jvm::auto_require(const RunningPtr& r) {
  const std::vector<std::string>& names = selection_.auto_require;
  if (!is_clj() || names.empty()) return;
  // Marked before sending, so a list that fails is not resent until the next connect.
  if (link_->mark_once("auto-required")) return;
  std::string listed, code = "(clojure.core/require";
  for (const std::string& n : names) {
    listed += (listed.empty() ? "" : " ") + n;
    code += " (clojure.core/symbol " + kelp::pr_str(str(n)) + ")";
  }
  code += ")";
  auto say = [r](std::string_view text) {
    if (r->opts.on_output) call_safely([&] { r->opts.on_output(eval::OutputKind::Out, text); });
  };
  say("; auto-require: " + listed + "\n");
  RequestOptions ro;
  ro.on_output = r->opts.on_output;
  std::vector<Message> replies = link_->request(
      kelp::make_map({kw("op"), str("eval"), kw("code"), str(code), kw("ns"), str(prompt_ns())}), ro);
  bool stop;
  {
    std::lock_guard lock(mutex_);
    stop = r->stop_requested;
  }
  eval::Result res = ops::eval_result(replies, {stop, std::string(clj::LOST_CONNECTION)});
  if (res.status == eval::Status::Error)
    say("; auto-require failed (the error is above), so carrying on without it. " +
        std::string(clj::AUTO_REQUIRE_RETRY) + "\n");
}

eval::Result Jvm::evaluate(const RunningPtr& r, const std::string& code) {
  const evaluator::EvalOptions& o = r->opts;
  Message msg;
  std::optional<std::string> buffer_ns;
  std::string prompt = prompt_ns();
  bool selection = !o.run && o.ns_source.has_value();
  std::string ns = prompt;
  if (o.run) {
    // The file's own ns form decides where it loads: no :ns is sent.
    std::string file_path = "untitled.clj", file_name = "untitled.clj";
    if (o.path && !o.path->empty()) {
      std::error_code ec;
      fs::path abs = fs::absolute(*o.path, ec);
      file_path = ec ? *o.path : abs.string();
      file_name = fs::path(*o.path).filename().string();
    }
    buffer_ns = ns_form_name(code);
    msg = kelp::make_map({kw("op"), str("load-file"), kw("file"), str(code), kw("file-path"), str(file_path),
                          kw("file-name"), str(file_name)});
  } else {
    if (selection) ns = ns_form_name(*o.ns_source).value_or(prompt);
    msg = kelp::make_map({kw("op"), str("eval"), kw("code"), str(code), kw("ns"), str(ns)});
  }

  RequestOptions ro;
  ro.on_output = o.on_output;
  ro.on_message = [this, r](const Message& reply) { watch_stdin(r, reply); };
  ro.on_id = [this, r](const std::string& id) {
    std::lock_guard lock(mutex_);
    r->id = id;
  };
  std::vector<Message> replies = link_->request(std::move(msg), ro);
  bool stop;
  {
    std::lock_guard lock(mutex_);
    stop = r->stop_requested;
  }
  eval::Result res = ops::eval_result(replies, {stop, std::string(clj::LOST_CONNECTION)});
  if (selection && ops::has_any_status(replies, "namespace-not-found")) {
    // The buffer's ns form is never sent on its own: the person runs the file first.
    res = eval::Result{};
    res.status = eval::Status::Error;
    res.error_text = clj::not_loaded(ns);
  }
  std::lock_guard lock(mutex_);
  if (res.status == eval::Status::Ok) {
    if (o.run) prompt_ns_ = buffer_ns.value_or(prompt_ns_);
    else if (!selection && !o.quiet && !res.ns.empty()) prompt_ns_ = res.ns;
  }
  res.ns = prompt_ns_;
  return res;
}

void Jvm::watch_stdin(const RunningPtr& r, const Message& reply) {
  bool tell = false, value = false;
  {
    std::lock_guard lock(mutex_);
    if (has_status(reply, "need-input")) {
      r->waiting = r->told_waiting = true;
      tell = value = true;
    } else if (r->told_waiting && (has_status(reply, "done") || has_status(reply, "interrupted"))) {
      r->waiting = r->told_waiting = false;
      tell = true;
    }
  }
  if (tell && r->opts.on_wait_input) call_safely([&] { r->opts.on_wait_input(value); });
}

void Jvm::finish(const RunningPtr& r, const eval::Result& result) {
  bool was_waiting;
  {
    std::lock_guard lock(mutex_);
    if (running_ == r) running_.reset();
    r->ended = true;
    was_waiting = r->told_waiting;
    r->waiting = r->told_waiting = false;
  }
  // A Stop or detach mid-read must never leave the console expecting input.
  if (was_waiting && r->opts.on_wait_input) call_safely([&] { r->opts.on_wait_input(false); });
  if (r->opts.on_status_change) call_safely([&] { r->opts.on_status_change(eval::RunStatus::Idle); });
  if (r->opts.on_complete) call_safely([&] { r->opts.on_complete(result); });
}

void Jvm::interrupt() {
  RunningPtr r;
  {
    std::lock_guard lock(mutex_);
    r = running_;
    if (!r || r->stop_requested) return;  // an idle Stop keeps the connection; a second Stop changes nothing
    r->stop_requested = true;
  }
  auto say = [r](std::string_view text) {
    if (r->opts.on_output) call_safely([&] { r->opts.on_output(eval::OutputKind::Out, text); });
  };
  if (!link_->is_live()) {
    link_->detach();  // closes a half-made connection, so the handshake ends at once
    return;
  }
  if (!link_->has_op("interrupt")) {
    say("; " + std::string(generic::NO_INTERRUPT) + "\n");
    link_->detach();
    return;
  }
  auto self = shared_from_this();
  std::chrono::milliseconds limit = link_->timings().interrupt;
  auto ended = [self, r] {
    std::lock_guard lock(self->mutex_);
    return r->ended;
  };
  // The interrupt and the clock run on their own threads, so a peer that stops reading (a send blocked on a full
  // buffer) cannot delay the detach.
  std::thread([self, r, limit, ended] {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      std::string id;
      {
        std::lock_guard lock(self->mutex_);
        if (r->ended) return;  // a nil interrupt id would interrupt whatever runs next
        id = r->id;
      }
      if (!id.empty()) {
        self->link_->send(kelp::make_map({kw("op"), str("interrupt"), kw("interrupt-id"), str(id)}));
        return;
      }
      std::this_thread::sleep_for(5ms);
    }
    (void)ended;
  }).detach();
  std::thread([self, r, limit, ended, say] {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (ended()) return;
      std::this_thread::sleep_for(20ms);
    }
    if (ended()) return;
    say(std::string(clj::INTERRUPT_FAILED) + "\n");
    self->link_->detach();
  }).detach();
}

void Jvm::stop() {
  {
    std::lock_guard lock(mutex_);
    if (running_) running_->stop_requested = true;
  }
  link_->detach();
}

void Jvm::detach() { link_->detach(); }

bool Jvm::is_evaluating() {
  std::lock_guard lock(mutex_);
  return running_ != nullptr;
}

bool Jvm::is_waiting_for_input() {
  std::lock_guard lock(mutex_);
  return running_ && running_->waiting;
}

void Jvm::send_input(std::string_view text) {
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    running_->waiting = false;  // follows the key press; a second need-input marks it again
  }
  std::string line(text);
  if (line.empty() || line.back() != '\n') line += '\n';
  std::thread([self = shared_from_this(), line] {
    self->link_->send(kelp::make_map({kw("op"), str("stdin"), kw("stdin"), str(line)}));
  }).detach();
}

void Jvm::send_eof() {
  RunningPtr r;
  bool note = false;
  std::optional<std::pair<int, int>> version = link_->nrepl_version();
  bool supported = version && *version >= std::pair(1, 8);
  {
    std::lock_guard lock(mutex_);
    r = running_;
    if (!r || !r->waiting) return;
    if (supported) {
      r->waiting = false;
    } else if (!eof_noted_) {
      eof_noted_ = note = true;
    }
  }
  if (supported) {
    std::thread([self = shared_from_this()] {
      self->link_->send(kelp::make_map({kw("op"), str("stdin"), kw("stdin"), str("")}));
    }).detach();
    return;
  }
  if (note && r->opts.on_output) {
    std::string text = version ? clj::eof_unsupported(version->first, version->second)
                               : std::string(clj::EOF_UNKNOWN_VERSION);
    call_safely([&] { r->opts.on_output(eval::OutputKind::Out, text + "\n"); });
  }
}

std::string Jvm::prompt_ns() {
  std::lock_guard lock(mutex_);
  return prompt_ns_;
}

std::string Jvm::help_ns(std::string_view text) { return ns_form_name(text).value_or(prompt_ns()); }

kelp::Value Jvm::offline_candidates(const evaluator::CompleteRequest& req) {
  // The program lives in the server, not in Orrery's own runtime.
  return evaluator::offline_candidates(req, evaluator::NO_IN_PROCESS_NS);
}

kelp::Value Jvm::complete(const evaluator::CompleteRequest& req) {
  Value offline = offline_candidates(req);
  try {
    if (!link_->is_live()) return offline;  // never connects by itself: this runs on the window's thread
    std::string op = link_->has_op("completions") ? "completions" : link_->has_op("complete") ? "complete" : "";
    if (op.empty()) return offline;
    auto replies = link_->request_sync(kelp::make_map({kw("op"), str(op), kw("prefix"), str(req.prefix),
                                                       kw("symbol"), str(req.prefix), kw("ns"),
                                                       str(help_ns(req.text))}),
                                       evaluator::help_timeout(link_->timings().help));
    if (!replies) return offline;
    std::vector<ops::Candidate> server = ops::candidates(*replies);
    if (!is_clj()) server = generic::prefix_filter(std::move(server), req.prefix);
    return ops::merge_candidates(offline, server, req.prefix);
  } catch (...) {
    return offline;
  }
}

Resolved Jvm::resolve_lookup(std::string_view sym, std::string_view text, std::chrono::milliseconds timeout) {
  Resolved res;
  if (!link_->is_live()) return res;
  std::string op = link_->has_op("lookup") ? "lookup" : link_->has_op("info") ? "info" : "";
  if (op.empty()) {
    res.status = Resolved::Status::NoOp;
    return res;
  }
  auto ask = [&](const std::string& ns) {
    return link_->request_sync(
        kelp::make_map({kw("op"), str(op), kw("sym"), str(sym), kw("symbol"), str(sym), kw("ns"), str(ns)}), timeout);
  };
  auto dropped = [&](const std::optional<std::vector<Message>>& r) {
    return !link_->is_live() || (r && ops::has_any_status(*r, ops::DISCONNECTED_STATUS));
  };
  std::string ns1 = help_ns(text);
  auto r1 = ask(ns1);
  if (dropped(r1)) return res;
  if (!r1) {
    res.status = Resolved::Status::Timeout;
    return res;
  }
  if (answered_cleanly(*r1)) {
    res = {Resolved::Status::Ok, ns1, *r1};
    return res;
  }
  std::string ns2 = prompt_ns();
  if (ns2 != ns1) {
    auto r2 = ask(ns2);
    if (dropped(r2)) return Resolved{};
    if (!r2) return Resolved{Resolved::Status::Timeout, "", {}};
    if (answered_cleanly(*r2) && !ops::doc_info(*r2, sym).is_nil()) return Resolved{Resolved::Status::Retried, ns2, *r2};
  }
  return Resolved{Resolved::Status::NotLoaded, ns1, {}};
}

kelp::Value Jvm::lookup(std::string_view sym, int64_t /*pos*/) {
  try {
    Resolved r = resolve_lookup(sym, "", evaluator::help_timeout(link_->timings().help));
    if (r.status != Resolved::Status::Ok && r.status != Resolved::Status::Retried) return Value();
    Value doc = ops::doc_info(r.reply, sym);
    if (doc.is_nil()) return doc;
    // A file the server names is kept only when it opens here (a remote server's paths do not).
    const Value* file = kelp::get(doc, kw("file"));
    if (file && file->is(kelp::Kind::String)) {
      if (!generic::is_local_file(kelp::str_view(*file))) {
        doc = kelp::dissoc(kelp::dissoc(doc, kw("file")), kw("line"));
      } else {
        std::string where = "Defined in " + std::string(kelp::str_view(*file));
        if (const Value* line = kelp::get(doc, kw("line")); line && line->is_int())
          where += ":" + std::to_string(line->as_int());
        doc = kelp::assoc(doc, kw("location"), str(where));
      }
    }
    return doc;
  } catch (...) {
    return Value();
  }
}

void Jvm::full_doc(std::string_view sym, std::string_view text, std::function<void(const kelp::Value&)> on_result) {
  auto answer = [on_result](std::string_view status, std::optional<std::pair<std::string, std::string>> extra = {}) {
    std::vector<Value> kvs{kw("status"), kw(status)};
    if (extra) {
      kvs.push_back(kw(extra->first));
      kvs.push_back(str(extra->second));
    }
    call_safely([&] { on_result(kelp::make_map(kvs)); });
  };
  if (!link_->is_live()) return answer("not-attached");
  if (!link_->has_op("doc")) return answer("no-op");
  std::thread([self = shared_from_this(), s = std::string(sym), t = std::string(text), answer] {
    Resolved r = self->resolve_lookup(s, t, self->link_->timings().help);
    switch (r.status) {
      case Resolved::Status::NotAttached: return answer("not-attached");
      case Resolved::Status::Timeout: return answer("timeout");
      case Resolved::Status::NoOp: return answer("no-op");
      case Resolved::Status::NotLoaded: return answer("not-loaded", std::pair(std::string("ns"), r.ns));
      default: break;
    }
    auto replies = self->link_->request_sync(
        kelp::make_map({kw("op"), str("doc"), kw("sym"), str(s), kw("ns"), str(r.ns)}),
        self->link_->timings().full_doc);
    if (!replies) return answer("timeout");
    std::string doc = ops::joined(*replies, "doc") + ops::joined(*replies, "text");
    if (doc.find_first_not_of(" \t\r\n") == std::string::npos) return answer("timeout");
    answer("ok", std::pair(std::string("text"), doc));
  }).detach();
}

std::vector<std::string> Jvm::limitations() {
  if (is_clj()) return clj::limitations();
  if (!link_->is_live())
    return {"Orrery attaches to a server you started: it never starts or stops it.",
            "Reset on Run isn't available: Orrery doesn't unload namespaces in a server you started."};
  return generic::limitations(link_->ops());
}

bool Jvm::is_connected() { return link_->is_live(); }
void Jvm::on_connection(std::function<void(bool)> f) { link_->on_connection(std::move(f)); }

void Jvm::error_frames(std::function<void(const kelp::Value&)> on_result) {
  auto error = [](std::string_view s) { return kelp::make_map({kw("error"), str(s)}); };
  if (is_evaluating()) return call_safely([&] { on_result(error(clj::FRAMES_WHILE_RUNNING)); });
  if (!link_->is_live())
    return call_safely([&] { on_result(error("No frames: Orrery isn't attached to the server yet. Run something first.")); });
  std::thread([self = shared_from_this(), on_result, error] {
    std::string token = random_token("orrery-frames-");
    auto replies = self->link_->request_sync(
        kelp::make_map({kw("op"), str("eval"), kw("code"), str(jvm_frames::code(token)), kw("ns"),
                        str(self->prompt_ns())}),
        self->link_->timings().inspect);
    Value data = replies ? jvm_frames::parse(ops::joined(*replies, "out"), token)
                         : error("The server didn't send the frames.");
    call_safely([&] { on_result(data); });
  }).detach();
}

kelp::Value Jvm::toggle_debug_mode() { return kelp::make_map({kw("error"), str(clj::DEBUG_NEEDS_KELP)}); }
kelp::Value Jvm::eval_in_frame() { return kelp::make_map({kw("error"), str(clj::FRAME_EVAL_NEEDS_KELP)}); }

std::shared_ptr<Jvm> make_jvm(const dialect::Selection& selection, Timings timings, bool allow_remote) {
  return std::make_shared<Jvm>(selection, timings, allow_remote);
}

evaluator::EvaluatorPtr make_attached(const dialect::Selection& selection, bool allow_remote) {
  std::string id = selection.profile ? selection.profile->id : "";
  if (id == "clj" || id == "nrepl") return make_jvm(selection, {}, allow_remote);
  throw std::runtime_error("No attach evaluator for dialect " + id);
}

void register_attach() {
  evaluator::register_factory(dialect::Runtime::Attach,
                              [](const dialect::Selection& selection) { return make_attached(selection); });
}

}  // namespace orrery::nrepl
