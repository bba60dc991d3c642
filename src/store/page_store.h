// Page names and page files. Knows nothing of HTML, and of HTTP only that a
// request target's query part starts at its first '?' or '&'.
#pragma once

#include <string>

// Relative to the working directory; made at start-up.
inline constexpr char kPagesDirectory[] = "pages";

// Whether the byte may stand in a page name: a-z, 0-9, '_' and '-'.
bool isPageNameByte(char byte);

// Takes the page name from the last path segment of a request target
// (lower-cased; page-name bytes only). False when there is none.
bool extractPageName(const std::string& target, std::string& name);

// Reads "pages/NAME.txt" whole (up to its first zero byte). On false the text
// is left as it was.
bool loadPage(const std::string& name, std::string& text);

// Whether "pages/NAME.txt" can be opened for reading, as a load would.
bool pageExists(const std::string& name);

// Replaces the page file through NAME.txt.new, keeping the old text in
// NAME.txt.old (under NAME.txt.tmp meanwhile; a save puts right first what a
// crash left there). True when the page file holds exactly the text and the
// folder is synced; a page that already holds it is left as it is, backup
// included.
bool savePage(const std::string& name, const std::string& text);
