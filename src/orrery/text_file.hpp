// Reading a file into an editor tab and writing a tab back to disk. A save never truncates the file in place: the
// text goes to a hidden temporary file beside the real one, which then replaces it in one rename, so a crash or a
// full disk at any moment leaves either the old text or the new, never a mixture or an empty file.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace orrery::text_file {

struct Loaded {
  std::string text;  // valid UTF-8: every invalid byte sequence became U+FFFD
  bool had_invalid_utf8 = false;
};

struct Refused {
  std::string message;  // a sentence naming the path as it was given
};

// The bytes of a regular file, or the errno that refused it: the open's or the read's, EISDIR for a folder and
// EINVAL for anything else that isn't a regular file. A FIFO opens at once and is refused, never waited on.
struct Bytes {
  std::optional<std::string> text;
  int error = 0;
};
Bytes read_regular(const std::filesystem::path& path);

// Reads a file for an editor tab. Refuses a file holding a NUL byte (the editor's text is C strings, so a NUL would
// cut the text and a save would write the shortened text back), a folder or anything else that isn't a regular file
// (a FIFO or a device would never finish reading), and a missing or unreadable file.
std::variant<Loaded, Refused> read_for_tab(const std::filesystem::path& path);

// The real file a path names, following symbolic links one at a time: a relative target counts from the link's
// folder, and a dangling link resolves to its target's path. Throws std::runtime_error with a sentence when the
// links loop.
std::filesystem::path resolve_links(const std::filesystem::path& path);

// Saves text to path atomically: nullopt on success, else a sentence such as
// "Couldn't save /x/ro/a.clj: Permission denied." that names path as given (never the temporary file or a link's
// target). Saving through a symbolic link updates the target and keeps the link; an existing file keeps its
// permission bits (and, where the process may, its owner), a new one gets 0666 less the umask. A temporary file
// left by a crash is hidden: its name starts with ".".
std::optional<std::string> save(const std::filesystem::path& path, std::string_view text);

}  // namespace orrery::text_file
