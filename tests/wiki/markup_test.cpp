#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>

#include "wiki/markup.h"

namespace {

struct MarkupCase {
  std::string text;
  std::string html;
};

void PrintTo(const MarkupCase& markupCase, std::ostream* out) {
  *out << markupCase.text;
}

const MarkupCase kCases[] = {
    {"", ""},
    {"Hello\nWorld", "Hello<br>World"},
    {"a\r\nb", "a\r<br>b"},
    {"1 < 2 & 3 > 2", "1 &lt; 2 &amp; 3 &gt; 2"},
    {"See [Home].", "See <a href='/wiki/Home'>Home</a>."},
    {"[my-page_2]", "<a href='/wiki/my-page_2'>my-page_2</a>"},
    {"[two words]", "[two words]"},
    {"[[a]]", "[<a href='/wiki/a'>a</a>]"},
    {"[a][b]", "<a href='/wiki/a'>a</a><a href='/wiki/b'>b</a>"},
    {"[a<b]", "[a&lt;b]"},
    {"[a\nb]", "[a<br>b]"},
    {"[]", "<a href='/wiki/'></a>"},
    {"x]", "x]"},
    {"see [home", "see [home"},
    {"[", "["},
    {"&amp;", "&amp;amp;"},
    {"\"quotes\" 'too'\t", "\"quotes\" 'too'\t"},
    {"caf\xc3\xa9 \x80\xff", "caf\xc3\xa9 \x80\xff"},
    {"[caf\xc3\xa9]", "[caf\xc3\xa9]"},
    {"[a[b]", "[a<a href='/wiki/b'>b</a>"},
    {"[A-Z_09]", "<a href='/wiki/A-Z_09'>A-Z_09</a>"},
    {"<script>", "&lt;script&gt;"},
    {"\n\n", "<br><br>"},
    {"[abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-]",
     "<a href='/wiki/abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-'>"
     "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-</a>"},
    {"[a@]", "[a@]"},
    {"[a`]", "[a`]"},
    {"[a{]", "[a{]"},
    {"[a/]", "[a/]"},
    {"[a:]", "[a:]"},
    {"[a.]", "[a.]"},
};

class Markup : public testing::TestWithParam<MarkupCase> {};

TEST_P(Markup, ConvertsTextToHtml) {
  EXPECT_EQ(convertMarkup(GetParam().text), GetParam().html);
}

INSTANTIATE_TEST_SUITE_P(Table, Markup, testing::ValuesIn(kCases));

TEST(Markup, LinkNamesHaveNoLengthLimit) {
  const std::string name(100000, 'n');
  EXPECT_EQ(convertMarkup("[" + name + "]"), "<a href='/wiki/" + name + "'>" + name + "</a>");
}

// The converter copies runs of plain text 16 and 64 bytes at a time; a byte
// of markup anywhere in or across those blocks must still be converted. The
// reference goes byte by byte, the way the rules read.
std::string convertByteByByte(const std::string& text) {
  std::string html;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::size_t close = i + 1;
    while (text[i] == '[' && close < text.size() &&
           (std::isalnum(static_cast<unsigned char>(text[close])) || text[close] == '_' ||
            text[close] == '-')) {
      ++close;
    }
    if (text[i] == '[' && close < text.size() && text[close] == ']') {
      const std::string name = text.substr(i + 1, close - i - 1);
      html += "<a href='/wiki/" + name + "'>" + name + "</a>";
      i = close;
    } else if (text[i] == '\n') {
      html += "<br>";
    } else if (text[i] == '&') {
      html += "&amp;";
    } else if (text[i] == '<') {
      html += "&lt;";
    } else if (text[i] == '>') {
      html += "&gt;";
    } else {
      html += text[i];
    }
  }
  return html;
}

TEST(Markup, AgreesWithAByteByByteReadingOnTextsOfEveryLength) {
  // Mostly plain bytes (all 256 of them), with each markup byte now and then.
  const std::string markup = "[]\n&<>a_";
  std::mt19937 random(20261207);
  for (int round = 0; round < 4000; ++round) {
    std::string text(random() % 301, 'x');
    for (char& byte : text) {
      const unsigned roll = random() % 64;
      byte = roll < markup.size() ? markup[roll] : static_cast<char>(random() % 256);
    }
    ASSERT_EQ(convertMarkup(text), convertByteByByte(text)) << testing::PrintToString(text);
  }
}

TEST(Markup, ConvertsMarkupAtEveryBlockBoundary) {
  for (const std::size_t at : {0, 15, 16, 17, 31, 32, 63, 64, 65, 127, 128, 199}) {
    for (const char special : std::string("[\n&<>")) {
      std::string text(200, 'p');
      text[at] = special;
      ASSERT_EQ(convertMarkup(text), convertByteByByte(text)) << at << " " << special;
    }
  }
  EXPECT_EQ(convertMarkup(std::string(16, 'p') + "<script>" + std::string(56, 'p')),
            std::string(16, 'p') + "&lt;script&gt;" + std::string(56, 'p'));
}

TEST(Markup, UnclosedBracketsStayLinearAndShowAsText) {
  const std::string text = "[" + std::string(200000, 'a');
  EXPECT_EQ(convertMarkup(text), text);
}

}  // namespace
