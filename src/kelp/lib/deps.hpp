// The kelp tool's dependencies: deps.edn's :paths and :deps, merged with the -Sdeps map, resolved to the folders
// require searches. kelp fetches nothing: nrepl/nrepl is built in, :local/root folders are used where they are,
// and any other git or Maven coordinate is refused with a sentence.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/result.hpp"

namespace kelp::deps {

// The source folders for a program run in dir: dir/deps.edn (when present) merged with sdeps (the -Sdeps text,
// when given; its :deps added to and overriding the file's, its :paths replacing them). :paths default to
// ["src"]. A :local/root dependency adds the :paths of its own deps.edn (and its dependencies, cycles ignored).
// nullopt when there is neither a deps.edn nor sdeps. A failure's sentence begins "git dep: " for a git
// coordinate kelp cannot fetch.
Result<std::optional<std::vector<std::string>>> source_roots(const std::filesystem::path& dir,
                                                             std::optional<std::string_view> sdeps);

}  // namespace kelp::deps
