// What the tests reach beyond platform.h: pieces of the POSIX implementation
// that the server calls only through it. Windows has none of them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The no-replace move for file systems that refuse RENAME_NOREPLACE: a link
// to `to`, then the unlink of `from`. Fails, changing nothing, when `to`
// exists or `from` is missing.
bool renameByLinking(const char* from, const char* to);
// The no-replace move for file systems that have neither: a look whether `to`
// is free, then a plain rename. Fails, changing nothing, when `to` exists or
// `from` is missing.
bool renameIfNameIsFree(const char* from, const char* to);

// The domains of the "search" and "domain" lines of resolver settings, in
// order, without trailing dots.
std::vector<std::string> searchDomainsIn(std::string_view settings);

}  // namespace platform
