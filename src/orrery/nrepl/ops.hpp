// The pure translation between nREPL replies and Orrery's own shapes, shared by the kelp-child evaluator and the
// attach evaluators: statuses, advertised ops, completion candidates, documentation maps, evaluation results and
// error messages, and the bookkeeping code texts Orrery sends on a person's session.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelp/data/value.hpp"
#include "orrery/eval.hpp"
#include "orrery/nrepl/client.hpp"

namespace orrery::nrepl::ops {

// The status string of the synthetic reply a request gets when its connection goes.
inline constexpr std::string_view DISCONNECTED_STATUS = "orrery-disconnected";

// Every status string across the replies, in order of first appearance.
std::vector<std::string> statuses(const std::vector<Message>& replies);
bool has_any_status(const std::vector<Message>& replies, std::string_view s);

// The op names a describe reply advertises.
std::set<std::string> op_names(const std::vector<Message>& describe_replies);
// [major minor] from the describe reply's versions "nrepl" entry; nullopt when absent or not integers.
std::optional<std::pair<int, int>> nrepl_version(const std::vector<Message>& describe_replies);
// nrepl_version over a reply that may be missing (a timed-out describe).
std::optional<std::pair<int, int>> nrepl_version(const std::optional<std::vector<Message>>& describe_replies);

// One completion candidate as the evaluator interface returns them.
struct Candidate {
  std::string symbol;
  std::string category;  // "special", "macro", "function", "var", "namespace", "class", ... ("var" when unknown)
};
// The candidates of a completions (or complete) reply: each entry's "candidate" is the symbol; its "type"
// ("special-form" -> "special") or, with only an "ns", "var". Entry fields are read by keyword or string key.
std::vector<Candidate> candidates(const std::vector<Message>& replies);
// offline (a vector of {:candidate :type} maps, as Evaluator::complete returns them) plus the server's names it
// lacks (offline wins for a name both have), sorted as the offline autocomplete sorts a non-blank prefix. Answers
// the same shape as offline.
kelp::Value merge_candidates(const kelp::Value& offline, const std::vector<Candidate>& server, std::string_view prefix);

// A documentation map (the shape Evaluator::lookup answers) from a lookup, info or orrery-info reply; nil when the
// reply names nothing (an unknown symbol, a special form, "unknown-op"). :file and :line pass through when present;
// a blank file counts as none.
kelp::Value doc_info(const std::vector<Message>& replies, std::string_view sym);

// The message of an eval error: the first non-blank line after the last error-printing header in err; else, when
// ex reads "class X", the last line of err naming X; else a Python traceback's or Basilisp's exception line from
// err, or a traceback in ex; else ex; else err's first line.
std::string error_message(std::string_view err, std::string_view ex);

struct EvalResultOptions {
  bool stop_requested = false;
  // The error text when the connection was lost and no Stop was asked for, e.g.
  // "The Kelp runtime exited before this evaluation finished."
  std::string lost_text;
};
// The result of one request's replies: "interrupted" -> Interrupted; the disconnected status -> Interrupted after
// a Stop, else Error lost_text; "eval-error" -> Interrupted after a Stop, else Error "Error: " + the message (or
// "evaluation failed"); any of "error", "namespace-not-found", "unknown-session", "unknown-op" -> Error naming it;
// else Ok with printed = the last :value ("nil" when none). ns = the last reply's :ns that named one.
eval::Result eval_result(const std::vector<Message>& replies, const EvalResultOptions& opts);

// All the :out (or :err) text of the replies, joined in order.
std::string joined(const std::vector<Message>& replies, std::string_view key);

// Code texts. Every name pasted into code is quoted (a string or a quoted symbol built by the printer), so a
// namespace named `a) (x) (b` can never run code. All names are fully qualified: the code runs in whatever
// namespace the session is in.

// Code that keeps *1 *2 *3 as they were across the server's post-eval shift, evaluating body first.
std::string keeping_history(std::string_view body);
// A quiet evaluation: runs code in namespace ns_name when it exists (else the session's), *print-length* 1000,
// without moving the session's namespace or *1 *2 *3 *e; then prints a newline, token, and {:value printed} or
// {:error message}.
std::string quiet_code(std::string_view code, std::string_view token, std::optional<std::string_view> ns_name);
struct QuietOutput {
  std::string out;                   // what the code printed before the token line
  std::optional<std::string> value;  // the printed value
  std::optional<std::string> error;  // the error message
};
// Splits printed output at its last token line; neither value nor error when the token is not there.
QuietOutput quiet_result(std::string_view out, std::string_view token);
// A quiet evaluation's final result from the plain result of its request and its output.
eval::Result quiet_reply(const eval::Result& plain, const QuietOutput& out);
// Removes each listed namespace that exists, then removes and recreates user; wrapped in keeping_history.
std::string reset_code(const std::vector<std::string>& names);
// Refers doc find-doc apropos dir pprint pp into the session's namespace (each require tried, failure ignored), then
// prints [namespace-names loaded-libs].
std::string ns_snapshot_code();
struct NsSnapshot {
  std::vector<std::string> namespaces;
  std::vector<std::string> loaded_libs;
};
std::optional<NsSnapshot> read_ns_snapshot(std::string_view out);

// True when code names read-line, read or *in* (bare or clojure.core/-qualified) outside strings and comments.
bool reads_stdin(std::string_view code);

}  // namespace orrery::nrepl::ops
