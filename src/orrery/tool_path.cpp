#include "orrery/tool_path.hpp"

#include <algorithm>

namespace orrery::tool_path {

namespace {

std::string_view trim(std::string_view s) {
  auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

bool contains(const std::vector<std::string>& xs, const std::string& x) {
  return std::find(xs.begin(), xs.end(), x) != xs.end();
}

}  // namespace

std::vector<std::string> well_known_dirs(const std::string& home) {
  return {"/opt/homebrew/bin", "/usr/local/bin", home + "/.local/bin", home + "/bin"};
}

std::vector<std::string> entries(std::string_view path) {
  std::vector<std::string> out;
  for (auto part : split(path, ':')) {
    if (!part.empty()) out.emplace_back(part);
  }
  return out;
}

bool needs_lookup(std::string_view path, const std::string& home) {
  auto on_path = entries(path);
  auto known = well_known_dirs(home);
  return std::none_of(known.begin(), known.end(), [&](const std::string& dir) { return contains(on_path, dir); });
}

std::optional<std::string> uid_shell(std::string_view line, unsigned uid) {
  auto fields = split(line, ':');
  if (fields.size() < 7 || fields[2] != std::to_string(uid)) return std::nullopt;
  auto shell = trim(fields[6]);
  if (shell.empty()) return std::nullopt;
  return std::string(shell);
}

std::optional<std::string> passwd_shell(std::string_view passwd_text, unsigned uid) {
  for (auto line : split(passwd_text, '\n')) {
    if (auto shell = uid_shell(line, uid)) return shell;
  }
  return std::nullopt;
}

std::string default_shell(const ShellFacts& facts) {
  if (facts.os == "Mac OS X") return "/bin/zsh";
  return passwd_shell(facts.passwd_text, facts.uid).value_or("/bin/sh");
}

std::vector<std::string> shell_command(const std::string& shell) {
  std::string printf_command =
      "printf '\\n%s%s%s\\n' '" + std::string(MARKER_START) + "' \"$PATH\" '" + std::string(MARKER_END) + "'";
  return {shell, "-il", "-c", printf_command};
}

std::optional<std::string> parse_answer(std::string_view out) {
  // The last start marker that an end marker follows: a start cut off by a killed shell doesn't count.
  std::size_t start = out.rfind(MARKER_START);
  while (start != std::string_view::npos) {
    std::size_t from = start + MARKER_START.size();
    std::size_t end = out.find(MARKER_END, from);
    if (end != std::string_view::npos) {
      if (end == from) return std::nullopt;
      return std::string(out.substr(from, end - from));
    }
    if (start == 0) break;
    start = out.rfind(MARKER_START, start - 1);
  }
  return std::nullopt;
}

std::string fallback_path(const std::string& current, const std::string& home, const Exists& exists) {
  auto on_path = entries(current);
  std::string out = current;
  for (const auto& dir : well_known_dirs(home)) {
    if (contains(on_path, dir) || !exists(dir)) continue;
    if (!out.empty()) out += ':';
    out += dir;
    on_path.push_back(dir);
  }
  return out;
}

std::optional<std::string> resolve_program(const std::string& name, std::string_view path, const Exists& exists) {
  if (name.empty()) return std::nullopt;
  if (name.front() == '/') return exists(name) ? std::optional<std::string>(name) : std::nullopt;
  for (const auto& dir : entries(path)) {
    std::string candidate = dir + "/" + name;
    if (exists(candidate)) return candidate;
  }
  return std::nullopt;
}

}  // namespace orrery::tool_path
