// java.io.File, the file readers, writers and byte streams clojure.java.io opens, and the natives behind
// clojure.java.io and clojure.java.shell.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/lib_install.hpp"
#include "kelp/lib/ns_common.hpp"
#include "kelp/lib/str_util.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/loader.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"

extern char** environ;

namespace kelp::lib {

namespace {

using namespace ns_detail;
using rt::Args;
using strs::string_arg;
using strs::to_str;

// ---------------------------------------------------------------------------------------------------------------
// Paths, as java.io.File keeps them: repeated slashes made one, no trailing slash but on "/" itself.

std::string normalize(std::string_view p) {
  std::string out;
  for (char c : p) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out += c;
  }
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string current_dir() {
  std::string buf(PATH_MAX, '\0');
  if (!::getcwd(buf.data(), buf.size())) return ".";
  buf.resize(std::strlen(buf.c_str()));
  return buf;
}

std::string absolute(const std::string& p) {
  if (!p.empty() && p[0] == '/') return p;
  std::string cwd = current_dir();
  return p.empty() ? cwd : normalize(cwd + "/" + p);
}

[[noreturn]] void io_error(const std::string& path, int err) {
  rt::throw_error(err == ENOENT || err == EACCES || err == EISDIR ? "java.io.FileNotFoundException"
                                                                   : "java.io.IOException",
                  path + " (" +
                      (err == ENOENT   ? std::string("No such file or directory")
                       : err == EACCES ? std::string("Permission denied")
                       : err == EISDIR ? std::string("Is a directory")
                                       : std::string(std::strerror(err))) +
                      ")");
}

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) rt::throw_error("java.io.IOException", std::strerror(errno));
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

int open_for_writing(const std::string& path, bool append) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
  if (fd < 0) io_error(path, errno);
  return fd;
}

// ---------------------------------------------------------------------------------------------------------------
// java.io.File

class File final : public Object {
 public:
  explicit File(std::string path) : Object(Kind::Host, 0), path_(normalize(path)) {}
  const std::string& path() const { return path_; }
  std::string_view type_name() const override { return "java.io.File"; }
  int32_t compute_hash() const override { return static_cast<int32_t>(std::hash<std::string>()(path_) ^ 1234321); }
  bool equiv_same_category(const Object& other) const override {
    const auto* f = dynamic_cast<const File*>(&other);
    return f && f->path_ == path_;
  }

 private:
  std::string path_;
};

// A resource found on the source roots (java.net.URL): a file: URL.
class Url final : public Object {
 public:
  explicit Url(std::string path) : Object(Kind::Host, 0), path_(std::move(path)) {}
  const std::string& path() const { return path_; }
  std::string_view type_name() const override { return "java.net.URL"; }
  bool equiv_same_category(const Object& other) const override {
    const auto* u = dynamic_cast<const Url*>(&other);
    return u && u->path_ == path_;
  }

 private:
  std::string path_;
};

const File* as_file(const Value& v) { return v.is(Kind::Host) ? dynamic_cast<const File*>(v.obj()) : nullptr; }
const Url* as_url(const Value& v) { return v.is(Kind::Host) ? dynamic_cast<const Url*>(v.obj()) : nullptr; }

Value make_file(std::string path) { return Value::adopt(new File(std::move(path))); }

std::string name_of(const std::string& p) {
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

Value parent_of(const std::string& p) {
  size_t slash = p.rfind('/');
  if (slash == std::string::npos || p == "/") return {};
  return make_string(slash == 0 ? "/" : p.substr(0, slash));
}

bool stat_path(const std::string& p, struct stat* st) { return !p.empty() && ::stat(p.c_str(), st) == 0; }

bool make_dirs(const std::string& p) {
  struct stat st {};
  if (stat_path(p, &st)) return false;
  Value parent = parent_of(p);
  if (!parent.is_nil()) {
    std::string up(str_view(parent));
    if (!stat_path(up, &st)) make_dirs(up);
  }
  return ::mkdir(p.c_str(), 0777) == 0;
}

std::vector<std::string> list_dir(const std::string& p, bool* ok) {
  std::vector<std::string> names;
  DIR* d = ::opendir(p.empty() ? "." : p.c_str());
  *ok = d != nullptr;
  if (!d) return names;
  while (dirent* e = ::readdir(d)) {
    std::string_view n = e->d_name;
    if (n != "." && n != "..") names.emplace_back(n);
  }
  ::closedir(d);
  return names;
}

bool file_construct(Args a, Value* out) {
  auto text = [](const Value& v) -> std::optional<std::string> {
    if (v.is(Kind::String)) return std::string(str_view(v));
    if (const File* f = as_file(v)) return f->path();
    return std::nullopt;
  };
  if (a.size() == 1 && a[0].is(Kind::String)) {
    *out = make_file(std::string(str_view(a[0])));
    return true;
  }
  if (a.size() == 2 && a[1].is(Kind::String) && (a[0].is_nil() || text(a[0]))) {
    std::string child(str_view(a[1]));
    if (a[0].is_nil()) {
      *out = make_file(child);
    } else {
      std::string parent = *text(a[0]);
      *out = make_file(parent.empty() ? "/" + child : parent + "/" + child);
    }
    return true;
  }
  if (a.size() == 1 && a[0].is_nil()) rt::throw_null_pointer("Cannot invoke \"String.length()\" because \"pathname\" is null");
  return false;
}

bool file_call(const Value& target, std::string_view m, Args a, Value* out) {
  if (!as_file(target)) return false;
  const std::string& p = as_file(target)->path();
  struct stat st {};
  if (a.empty()) {
    if (m == "getName") return *out = make_string(name_of(p)), true;
    if (m == "getPath" || m == "toString") return *out = make_string(p), true;
    if (m == "getParent") return *out = parent_of(p), true;
    if (m == "getParentFile") {
      Value parent = parent_of(p);
      *out = parent.is_nil() ? Value() : make_file(std::string(str_view(parent)));
      return true;
    }
    if (m == "exists") return *out = Value::boolean(stat_path(p, &st)), true;
    if (m == "isDirectory") return *out = Value::boolean(stat_path(p, &st) && S_ISDIR(st.st_mode)), true;
    if (m == "isFile") return *out = Value::boolean(stat_path(p, &st) && S_ISREG(st.st_mode)), true;
    if (m == "isAbsolute") return *out = Value::boolean(!p.empty() && p[0] == '/'), true;
    if (m == "isHidden") return *out = Value::boolean(name_of(p).starts_with(".")), true;
    if (m == "canRead") return *out = Value::boolean(!p.empty() && ::access(p.c_str(), R_OK) == 0), true;
    if (m == "canWrite") return *out = Value::boolean(!p.empty() && ::access(p.c_str(), W_OK) == 0), true;
    if (m == "length")
      return *out = Value::integer(stat_path(p, &st) && !S_ISDIR(st.st_mode) ? st.st_size : 0), true;
    if (m == "lastModified")
      return *out = Value::integer(stat_path(p, &st) ? int64_t(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000
                                                     : 0),
             true;
    if (m == "getAbsolutePath") return *out = make_string(absolute(p)), true;
    if (m == "getAbsoluteFile") return *out = make_file(absolute(p)), true;
    if (m == "getCanonicalPath" || m == "getCanonicalFile") {
      std::string abs = absolute(p);
      char buf[PATH_MAX];
      std::string canon = ::realpath(abs.c_str(), buf) ? std::string(buf) : abs;
      *out = m == "getCanonicalPath" ? make_string(canon) : make_file(canon);
      return true;
    }
    if (m == "mkdir") return *out = Value::boolean(!p.empty() && ::mkdir(p.c_str(), 0777) == 0), true;
    if (m == "mkdirs") return *out = Value::boolean(!p.empty() && make_dirs(p)), true;
    if (m == "delete") {
      bool dir = stat_path(p, &st) && S_ISDIR(st.st_mode);
      return *out = Value::boolean(!p.empty() && (dir ? ::rmdir(p.c_str()) : ::unlink(p.c_str())) == 0), true;
    }
    if (m == "createNewFile") {
      int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0 && errno != EEXIST) io_error(p, errno);
      if (fd >= 0) ::close(fd);
      return *out = Value::boolean(fd >= 0), true;
    }
    if (m == "list" || m == "listFiles") {
      bool ok = false;
      std::vector<std::string> names = list_dir(p, &ok);
      if (!ok || !(stat_path(p, &st) && S_ISDIR(st.st_mode))) return *out = Value(), true;
      std::vector<Value> items;
      for (const std::string& n : names) items.push_back(m == "list" ? make_string(n) : make_file(p + "/" + n));
      *out = make_vector(items);
      return true;
    }
    if (m == "toURI" || m == "toURL") return *out = Value::adopt(new Url(absolute(p))), true;
    if (m == "hashCode") return *out = Value::integer(target.obj()->compute_hash()), true;
  }
  if (a.size() == 1 && m == "renameTo") {
    const File* to = as_file(a[0]);
    if (!to) throw_cannot_cast(a[0], "java.io.File");
    return *out = Value::boolean(::rename(p.c_str(), to->path().c_str()) == 0), true;
  }
  if (a.size() == 1 && m == "equals") return *out = Value::boolean(target == a[0]), true;
  return false;
}

bool file_to_string(const Value& v, std::string& out) {
  if (!as_file(v)) return false;
  out += as_file(v)->path();
  return true;
}

bool url_call(const Value& target, std::string_view m, Args a, Value* out) {
  if (!as_url(target)) return false;
  const std::string& p = as_url(target)->path();
  if (!a.empty()) return false;
  if (m == "getPath" || m == "getFile") return *out = make_string(p), true;
  if (m == "getProtocol") return *out = make_string("file"), true;
  if (m == "toString" || m == "toExternalForm") return *out = make_string("file:" + p), true;
  return false;
}

bool url_to_string(const Value& v, std::string& out) {
  if (!as_url(v)) return false;
  out += "file:" + as_url(v)->path();
  return true;
}

// ---------------------------------------------------------------------------------------------------------------
// Readers and writers over files

// A whole file's text, read when opened (java.io.BufferedReader).
class TextInput final : public rt::InputReader {
 public:
  explicit TextInput(std::string text) : text_(std::move(text)) {}
  int32_t read_char() override {
    std::lock_guard lock(mutex_);
    if (pushed_ != -2) {
      int32_t c = pushed_;
      pushed_ = -2;
      return c;
    }
    if (pos_ >= text_.size()) return -1;
    unsigned char b = text_[pos_];
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
    char32_t c = len == 1 ? b : b & (0x7f >> len);
    for (int i = 1; i < len && pos_ + i < text_.size(); ++i) c = (c << 6) | (text_[pos_ + i] & 0x3f);
    pos_ += len;
    return static_cast<int32_t>(c);
  }
  void unread(int32_t c) override {
    std::lock_guard lock(mutex_);
    pushed_ = c;
  }
  std::string_view type_name() const override { return "java.io.BufferedReader"; }

 private:
  std::mutex mutex_;
  std::string text_;
  size_t pos_ = 0;
  int32_t pushed_ = -2;
};

// A file opened for writing (java.io.BufferedWriter): buffered, flushed on flush and close, closed on close.
class FileOutput final : public rt::Writer {
 public:
  explicit FileOutput(int fd) : fd_(fd) {}
  ~FileOutput() override {
    try {
      close();
    } catch (...) {
    }
  }
  void write(std::string_view utf8) override {
    std::lock_guard lock(mutex_);
    if (fd_ < 0) rt::throw_error("java.io.IOException", "Stream closed");
    buf_ += utf8;
    if (buf_.size() >= 65536) flush_locked();
  }
  void flush() override {
    std::lock_guard lock(mutex_);
    flush_locked();
  }
  void close() {
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return;
    flush_locked();
    ::close(fd_);
    fd_ = -1;
  }
  std::string_view type_name() const override { return bytes_ ? "java.io.BufferedOutputStream" : "java.io.BufferedWriter"; }
  bool bytes_ = false;

 private:
  void flush_locked() {
    if (fd_ < 0 || buf_.empty()) return;
    std::string out = std::move(buf_);
    buf_.clear();
    write_all(fd_, out);
  }
  int fd_;
  std::mutex mutex_;
  std::string buf_;
};

// A file's bytes, read when opened (java.io.BufferedInputStream).
class ByteInput final : public Object {
 public:
  explicit ByteInput(std::string bytes) : Object(Kind::Host, 0), bytes_(std::move(bytes)) {}
  int read() {
    std::lock_guard lock(mutex_);
    return pos_ < bytes_.size() ? static_cast<unsigned char>(bytes_[pos_++]) : -1;
  }
  std::string rest() {
    std::lock_guard lock(mutex_);
    std::string out = bytes_.substr(std::min(pos_, bytes_.size()));
    pos_ = bytes_.size();
    return out;
  }
  int64_t available() {
    std::lock_guard lock(mutex_);
    return static_cast<int64_t>(bytes_.size() - std::min(pos_, bytes_.size()));
  }
  std::string_view type_name() const override { return "java.io.BufferedInputStream"; }

 private:
  std::mutex mutex_;
  std::string bytes_;
  size_t pos_ = 0;
};

FileOutput* as_file_output(const Value& v) {
  return v.is(Kind::Host) ? dynamic_cast<FileOutput*>(const_cast<Object*>(v.obj())) : nullptr;
}
ByteInput* as_byte_input(const Value& v) {
  return v.is(Kind::Host) ? dynamic_cast<ByteInput*>(const_cast<Object*>(v.obj())) : nullptr;
}

bool reader_call(const Value& target, std::string_view m, Args a, Value* out) {
  if (!rt::is_input(target) || !a.empty()) return false;
  rt::InputReader& in = rt::as_input(target);
  if (m == "readLine") {
    std::optional<std::string> line = in.read_line();
    return *out = line ? make_string(*line) : Value(), true;
  }
  if (m == "read") return *out = Value::integer(in.read_char()), true;
  if (m == "close") return *out = Value(), true;
  if (m == "ready") {
    int32_t c = in.read_char();
    if (c >= 0) in.unread(c);
    return *out = Value::boolean(c >= 0), true;
  }
  return false;
}

// (PushbackReader. rdr) and (BufferedReader. rdr): kelp's readers already push back and read lines.
bool wrap_reader(Args a, Value* out) {
  if (a.empty() || !rt::is_input(a[0]) || a.size() > 2) return false;
  *out = a[0];
  return true;
}

bool output_call(const Value& target, std::string_view m, Args a, Value* out) {
  FileOutput* w = as_file_output(target);
  if (!w) return false;
  if (m == "close" && a.empty()) return w->close(), *out = Value(), true;
  if (m == "newLine" && a.empty()) return w->write("\n"), *out = Value(), true;
  if (w->bytes_ && m == "write" && a.size() == 1 && a[0].is_int()) {
    char b = static_cast<char>(a[0].as_int() & 0xff);
    w->write(std::string_view(&b, 1));
    return *out = Value(), true;
  }
  return false;
}

bool byte_input_call(const Value& target, std::string_view m, Args a, Value* out) {
  ByteInput* in = as_byte_input(target);
  if (!in || !a.empty()) return false;
  if (m == "read") return *out = Value::integer(in->read()), true;
  if (m == "available") return *out = Value::integer(in->available()), true;
  if (m == "close") return *out = Value(), true;
  return false;
}

// ---------------------------------------------------------------------------------------------------------------
// clojure.java.io's natives

// The path a file-like argument names: a string, a File or a file: URL.
std::optional<std::string> path_of(const Value& x) {
  if (x.is(Kind::String)) {
    std::string_view s = str_view(x);
    if (s.starts_with("file:")) s.remove_prefix(5);
    return std::string(s);
  }
  if (const File* f = as_file(x)) return f->path();
  if (const Url* u = as_url(x)) return u->path();
  return std::nullopt;
}

std::string need_path(const Value& x, std::string_view what) {
  if (auto p = path_of(x)) return *p;
  if (x.is_nil()) rt::throw_illegal_argument("Cannot open <nil> as " + std::string(what) + ".");
  rt::throw_illegal_argument("Cannot open <" + pr_str(x) + "> as " + std::string(what) + ".");
}

bool option(Args opts, std::string_view key) {
  for (size_t i = 0; i + 1 < opts.size(); i += 2)
    if (opts[i] == keyword(key)) return opts[i + 1].truthy();
  return false;
}

// (as-file x): nil, a File itself, or the File a string or file: URL names.
Value as_file_fn(Args a) {
  if (a[0].is_nil() || as_file(a[0])) return a[0];
  if (const Url* u = as_url(a[0])) return make_file(u->path());
  if (a[0].is(Kind::String)) return make_file(std::string(str_view(a[0])));
  rt::throw_illegal_argument("No implementation of method: :as-file of protocol: #'clojure.java.io/Coercions "
                             "found for class: " + rt::host::to_string(rt::host::class_of(a[0])).substr(6));
}

// (file-child parent child): child must be relative, as JVM's clojure.java.io/file insists.
Value file_child(Args a) {
  Value child = as_file_fn(a.subspan(1, 1));
  const std::string& c = as_file(child)->path();
  if (!c.empty() && c[0] == '/') rt::throw_illegal_argument(c + " is not a relative path");
  Value parent = as_file_fn(a.subspan(0, 1));
  if (parent.is_nil()) return child;
  const std::string& p = as_file(parent)->path();
  return make_file(p.empty() ? "/" + c : p + "/" + c);
}

Value reader_fn(Args a) {
  if (rt::is_input(a[0])) return a[0];
  if (ByteInput* in = as_byte_input(a[0])) return Value::adopt(new TextInput(in->rest()));
  return Value::adopt(new TextInput(read_file(need_path(a[0], "a Reader"))));
}

Value writer_fn(Args a) {
  if (rt::is_writer(a[0])) return a[0];
  std::string path = need_path(a[0], "a Writer");
  return Value::adopt(new FileOutput(open_for_writing(path, option(a.subspan(1), "append"))));
}

Value input_stream_fn(Args a) {
  if (as_byte_input(a[0])) return a[0];
  return Value::adopt(new ByteInput(read_file(need_path(a[0], "an InputStream"))));
}

Value output_stream_fn(Args a) {
  if (FileOutput* w = as_file_output(a[0]); w && w->bytes_) return a[0];
  std::string path = need_path(a[0], "an OutputStream");
  auto* out = new FileOutput(open_for_writing(path, option(a.subspan(1), "append")));
  out->bytes_ = true;
  return Value::adopt(out);
}

// Everything left in a source copy reads: a string's text, a file's bytes, what a reader or stream has left.
std::string drain(const Value& in) {
  if (in.is(Kind::String)) return std::string(str_view(in));
  if (ByteInput* b = as_byte_input(in)) return b->rest();
  if (rt::is_input(in)) {
    rt::InputReader& r = rt::as_input(in);
    std::string out;
    for (int32_t c; (c = r.read_char()) >= 0;) append_utf8(out, static_cast<char32_t>(c));
    return out;
  }
  if (const File* f = as_file(in)) return read_file(f->path());
  rt::throw_illegal_argument("No method in multimethod 'do-copy' for dispatch value: [" +
                             rt::host::to_string(rt::host::class_of(in)).substr(6) + " ...]");
}

Value copy_fn(Args a) {
  std::string bytes = drain(a[0]);
  const Value& out = a[1];
  if (rt::is_writer(out)) {
    rt::as_writer(out).write(bytes);
    rt::as_writer(out).flush();
  } else if (const File* f = as_file(out)) {
    int fd = open_for_writing(f->path(), false);
    try {
      write_all(fd, bytes);
    } catch (...) {
      ::close(fd);
      throw;
    }
    ::close(fd);
  } else {
    rt::throw_illegal_argument("No method in multimethod 'do-copy' for dispatch value: [... " +
                               rt::host::to_string(rt::host::class_of(out)).substr(6) + "]");
  }
  return {};
}

// (resource name): the file of that name under the first source root holding one, as a file: URL; else nil.
Value resource_fn(Args a) {
  std::string name(string_arg(a[0]));
  while (name.starts_with("/")) name.erase(0, 1);
  for (const std::string& root : rt::loader::source_roots()) {
    std::string p = normalize(root + "/" + name);
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) return Value::adopt(new Url(absolute(p)));
  }
  return {};
}

Value make_parents_fn(Args a) {
  Value parent = parent_of(need_path(a[0], "a File"));
  if (parent.is_nil()) return Value::boolean(false);
  return Value::boolean(make_dirs(std::string(str_view(parent))));
}

Value delete_file_fn(Args a) {
  std::string p = need_path(a[0], "a File");
  struct stat st {};
  bool dir = stat_path(p, &st) && S_ISDIR(st.st_mode);
  if (!p.empty() && (dir ? ::rmdir(p.c_str()) : ::unlink(p.c_str())) == 0) return Value::boolean(true);
  if (a.size() > 1 && a[1].truthy()) return a[1];
  rt::throw_error("java.io.IOException", "Couldn't delete " + p);
}

// (line-seq rdr): the lines of a reader, read as the sequence is walked.
Value line_seq_from(Value rdr) {
  std::optional<std::string> line = rt::as_input(rdr).read_line();
  if (!line) return {};
  Value text = make_string(*line);
  return rt::cons(text, rt::make_lazy_seq([rdr]() { return line_seq_from(rdr); }));
}

Value line_seq(Args a) {
  if (!rt::is_input(a[0])) throw_cannot_cast(a[0], "java.io.BufferedReader");
  return line_seq_from(a[0]);
}

// ---------------------------------------------------------------------------------------------------------------
// clojure.java.shell

struct Child {
  int exit = -1;
  std::string out, err;
};

// Runs argv with the given input on its standard input, in dir (when not empty), with env (the whole environment,
// when given); collects its output until it exits.
Child run_process(const std::vector<std::string>& argv, const std::string& input, const std::string& dir,
                  const std::optional<std::vector<std::string>>& env) {
  int in_pipe[2], out_pipe[2], err_pipe[2], exec_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) || ::pipe2(out_pipe, O_CLOEXEC) || ::pipe2(err_pipe, O_CLOEXEC) ||
      ::pipe2(exec_pipe, O_CLOEXEC))
    rt::throw_error("java.io.IOException", std::string("Cannot run program: ") + std::strerror(errno));
  std::vector<char*> args;
  for (const std::string& s : argv) args.push_back(const_cast<char*>(s.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  if (env) {
    for (const std::string& s : *env) envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int e = 0;
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) e = errno;
    if (!e) {
      if (env) environ = envp.data();
      ::execvp(args[0], args.data());
      e = errno;
    }
    ssize_t ignored = ::write(exec_pipe[1], &e, sizeof e);
    (void)ignored;
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  ::close(exec_pipe[1]);
  if (pid < 0) {
    int e = errno;
    ::close(in_pipe[1]), ::close(out_pipe[0]), ::close(err_pipe[0]), ::close(exec_pipe[0]);
    rt::throw_error("java.io.IOException", "Cannot run program \"" + argv[0] + "\": " + std::strerror(e));
  }
  int exec_errno = 0;
  ssize_t got;
  do got = ::read(exec_pipe[0], &exec_errno, sizeof exec_errno);
  while (got < 0 && errno == EINTR);
  ::close(exec_pipe[0]);
  if (got == sizeof exec_errno) {
    ::close(in_pipe[1]), ::close(out_pipe[0]), ::close(err_pipe[0]);
    int status;
    ::waitpid(pid, &status, 0);
    std::string where = dir.empty() ? "" : " (in directory \"" + dir + "\")";
    rt::throw_error("java.io.IOException", "Cannot run program \"" + argv[0] + "\"" + where + ": error=" +
                                               std::to_string(exec_errno) + ", " + std::strerror(exec_errno));
  }
  Child c;
  ::fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
  size_t written = 0;
  int in_fd = in_pipe[1];
  if (input.empty()) ::close(in_fd), in_fd = -1;
  int fds[2] = {out_pipe[0], err_pipe[0]};
  std::string* sinks[2] = {&c.out, &c.err};
  try {
    while (fds[0] >= 0 || fds[1] >= 0) {
      pollfd p[3];
      int n = 0;
      for (int i = 0; i < 2; ++i) p[n++] = {fds[i], POLLIN, 0};
      p[n++] = {in_fd, POLLOUT, 0};
      int r = ::poll(p, n, 100);
      rt::safe_point();
      if (r < 0 && errno != EINTR) break;
      if (r <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (fds[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[65536];
        ssize_t k = ::read(fds[i], buf, sizeof buf);
        if (k > 0) sinks[i]->append(buf, static_cast<size_t>(k));
        else if (k == 0 || errno != EINTR) ::close(fds[i]), fds[i] = -1;
      }
      if (in_fd >= 0 && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
        ssize_t k = ::write(in_fd, input.data() + written, input.size() - written);
        if (k > 0) written += static_cast<size_t>(k);
        if ((k < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) ::close(in_fd), in_fd = -1;
      }
    }
  } catch (...) {
    // Interrupted: the child goes too, and is reaped.
    ::kill(pid, SIGKILL);
    for (int fd : {fds[0], fds[1], in_fd})
      if (fd >= 0) ::close(fd);
    int status;
    ::waitpid(pid, &status, 0);
    throw;
  }
  if (in_fd >= 0) ::close(in_fd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  c.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return c;
}

// (sh* args opts): args the command and its arguments as strings, opts a map of :in :dir :env.
Value sh_fn(Args a) {
  std::vector<std::string> argv;
  each_item(a[0], [&](const Value& s) { argv.push_back(to_str(s)); });
  if (argv.empty()) rt::throw_illegal_argument("sh needs a command");
  const Value& opts = a[1];
  auto opt = [&](std::string_view k) -> Value {
    const Value* v = opts.is_nil() ? nullptr : get(opts, keyword(k));
    return v ? *v : Value();
  };
  Value in = opt("in");
  std::string input = in.is_nil() ? std::string() : drain(in);
  Value dir = opt("dir");
  std::string d = dir.is_nil() ? std::string() : need_path(dir, "a File");
  std::optional<std::vector<std::string>> env;
  if (Value e = opt("env"); !e.is_nil()) {
    env.emplace();
    if (e.has(MAP)) {
      e.obj()->each_entry([&](const Value& k, const Value& v) {
        env->push_back((is_keyword(k) ? std::string(k.as<Keyword>().name()) : to_str(k)) + "=" + to_str(v));
        return true;
      });
    } else {
      each_item(e, [&](const Value& s) { env->push_back(to_str(s)); });
    }
  }
  Child c = run_process(argv, input, d, env);
  return make_map({keyword("exit"), Value::integer(c.exit), keyword("out"), make_string(c.out), keyword("err"),
                   make_string(c.err)});
}

}  // namespace

std::string read_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) io_error(path, errno);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    io_error(path, EISDIR);
  }
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      ::close(fd);
      io_error(path, e);
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    rt::safe_point();
  }
  ::close(fd);
  return text;
}

void install_lib_io(rt::Namespace* ns) {
  using rt::host::ClassExtension;
  rt::host::add_class({"java.io.File", "java.lang.Object", file_construct, file_call, nullptr, file_to_string});
  rt::host::add_class({"java.net.URL", "java.lang.Object", nullptr, url_call, nullptr, url_to_string});
  rt::host::add_class({"java.io.BufferedReader", "java.io.Reader", wrap_reader, reader_call, nullptr, nullptr});
  rt::host::add_class({"java.io.PushbackReader", "java.io.Reader", wrap_reader, reader_call, nullptr, nullptr});
  rt::host::add_class({"clojure.lang.LineNumberingPushbackReader", "java.io.PushbackReader", nullptr, reader_call,
                       nullptr, nullptr});
  rt::host::add_class({"java.io.BufferedWriter", "java.io.Writer", nullptr, output_call, nullptr, nullptr});
  rt::host::add_class({"java.io.OutputStream", "java.lang.Object", nullptr, nullptr, nullptr, nullptr});
  rt::host::add_class({"java.io.BufferedOutputStream", "java.io.OutputStream", nullptr, output_call, nullptr, nullptr});
  rt::host::add_class({"java.io.InputStream", "java.lang.Object", nullptr, nullptr, nullptr, nullptr});
  rt::host::add_class({"java.io.BufferedInputStream", "java.io.InputStream", nullptr, byte_input_call, nullptr,
                       nullptr});

  defn(ns, "as-file", 1, 1, as_file_fn, {"([x])", "The java.io.File x names."});
  defn(ns, "file-child", 2, 2, file_child, {"([parent child])", "The file child (relative) under parent."});
  defn(ns, "reader", 1, -1, reader_fn, {"([x & opts])", "A reader over x."});
  defn(ns, "writer", 1, -1, writer_fn, {"([x & opts])", "A writer to x; :append true adds to its end."});
  defn(ns, "input-stream", 1, -1, input_stream_fn, {"([x & opts])", "A byte stream over x."});
  defn(ns, "output-stream", 1, -1, output_stream_fn, {"([x & opts])", "A byte stream to x."});
  defn(ns, "copy", 2, -1, copy_fn, {"([input output & opts])", "Copies input to output."});
  defn(ns, "resource", 1, 1, resource_fn, {"([name])", "The URL of a resource on the source roots, or nil."});
  defn(ns, "make-parents", 1, 1, make_parents_fn, {"([f])", "Creates the parent folders of f."});
  defn(ns, "delete-file", 1, 2, delete_file_fn, {"([f] [f silently])", "Deletes f."});
  defn(ns, "sh", 2, 2, sh_fn, {"([args opts])", "Runs a process, answering {:exit :out :err}."});
  if (rt::core_vars().core->find_interned(symbol("line-seq")).is_nil())
    defn(rt::core_vars().core, "line-seq", 1, 1, line_seq,
         {"([rdr])", "Returns the lines of text from rdr as a lazy sequence of strings.\n  rdr must implement "
                     "java.io.BufferedReader."});
}

}  // namespace kelp::lib
