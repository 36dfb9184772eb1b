// The eval and load-file ops: code run in a session, its output and values and errors sent as replies shaped like
// JVM nREPL's.
#pragma once

#include "kelp/nrepl/request.hpp"
#include "kelp/nrepl/session.hpp"
#include "kelp/rt/namespace.hpp"

namespace kelp::nrepl {

// Evaluates req's "code" form by form in the session (in ns for this request only, when given): output as "out"
// and "err" (sent at each newline, on flush and at the end), one "value" with "ns" per form, and for a form that
// throws the REPL's error text as "err", then "ex" and "root-ex" with status "eval-error" (the forms after it
// still run, as at JVM Clojure's REPL). Ends with "done", or "done" "interrupted" when it was interrupted.
void evaluate(const SessionPtr& session, const Request& req, rt::Namespace* ns);
// Loads req's "file" text as a file named by "file-path" (so errors and metadata name it), with *ns* starting at
// user and the session's namespace left as it was; answers the last form's value only.
void load_file(const SessionPtr& session, const Request& req);

}  // namespace kelp::nrepl
