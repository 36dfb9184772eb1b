// The runtime's character streams.
#include "kelp/rt/io.hpp"

#include <fmt/format.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "kelp/data/string.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::rt {

namespace {

// Writes every byte, retrying short writes; a closed pipe loses the output silently, as Java's PrintWriter does.
void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

// The length of the UTF-8 sequence a lead byte starts (1 for stray bytes, which decode as U+FFFD).
size_t utf8_length(unsigned char lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return lead < 0xF8 ? 4 : 1;
}

// Decodes the code point starting at text[pos], advancing pos; -1 at the end.
int32_t next_code_point(std::string_view text, size_t& pos) {
  if (pos >= text.size()) return -1;
  return static_cast<int32_t>(decode_utf8(text, pos));
}

Value deref_var(const Value& var) { return var.as<Var>().deref(); }

constexpr size_t FD_BUFFER = 8192;

}  // namespace

// --- StringWriter

void StringWriter::write(std::string_view utf8) {
  std::lock_guard lock(mutex_);
  buf_.append(utf8);
}

std::string StringWriter::str() const {
  std::lock_guard lock(mutex_);
  return buf_;
}

// --- FdWriter

FdWriter::~FdWriter() { flush(); }

void FdWriter::write(std::string_view utf8) {
  std::lock_guard lock(mutex_);
  if (buf_.size() + utf8.size() > FD_BUFFER) {
    write_all(fd_, buf_);
    buf_.clear();
    if (utf8.size() > FD_BUFFER) {
      write_all(fd_, utf8);
      return;
    }
  }
  buf_.append(utf8);
}

void FdWriter::flush() {
  std::lock_guard lock(mutex_);
  write_all(fd_, buf_);
  buf_.clear();
}

// --- InputReader

std::optional<std::string> InputReader::read_line() {
  std::string line;
  int32_t c = read_char();
  if (c < 0) return std::nullopt;
  // A line ends at \n, \r or \r\n, as BufferedReader.readLine has it.
  while (c >= 0 && c != '\n' && c != '\r') {
    append_utf8(line, static_cast<char32_t>(c));
    c = read_char();
  }
  if (c == '\r') {
    int32_t after = read_char();
    if (after >= 0 && after != '\n') unread(after);
  }
  return line;
}

int32_t StringInput::read_char() {
  std::lock_guard lock(mutex_);
  if (pushed_ != -2) {
    int32_t c = pushed_;
    pushed_ = -2;
    return c;
  }
  return next_code_point(text_, pos_);
}

void StringInput::unread(int32_t c) {
  std::lock_guard lock(mutex_);
  pushed_ = c;
}

// Fills the buffer with at least one whole character, waiting interruptibly; the caller holds mutex_.
int32_t FdInput::read_char() {
  std::lock_guard lock(mutex_);
  if (pushed_ != -2) {
    int32_t c = pushed_;
    pushed_ = -2;
    return c;
  }
  if (pos_ < buf_.size() && pos_ + utf8_length(static_cast<unsigned char>(buf_[pos_])) <= buf_.size())
    return next_code_point(buf_, pos_);
  if (eof_) return next_code_point(buf_, pos_);
  out_flush();  // a prompt written before a read must show
  buf_.erase(0, pos_);
  pos_ = 0;
  while (!eof_ && (buf_.empty() || utf8_length(static_cast<unsigned char>(buf_[0])) > buf_.size())) {
    safe_point();
    pollfd p{fd_, POLLIN, 0};
    int ready = ::poll(&p, 1, 10);  // wake every 10 ms to notice an interrupt
    if (ready < 0 && errno != EINTR) {
      eof_ = true;
      break;
    }
    if (ready <= 0) continue;
    char chunk[4096];
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) eof_ = true;
    else buf_.append(chunk, static_cast<size_t>(n));
  }
  return next_code_point(buf_, pos_);
}

void FdInput::unread(int32_t c) {
  std::lock_guard lock(mutex_);
  pushed_ = c;
}

// --- The current streams

bool is_writer(const Value& v) { return v.is(Kind::Host) && dynamic_cast<const Writer*>(v.obj()) != nullptr; }
bool is_input(const Value& v) { return v.is(Kind::Host) && dynamic_cast<const InputReader*>(v.obj()) != nullptr; }

Writer& as_writer(const Value& v) {
  if (!is_writer(v))
    throw_class_cast(fmt::format("class {} cannot be cast to class java.io.Writer", type_name(v)));
  return const_cast<Writer&>(static_cast<const Writer&>(*v.obj()));
}

InputReader& as_input(const Value& v) {
  if (!is_input(v))
    throw_class_cast(fmt::format("class {} cannot be cast to class java.io.Reader", type_name(v)));
  return const_cast<InputReader&>(static_cast<const InputReader&>(*v.obj()));
}

Value current_out() { return deref_var(core_vars().out); }
Value current_err() { return deref_var(core_vars().err); }
Value current_in() { return deref_var(core_vars().in); }

void out_write(std::string_view utf8) { as_writer(current_out()).write(utf8); }
void err_write(std::string_view utf8) { as_writer(current_err()).write(utf8); }
void out_flush() {
  Value out = current_out();
  if (is_writer(out)) as_writer(out).flush();
}

}  // namespace kelp::rt
