// The page text's markup: [name] links and line breaks, with '&', '<' and '>'
// escaped, so that any text shows as written.
#pragma once

#include <string>

// Appends the text as HTML to `html`, which then needs no copy of its own.
void appendMarkup(const std::string& text, std::string& html);

// The page text as HTML: [name] links, line breaks, '&', '<' and '>' escaped.
std::string convertMarkup(const std::string& text);
