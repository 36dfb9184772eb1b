// kelp.nrepl: the nREPL server as the language sees it (start, stop, port), and nrepl.middleware, the name under
// which kelp carries nREPL's default middleware built in.
#include <string>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/lib/ns_common.hpp"
#include "kelp/nrepl/server.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/loader.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::lib {

namespace {

using namespace ns_detail;
using rt::Args;

constexpr std::string_view DEFAULT_MIDDLEWARE_NS = "nrepl.middleware";
constexpr std::string_view DEFAULT_MIDDLEWARE = "default-middleware";

class ServerHandle final : public Object {
 public:
  explicit ServerHandle(std::shared_ptr<nrepl::Server> s) : Object(Kind::Host, 0), server(std::move(s)) {}
  std::string_view type_name() const override { return "kelp.nrepl.Server"; }
  std::shared_ptr<nrepl::Server> server;
};

nrepl::Server& need_server(const Value& v) {
  const auto* h = v.is(Kind::Host) ? dynamic_cast<const ServerHandle*>(v.obj()) : nullptr;
  if (!h) throw_cannot_cast(v, "kelp.nrepl.Server");
  return *h->server;
}

// Each middleware symbol names a var: its namespace is required first, and one that does not resolve is an
// error. nREPL's default middleware gives the server sessions with workers, interrupt, stdin and lookup.
nrepl::ServerOptions middleware_options(const Value& middleware) {
  nrepl::ServerOptions opts;
  each_item(middleware, [&](const Value& m) {
    const Symbol& s = need_symbol(m);
    if (!s.has_ns()) rt::throw_illegal_argument("Middleware must be a namespace-qualified symbol: " + symbol_text(m));
    rt::loader::load_lib(symbol(s.ns()), false);
    rt::Namespace* ns = rt::find_ns(s.ns());
    if (!ns || ns->find_interned(symbol(s.name())).is_nil())
      rt::throw_illegal_argument("Unable to resolve middleware: " + symbol_text(m));
    if (s.ns() == DEFAULT_MIDDLEWARE_NS && s.name() == DEFAULT_MIDDLEWARE) opts.sessions = true;
  });
  return opts;
}

// (start port middleware opts): listens on 127.0.0.1:port (0: any free port) and prints the started line to the
// process's standard output. opts' :port-file is accepted and no .nrepl-port file is written.
Value start(Args a) {
  if (!a[0].is_int()) throw_cannot_cast(a[0], "java.lang.Number");
  nrepl::ServerOptions opts = middleware_options(a.size() > 1 ? a[1] : Value());
  auto server = nrepl::Server::start(static_cast<int>(a[0].as_int()), opts);
  rt::Writer& out = rt::as_writer(rt::as_var(rt::core_vars().out).root());
  out.write(nrepl::started_line(server->port()) + "\n");
  out.flush();
  return Value::adopt(new ServerHandle(std::move(server)));
}

Value stop(Args a) {
  need_server(a[0]).stop();
  return {};
}

Value port(Args a) { return Value::integer(need_server(a[0]).port()); }

}  // namespace

void install_nrepl() {
  rt::Namespace* kn = rt::create_ns("kelp.nrepl");
  defn(kn, "start", 1, 3, start,
       {"([port] [port middleware] [port middleware opts])",
        "Starts an nREPL server on 127.0.0.1:port (0 picks a free port) with the middleware named by the "
        "symbols, prints \"nREPL server started on port P ...\" and returns the server."});
  defn(kn, "stop", 1, 1, stop, {"([server])", "Stops the server: no more connections, every session closed."});
  defn(kn, "port", 1, 1, port, {"([server])", "The port the server listens on."});
  rt::loader::mark_loaded(symbol("kelp.nrepl"));

  rt::Namespace* mw = rt::create_ns(DEFAULT_MIDDLEWARE_NS);
  defvar(mw, DEFAULT_MIDDLEWARE,
         make_vector({keyword("nrepl", "session"), keyword("nrepl", "interruptible-eval"),
                      keyword("nrepl", "stdin"), keyword("nrepl", "completions"), keyword("nrepl", "lookup"),
                      keyword("nrepl", "load-file")}),
         false, "The middleware of nREPL's default handler, which kelp carries built in.");
  rt::loader::mark_loaded(symbol(DEFAULT_MIDDLEWARE_NS));
}

}  // namespace kelp::lib
