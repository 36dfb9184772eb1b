// The runtime's character streams: what *out*, *err* and *in* hold.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "kelp/data/value.hpp"

namespace kelp::rt {

// A character sink (java.io.Writer). Thread-safe.
class Writer : public Object {
 public:
  Writer() : Object(Kind::Host, 0) {}
  virtual void write(std::string_view utf8) = 0;
  virtual void flush() {}
  std::string_view type_name() const override { return "java.io.Writer"; }
};

// Collects text (with-out-str, java.io.StringWriter).
class StringWriter final : public Writer {
 public:
  void write(std::string_view utf8) override;
  std::string str() const;
  std::string_view type_name() const override { return "java.io.StringWriter"; }

 private:
  mutable std::mutex mutex_;
  std::string buf_;
};

// Writes to a file descriptor (the process's standard output or error), buffered; flushed on flush(), when the
// buffer fills, before reading standard input, and at exit.
class FdWriter final : public Writer {
 public:
  explicit FdWriter(int fd) : fd_(fd) {}
  ~FdWriter() override;
  void write(std::string_view utf8) override;
  void flush() override;
  std::string_view type_name() const override { return "java.io.PrintWriter"; }

 private:
  int fd_;
  std::mutex mutex_;
  std::string buf_;
};

// Hands every write to a function (an evaluation capturing output chunks).
class CallbackWriter final : public Writer {
 public:
  explicit CallbackWriter(std::function<void(std::string_view)> sink) : sink_(std::move(sink)) {}
  void write(std::string_view utf8) override { sink_(utf8); }
  std::string_view type_name() const override { return "java.io.PrintWriter"; }

 private:
  std::function<void(std::string_view)> sink_;
};

// A character source with one character of push-back (clojure.lang.LineNumberingPushbackReader).
// Blocking sources wait interruptibly.
class InputReader : public Object {
 public:
  InputReader() : Object(Kind::Host, 0) {}
  // The next code point, or -1 at the end of input.
  virtual int32_t read_char() = 0;
  virtual void unread(int32_t c) = 0;
  // A whole line without its terminator, or nullopt at the end of input.
  virtual std::optional<std::string> read_line();
  std::string_view type_name() const override { return "clojure.lang.LineNumberingPushbackReader"; }
};

// Reads from text (with-in-str, java.io.StringReader).
class StringInput final : public InputReader {
 public:
  explicit StringInput(std::string text) : text_(std::move(text)) {}
  int32_t read_char() override;
  void unread(int32_t c) override;

 private:
  std::mutex mutex_;
  std::string text_;
  size_t pos_ = 0;
  int32_t pushed_ = -2;
};

// Reads the process's standard input (blocking reads poll the interrupt token).
class FdInput final : public InputReader {
 public:
  explicit FdInput(int fd) : fd_(fd) {}
  int32_t read_char() override;
  void unread(int32_t c) override;

 private:
  int fd_;
  std::mutex mutex_;
  std::string buf_;
  size_t pos_ = 0;
  bool eof_ = false;
  int32_t pushed_ = -2;
};

// Writes to the current *out* / *err* (whatever this thread has bound).
void out_write(std::string_view utf8);
void err_write(std::string_view utf8);
void out_flush();
Value current_out();
Value current_err();
Value current_in();
Writer& as_writer(const Value& v);         // throws ClassCastException for non-writers
InputReader& as_input(const Value& v);
bool is_writer(const Value& v);
bool is_input(const Value& v);

}  // namespace kelp::rt
