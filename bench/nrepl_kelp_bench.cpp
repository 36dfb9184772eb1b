// The kelp child as Orrery runs it: the kelp tool started with the nREPL server form. How long from spawn to
// "nREPL server started", and one eval round trip of (+ 1 2) over the socket.
//
// The kelp tool is found through the KELP_BIN environment variable, else next to this benchmark's executable
// (both are built into the build folder's root). Medians: --benchmark_repetitions=N
// --benchmark_report_aggregates_only=true.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/nrepl/child.hpp"
#include "orrery/nrepl/client.hpp"
#include "orrery/nrepl/evaluator.hpp"

namespace {

using namespace std::chrono_literals;

std::string kelp_program() {
  if (const char* env = std::getenv("KELP_BIN")) return env;
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "kelp").string();
}

// The form Orrery's launcher passes to its kelp child, on any free port.
const std::string SERVER_FORM = orrery::nrepl::child::server_form(0, {"nrepl.middleware/default-middleware"});

// A kelp child running the server form: spawned, read until it says it listens, ended by closing its input.
class Child {
 public:
  Child() {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    std::string program = kelp_program();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(out[1], 2);
      ::execl(program.c_str(), program.c_str(), "-e", SERVER_FORM.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Child() {
    ::close(stdin_);  // the child's watcher sees the end of input and exits
    int st = 0;
    for (int i = 0; i < 250 && ::waitpid(pid_, &st, WNOHANG) == 0; ++i) ::usleep(20000);
    if (::waitpid(pid_, &st, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &st, 0);
    }
    ::close(stdout_);
  }
  // The port once the started line has come, 0 when it does not come within a few seconds.
  int wait_started() {
    const std::string tag = "nREPL server started on port ";
    const std::string end = " on host";
    std::string seen;
    auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
      size_t at = seen.find(tag);
      if (at != std::string::npos && seen.find(end, at) != std::string::npos) return std::stoi(seen.substr(at + tag.size()));
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[512];
      ssize_t n = ::read(stdout_, buf, sizeof buf);
      if (n <= 0) return 0;
      seen.append(buf, static_cast<size_t>(n));
    }
    return 0;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
};

void BM_KelpChildSpawnToStarted(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    {
      state.ResumeTiming();
      Child child;
      int port = child.wait_started();
      state.PauseTiming();
      if (port == 0) {
        state.SkipWithError("the kelp child did not say it listens");
        break;
      }
    }
    state.ResumeTiming();
  }
}
BENCHMARK(BM_KelpChildSpawnToStarted)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

void BM_KelpChildEvalRoundTrip(benchmark::State& state) {
  Child child;
  int port = child.wait_started();
  if (port == 0) {
    state.SkipWithError("the kelp child did not say it listens");
    return;
  }
  auto conn = orrery::nrepl::Connection::connect("127.0.0.1", port);
  auto session = conn->request_sync(kelp::read_edn("{:op \"clone\"}").value(), 10s);
  const kelp::Value* sid = session ? kelp::get(session->front(), kelp::keyword("new-session")) : nullptr;
  if (!sid) {
    state.SkipWithError("clone failed");
    return;
  }
  kelp::Value msg = kelp::make_map({kelp::keyword("op"), kelp::make_string("eval"), kelp::keyword("code"),
                                    kelp::make_string("(+ 1 2)"), kelp::keyword("session"), *sid});
  for (auto _ : state) {
    auto replies = conn->request_sync(msg, 10s);
    if (!replies) {
      state.SkipWithError("no answer");
      break;
    }
    benchmark::DoNotOptimize(replies);
  }
  conn->close();
}
BENCHMARK(BM_KelpChildEvalRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same (+ 1 2) as a console entry through the kelp-child evaluator: the request, its replies, the namespace
// snapshots on either side and the result, as a person's entry takes them.
void BM_KelpChildEvaluatorEntry(benchmark::State& state) {
  ::setenv("ORRERY_KELP", kelp_program().c_str(), 1);
  orrery::dialect::Selection selection;
  selection.runtime = orrery::dialect::Runtime::Nrepl;
  selection.project_dir = std::filesystem::temp_directory_path();
  auto ev = orrery::nrepl::make_nrepl(selection);
  if (auto failed = ev->start()) {
    state.SkipWithError(failed->c_str());
    return;
  }
  for (auto _ : state) {
    std::promise<orrery::eval::Result> done;
    orrery::evaluator::EvalOptions opts;
    opts.on_complete = [&done](const orrery::eval::Result& r) { done.set_value(r); };
    auto f = done.get_future();
    ev->eval("(+ 1 2)", std::move(opts));
    if (f.wait_for(10s) != std::future_status::ready || f.get().printed != "3") {
      state.SkipWithError("the entry did not answer 3");
      break;
    }
  }
  ev->stop();
  for (int i = 0; i < 500 && !ev->is_settled(); ++i) std::this_thread::sleep_for(10ms);
}
BENCHMARK(BM_KelpChildEvaluatorEntry)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
