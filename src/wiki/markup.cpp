#include "wiki/markup.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "platform/ascii.h"
#include "store/page_store.h"

namespace {

// The bytes that end a run of text copied unchanged.
constexpr std::array<bool, 256> kMarkupBytes = [] {
  std::array<bool, 256> table{};
  for (const unsigned char byte : {'[', '\n', '&', '<', '>'}) {
    table[byte] = true;
  }
  return table;
}();

bool isMarkupByte(char byte) {
  return kMarkupBytes[static_cast<unsigned char>(byte)];
}

// The first byte at or after `i` that the markup changes, or the text's end.
// Pages are mostly ordinary text, so this scan is the converter's hot loop:
// with SSE2 (every x86-64 compiler has it) it tests 64 bytes per step.
#if defined(__SSE2__) || defined(_M_X64)
__m128i markupBytesIn(const char* bytes) {
  const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  // '<' (0x3c) and '>' (0x3e) differ only in bit 1.
  const __m128i angle = _mm_cmpeq_epi8(_mm_or_si128(block, _mm_set1_epi8(2)), _mm_set1_epi8('>'));
  return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('[')),
                                   _mm_cmpeq_epi8(block, _mm_set1_epi8('\n'))),
                      _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('&')), angle));
}
#endif

std::size_t findMarkupByte(const std::string& text, std::size_t i) {
  // Short runs (text dense with markup) are found faster byte by byte.
  constexpr std::size_t kShortRun = 16;
  for (const std::size_t shortEnd = std::min(text.size(), i + kShortRun); i < shortEnd; ++i) {
    if (isMarkupByte(text[i])) {
      return i;
    }
  }
#if defined(__SSE2__) || defined(_M_X64)
  constexpr std::size_t kBlock = sizeof(__m128i);
  constexpr std::size_t kStep = 4 * kBlock;
  const char* bytes = text.data();
  while (i + kStep <= text.size()) {
    const __m128i any = _mm_or_si128(
        _mm_or_si128(markupBytesIn(bytes + i), markupBytesIn(bytes + i + kBlock)),
        _mm_or_si128(markupBytesIn(bytes + i + 2 * kBlock), markupBytesIn(bytes + i + 3 * kBlock)));
    if (_mm_movemask_epi8(any) != 0) {
      break;
    }
    i += kStep;
  }
  while (i + kBlock <= text.size()) {
    const int mask = _mm_movemask_epi8(markupBytesIn(bytes + i));
    if (mask != 0) {
      return i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask)));
    }
    i += kBlock;
  }
#endif
  while (i < text.size() && !isMarkupByte(text[i])) {
    ++i;
  }
  return i;
}

// A link names a page as written, in either case; following it folds the case.
bool isLinkByte(char byte) {
  return isPageNameByte(platform::lowerCase(byte));
}

// Appends the link that starts with the '[' at `open` and returns where the
// scan goes on, or returns `open` when no complete link starts there.
std::size_t appendLink(const std::string& text, std::size_t open, std::string& html) {
  std::size_t close = open + 1;
  while (close < text.size() && isLinkByte(text[close])) {
    ++close;
  }
  if (close >= text.size() || text[close] != ']') {
    return open;
  }
  const char* name = text.data() + open + 1;
  const std::size_t length = close - open - 1;
  html.append("<a href='/wiki/").append(name, length).append("'>");
  html.append(name, length).append("</a>");
  return close + 1;
}

}  // namespace

void appendMarkup(const std::string& text, std::string& html) {
  html.reserve(html.size() + text.size() + text.size() / 8);
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t runEnd = findMarkupByte(text, i);
    html.append(text, i, runEnd - i);
    i = runEnd;
    if (i == text.size()) {
      break;
    }
    switch (text[i]) {
      case '[': {
        const std::size_t next = appendLink(text, i, html);
        if (next != i) {
          i = next;
          continue;
        }
        html.push_back('[');
        break;
      }
      case '\n':
        html.append("<br>");
        break;
      case '&':
        html.append("&amp;");
        break;
      case '>':
        html.append("&gt;");
        break;
      case '<':
        html.append("&lt;");
        break;
    }
    ++i;
  }
}

std::string convertMarkup(const std::string& text) {
  std::string html;
  appendMarkup(text, html);
  return html;
}
