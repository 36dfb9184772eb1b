#include "orrery/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace orrery::process {

namespace {

// Without a pidfd (an old kernel, some sandboxes) the reaper looks at its children this often.
constexpr int FALLBACK_POLL_MS = 20;

// A pidfd for a child of ours, or -1 where the kernel has none (the glibc wrapper's header lacks C linkage).
int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));  // close-on-exec by definition
#else
  (void)pid;
  return -1;
#endif
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The one reaper: a thread that waits on the pidfds of our live children (plus a wake pipe for new ones) and reaps
// each with waitpid(pid) as it exits. It holds each Process until it is reaped, so a child whose owner let go is
// still reaped. Made once and never destroyed: its thread may outlive static destruction at exit.
class Reaper {
 public:
  static Reaper& instance() {
    static Reaper* reaper = new Reaper();
    return *reaper;
  }

  void watch(std::shared_ptr<Process> proc) {
    int pidfd = open_pidfd(proc->pid());
    {
      std::lock_guard lock(mutex_);
      children_.push_back({std::move(proc), pidfd});
    }
    char byte = 1;
    [[maybe_unused]] auto n = ::write(wake_[1], &byte, 1);
  }

 private:
  struct Child {
    std::shared_ptr<Process> proc;
    int pidfd;
  };

  Reaper() {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
    std::thread([this] { run(); }).detach();
  }

  void run() {
    for (;;) {
      std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
      bool fallback = false;
      {
        std::lock_guard lock(mutex_);
        for (const auto& child : children_) {
          if (child.pidfd >= 0) fds.push_back({child.pidfd, POLLIN, 0});
          else fallback = true;
        }
      }
      bool no_wake_pipe = wake_[0] < 0;
      int timeout = (fallback || no_wake_pipe) ? FALLBACK_POLL_MS : -1;
      ::poll(fds.data(), fds.size(), timeout);
      drain_wake_pipe();
      reap_exited();
    }
  }

  void drain_wake_pipe() {
    char buffer[64];
    while (wake_[0] >= 0 && ::read(wake_[0], buffer, sizeof buffer) > 0) {
    }
  }

  void reap_exited() {
    std::lock_guard lock(mutex_);
    auto gone = std::remove_if(children_.begin(), children_.end(), [](Child& child) {
      if (!child.proc->try_reap()) return false;
      close_fd(child.pidfd);
      return true;
    });
    children_.erase(gone, children_.end());
  }

  std::mutex mutex_;
  std::vector<Child> children_;
  int wake_[2] = {-1, -1};
};

void ignore_sigpipe_once() {
  // A write to a pipe or socket whose reader has gone must be an EPIPE error, not the end of Orrery.
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

std::string errno_text(int err) { return std::strerror(err); }

std::vector<std::string> child_environment(const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    if (changes.count(entry.substr(0, entry.find('='))) == 0) env.push_back(std::move(entry));
  }
  for (const auto& [name, value] : changes) {
    if (value) env.push_back(name + "=" + *value);
  }
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

std::optional<std::string> cwd_problem(const std::filesystem::path& cwd) {
  if (cwd.empty()) return std::nullopt;
  // A relative working directory would be resolved against whatever ours is by then; refuse it.
  if (!cwd.is_absolute()) return "the working folder " + cwd.string() + " is not an absolute path";
  struct stat st {};
  if (::stat(cwd.c_str(), &st) != 0) return "the working folder " + cwd.string() + " can't be used: " + errno_text(errno);
  if (!S_ISDIR(st.st_mode)) return "the working folder " + cwd.string() + " is not a folder";
  return std::nullopt;
}

// The descriptors a spawn makes: the child's ends are closed in the parent after the spawn, ours are kept.
struct Plumbing {
  int stdin_read = -1, stdin_write = -1;
  int out_read = -1, out_write = -1;
  int err_read = -1, err_write = -1;
  int out_file = -1, err_file = -1;

  void close_child_ends() {
    close_fd(stdin_read);
    close_fd(out_write);
    close_fd(err_write);
    close_fd(out_file);
    close_fd(err_file);
  }
  void close_all() {
    close_child_ends();
    close_fd(stdin_write);
    close_fd(out_read);
    close_fd(err_read);
  }
};

int open_output_file(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// Adds the file actions for one output stream; a sentence when a descriptor could not be made.
std::optional<std::string> plan_output(const Output& output, int target, int& read_end, int& write_end,
                                       int& file_fd, int shared_file_fd, posix_spawn_file_actions_t& actions) {
  switch (output.kind) {
    case Output::Kind::inherit:
      return std::nullopt;
    case Output::Kind::null:
      posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_WRONLY, 0);
      return std::nullopt;
    case Output::Kind::pipe: {
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) != 0) return "couldn't make a pipe: " + errno_text(errno);
      read_end = ends[0];
      write_end = ends[1];
      posix_spawn_file_actions_adddup2(&actions, write_end, target);
      return std::nullopt;
    }
    case Output::Kind::file: {
      int fd = shared_file_fd;
      if (fd < 0) {
        file_fd = open_output_file(output.file);
        if (file_fd < 0) return "couldn't open " + output.file.string() + ": " + errno_text(errno);
        fd = file_fd;
      }
      posix_spawn_file_actions_adddup2(&actions, fd, target);
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<std::string> plan_streams(const Options& options, Plumbing& p, posix_spawn_file_actions_t& actions) {
  if (options.stdin_pipe) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return "couldn't make a pipe: " + errno_text(errno);
    p.stdin_read = ends[0];
    p.stdin_write = ends[1];
    posix_spawn_file_actions_adddup2(&actions, p.stdin_read, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (auto problem = plan_output(options.out, 1, p.out_read, p.out_write, p.out_file, -1, actions)) return problem;
  // Both streams to one file share one open file description, so their lines interleave instead of overwriting.
  bool same_file = options.out.kind == Output::Kind::file && options.err.kind == Output::Kind::file &&
                   options.out.file == options.err.file;
  return plan_output(options.err, 2, p.err_read, p.err_write, p.err_file, same_file ? p.out_file : -1, actions);
}

void plan_attributes(posix_spawnattr_t& attr) {
  // Its own process group, so that ending the child ends what it started; no signal blocked or ignored (an ignored
  // signal would otherwise survive the exec: we ignore SIGPIPE).
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

}  // namespace

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

Process::Process(pid_t pid, int stdin_fd, int stdout_fd, int stderr_fd)
    : pid_(pid), stdin_fd_(stdin_fd), stdout_fd_(stdout_fd), stderr_fd_(stderr_fd) {}

Process::~Process() {
  close_fd(stdin_fd_);
  close_fd(stdout_fd_);
  close_fd(stderr_fd_);
}

bool Process::try_reap() {
  {
    std::lock_guard lock(mutex_);
    if (exit_) return true;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == 0 || (r < 0 && errno == EINTR)) return false;
    // r < 0 otherwise means someone else reaped our child: its status is lost.
    exit_ = r == pid_ ? exit_code_of(status) : -1;
  }
  exited_.notify_all();
  close_stdin();  // the child is gone: nobody reads the pipe any more
  return true;
}

bool Process::is_alive() const {
  std::lock_guard lock(mutex_);
  return !exit_;
}

std::optional<int> Process::exit_code() const {
  std::lock_guard lock(mutex_);
  return exit_;
}

std::optional<int> Process::wait_for(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  exited_.wait_for(lock, timeout, [this] { return exit_.has_value(); });
  return exit_;
}

int Process::wait() const {
  std::unique_lock lock(mutex_);
  exited_.wait(lock, [this] { return exit_.has_value(); });
  return *exit_;
}

bool Process::signal_group(int sig) {
  // Under the reap lock: until the reap the child is at least a zombie, so its pid (and group id) is still ours.
  std::lock_guard lock(mutex_);
  return !exit_ && ::kill(-pid_, sig) == 0;
}

bool Process::signal(int sig) {
  std::lock_guard lock(mutex_);
  return !exit_ && ::kill(pid_, sig) == 0;
}

bool Process::write_stdin(std::string_view text) {
  // Writes go through a duplicate, so a close_stdin on another thread can't hand the number to some other file
  // mid-write; the mutex is held only for the dup.
  int fd;
  {
    std::lock_guard lock(stdin_mutex_);
    if (stdin_fd_ < 0) return false;
    fd = ::fcntl(stdin_fd_, F_DUPFD_CLOEXEC, 0);
  }
  if (fd < 0) return false;
  bool ok = true;
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  ::close(fd);
  return ok;
}

void Process::close_stdin() {
  std::lock_guard lock(stdin_mutex_);
  close_fd(stdin_fd_);
}

kelp::Result<std::shared_ptr<Process>> spawn(const std::vector<std::string>& argv, const Options& options) {
  ignore_sigpipe_once();
  if (argv.empty() || argv[0].empty()) return kelp::Failure{"no program was given to start"};
  if (auto problem = cwd_problem(options.cwd)) return kelp::Failure{"couldn't start " + argv[0] + ": " + *problem};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  Plumbing plumbing;
  if (auto problem = plan_streams(options, plumbing, actions)) {
    posix_spawn_file_actions_destroy(&actions);
    plumbing.close_all();
    return kelp::Failure{"couldn't start " + argv[0] + ": " + *problem};
  }
  // Descriptors someone else opened without close-on-exec don't leak into the child either.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  plan_attributes(attr);

  std::vector<std::string> args = argv;
  std::vector<std::string> env = child_environment(options.env);
  auto arg_ptrs = pointers(args);
  auto env_ptrs = pointers(env);
  pid_t pid = 0;
  int err = ::posix_spawnp(&pid, arg_ptrs[0], &actions, &attr, arg_ptrs.data(), env_ptrs.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  plumbing.close_child_ends();
  if (err != 0) {
    plumbing.close_all();
    return kelp::Failure{"couldn't start " + argv[0] + ": " + errno_text(err)};
  }
  auto proc = std::make_shared<Process>(pid, plumbing.stdin_write, plumbing.out_read, plumbing.err_read);
  Reaper::instance().watch(proc);
  return proc;
}

}  // namespace orrery::process
