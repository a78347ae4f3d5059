// Every absolute path the helper uses (socket, configuration, logs) is one of
// the fixed constants of the product. For tests and sandboxes the environment
// variable HELPER_ROOT, read once, is put in front of each of them.
#pragma once

#include <string>
#include <string_view>

namespace helper::paths {

// The value of HELPER_ROOT at first use, without a trailing slash; empty when
// unset.
const std::string& helperRoot();

// `absolutePath` under HELPER_ROOT; unchanged when HELPER_ROOT is unset.
std::string rooted(std::string_view absolutePath);

// The directory part of a path, as the last path component is dropped:
// "/a/b" -> "/a", "/b" -> "/", "b" -> "".
std::string dirName(std::string_view path);

}  // namespace helper::paths
