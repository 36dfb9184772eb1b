#include "orrery/nrepl/generic.hpp"

#include <arpa/inet.h>

#include <cstring>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"

namespace orrery::nrepl::generic {

namespace {

const kelp::Value* nrepl_key(const dialect::Selection& s, std::string_view key) {
  if (!s.nrepl || !kelp::is_map(*s.nrepl)) return nullptr;
  return kelp::get(*s.nrepl, kelp::keyword(key));
}

}  // namespace

Endpoint endpoint(const dialect::Selection& selection) {
  Endpoint e;
  if (const kelp::Value* h = nrepl_key(selection, "host"); h && h->is(kelp::Kind::String)) {
    std::string host(kelp::str_view(*h));
    // "[::1]" is how people write an IPv6 address next to a port; the address itself has no brackets.
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    e.host = host;
  }
  if (const kelp::Value* p = nrepl_key(selection, "port"); p && p->is_int()) e.port = static_cast<int>(p->as_int());
  return e;
}

std::optional<std::filesystem::path> port_file(const dialect::Selection& selection) {
  if (!selection.project_dir) return std::nullopt;
  if (const kelp::Value* f = nrepl_key(selection, "port-file"); f && f->is(kelp::Kind::String))
    return *selection.project_dir / std::string(kelp::str_view(*f));
  return default_port_file(selection);
}

std::string at(std::string_view host, int port) {
  std::string h(host);
  if (h.find(':') != std::string::npos) h = "[" + h + "]";
  return h + ":" + std::to_string(port);
}

bool is_loopback(std::string_view host) {
  std::string h(host);
  if (h == "localhost" || h.ends_with(".localhost")) return true;
  in_addr a4{};
  if (::inet_pton(AF_INET, h.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
  in6_addr a6{};
  if (::inet_pton(AF_INET6, h.c_str(), &a6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&a6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&a6) && a6.s6_addr[12] == 127;
  }
  return false;
}

std::string remote_refused(std::string_view host) {
  return "; Orrery connects only to this machine's own nREPL servers: " + std::string(host) +
         " isn't a loopback address. Allow it in your settings with :allow-remote-nrepl true.";
}

ConnectPolicy connect_policy(const dialect::Selection& selection, bool allow_remote) {
  ConnectPolicy p;
  std::string file_name = port_file(selection) ? port_file(selection)->filename().string() : ".nrepl-port";
  if (const kelp::Value* f = nrepl_key(selection, "port-file"); f && f->is(kelp::Kind::String))
    file_name = std::string(kelp::str_view(*f));
  p.messages.no_project = std::string(NO_PROJECT);
  p.messages.not_running = [file_name](const std::filesystem::path& dir) {
    return "; No nREPL server port here: " + file_name + " isn't in " + dir.string() +
           ". Start your server (for babashka, bb nrepl-server 1667), then put {:dialect :nrepl :nrepl {:port "
           "1667}} in .orrery.edn, or write its port to " + file_name;
  };
  p.messages.bad_port_file = "; " + file_name + " doesn't hold a port number, so Orrery can't reach the server.";
  p.messages.refused = [](const std::string& w) { return "; Nothing answers at " + w + ". Is the server running there?"; };
  p.messages.not_server = [](const std::string& w) {
    return w + " isn't an nREPL server Orrery can use: it needs eval and load-file.";
  };
  p.messages.connecting = [](const std::string& w) { return "; Connecting to the nREPL server at " + w + "..."; };
  p.endpoint = endpoint(selection);
  p.port_file = port_file(selection);
  p.project_dir = selection.project_dir;
  p.where = [](const std::string& host, int port) { return at(host, port); };
  if (!allow_remote && !is_loopback(p.endpoint->host)) p.refusal = remote_refused(p.endpoint->host);
  return p;
}

std::vector<std::string> limitations(const std::set<std::string>& ops) {
  std::vector<std::string> out = {"Orrery attaches to a server you started: it never starts or stops it.",
                                  "Reset on Run isn't available: Orrery doesn't unload namespaces in a server you "
                                  "started."};
  if (!ops.contains("interrupt")) out.emplace_back(NO_INTERRUPT);
  if (!ops.contains("stdin")) out.emplace_back(NO_STDIN);
  if (!ops.contains("completions") && !ops.contains("complete")) out.emplace_back(NO_COMPLETION);
  if (!ops.contains("lookup") && !ops.contains("info")) out.emplace_back(NO_DOCS);
  return out;
}

bool is_local_file(std::string_view file) {
  std::error_code ec;
  std::string f(file);
  if (f.starts_with("jar:")) {
    // jar:file:/path/to.jar!/inner/path
    std::string inner = f.substr(4);
    size_t bang = inner.find('!');
    if (bang == std::string::npos) return false;
    inner = inner.substr(0, bang);
    if (!inner.starts_with("file:")) return false;
    return std::filesystem::is_regular_file(inner.substr(5), ec);
  }
  if (f.starts_with("file:")) f = f.substr(5);
  if (f.empty() || f.front() != '/') return false;
  return std::filesystem::is_regular_file(f, ec);
}

std::vector<ops::Candidate> prefix_filter(std::vector<ops::Candidate> candidates, std::string_view prefix) {
  std::erase_if(candidates, [&](const ops::Candidate& c) { return !c.symbol.starts_with(prefix); });
  return candidates;
}

}  // namespace orrery::nrepl::generic
