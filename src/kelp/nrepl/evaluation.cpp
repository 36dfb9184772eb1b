#include "kelp/nrepl/evaluation.hpp"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kelp/compile/compile_error.hpp"
#include "kelp/compile/compiler.hpp"
#include "kelp/compile/reader_context.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/nrepl/error_report.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/reader.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::nrepl {

namespace {

// *out* or *err* of an evaluation: text goes to the client as "out" or "err" messages, a line at a time (whatever
// ends with the last newline written), and the rest on flush.
class ReplyWriter final : public rt::Writer {
 public:
  ReplyWriter(Request req, const char* key) : req_(std::move(req)), key_(key) {}
  void write(std::string_view utf8) override {
    std::lock_guard lock(mutex_);
    buf_ += utf8;
    size_t nl = buf_.rfind('\n');
    if (nl == std::string::npos) return;
    send_locked(buf_.substr(0, nl + 1));
    buf_.erase(0, nl + 1);
  }
  void flush() override {
    std::lock_guard lock(mutex_);
    if (buf_.empty()) return;
    send_locked(buf_);
    buf_.clear();
  }
  std::string_view type_name() const override { return "java.io.PrintWriter"; }

 private:
  void send_locked(const std::string& text) {
    req_.transport->send(response(req_, {make_string(key_), make_string(text)}));
  }
  Request req_;
  const char* key_;
  std::mutex mutex_;
  std::string buf_;  // guarded by mutex_
};

struct Streams {
  Value out, err;
  void flush() {
    rt::as_writer(out).flush();
    rt::as_writer(err).flush();
  }
};

// The value as pr-str prints it here (the session's print vars apply).
std::string printed(const Value& v) {
  static const Value pr_str_var = rt::core_vars().core->find(symbol("pr-str"));
  Value s = rt::call(pr_str_var, {v});
  return s.is(Kind::String) ? std::string(str_view(s)) : kelp::pr_str(v);
}

void shift_results(const Value& v) {
  const rt::CoreVars& cv = rt::core_vars();
  rt::as_var(cv.star3).set(rt::as_var(cv.star2).deref());
  rt::as_var(cv.star2).set(rt::as_var(cv.star1).deref());
  rt::as_var(cv.star1).set(v);
}

// An exception from the code: *e, then the error text and the exception's classes.
void report(const Request& req, Streams& streams, const Value& ex, int line = 1) {
  rt::as_var(rt::core_vars().stare).set(ex);
  streams.flush();
  req.transport->send(response(req, {make_string("err"), make_string(error_report(ex, line))}));
  req.transport->send(response(req, {make_string("ex"), make_string(class_line(ex)), make_string("root-ex"),
                                     make_string(class_line(root_cause(ex))), make_string("status"),
                                     statuses({"eval-error"})}));
}

// The line a form read from the request's code starts on.
int form_line(const Value& form) {
  Value m = meta(form);
  const Value* line = is_map(m) ? get(m, keyword("line")) : nullptr;
  return line && line->is_int() ? static_cast<int>(line->as_int()) : 1;
}

std::vector<rt::BindingFrame::Entry> eval_bindings(const Session& s, const Streams& streams, rt::Namespace* ns) {
  const rt::CoreVars& cv = rt::core_vars();
  std::vector<rt::BindingFrame::Entry> entries = s.bindings();
  if (ns)
    for (auto& e : entries)
      if (e.var == &rt::as_var(cv.ns)) e.val = rt::ns_value(ns);
  entries.push_back({&rt::as_var(cv.out), streams.out});
  entries.push_back({&rt::as_var(cv.err), streams.err});
  if (s.threaded()) entries.push_back({&rt::as_var(cv.in), s.input()});
  return entries;
}

Streams make_streams(const Request& req) {
  return {Value::adopt(new ReplyWriter(req, "out")), Value::adopt(new ReplyWriter(req, "err"))};
}

void finish(Session& s, const Request& req, Streams& streams) {
  streams.flush();
  // The evaluation's last reply goes before it is marked ended, so that the interrupt's own answer follows it.
  const bool interrupted = s.interrupted();
  s.mark_replied();
  if (interrupted) send_status(req, {"done", "interrupted"});
  else send_status(req, {"done"});
  s.end();
}

}  // namespace

void evaluate(const SessionPtr& session, const Request& req, rt::Namespace* ns) {
  Streams streams = make_streams(req);
  rt::TokenPtr token = session->begin(req);
  try {
    rt::TokenScope token_scope(token);
    rt::BindingScope scope(eval_bindings(*session, streams, ns));
    std::string code = req.str("code");
    compile::RuntimeReaderContext context;
    read::Reader reader(code, read::ReadOptions{}, &context);
    while (!token->fired()) {
      std::optional<Value> form;
      try {
        try {
          form = reader.next();
        } catch (const read::ReadError& e) {
          compile::throw_read_error(e);
        }
      } catch (...) {
        report(req, streams, rt::as_throwable(std::current_exception()));
        break;  // the rest of the text cannot be read reliably
      }
      if (!form) break;
      try {
        Value v = compile::eval(*form);
        std::string text = printed(v);
        streams.flush();
        req.transport->send(response(req, {make_string("value"), make_string(text), make_string("ns"),
                                           make_string(rt::current_ns().name_str())}));
        shift_results(v);
      } catch (...) {
        report(req, streams, rt::as_throwable(std::current_exception()), form_line(*form));
      }
    }
    session->keep_bindings(ns == nullptr);
  } catch (...) {
    // Only the bookkeeping above can land here (the bindings themselves); the reply still ends.
  }
  finish(*session, req, streams);
}

void load_file(const SessionPtr& session, const Request& req) {
  Streams streams = make_streams(req);
  rt::TokenPtr token = session->begin(req);
  try {
    rt::TokenScope token_scope(token);
    rt::BindingScope scope(eval_bindings(*session, streams, rt::core_vars().user));
    std::string path = req.str("file-path");
    if (path.empty()) path = req.str("file-name");
    if (path.empty()) path = "NO_SOURCE_PATH";
    try {
      Value v = compile::load_string(req.str("file"), path);
      std::string text = printed(v);
      streams.flush();
      req.transport->send(response(req, {make_string("value"), make_string(text)}));
      shift_results(v);
    } catch (...) {
      report(req, streams, rt::as_throwable(std::current_exception()));
    }
    session->keep_bindings(false);
  } catch (...) {
  }
  finish(*session, req, streams);
}

}  // namespace kelp::nrepl
