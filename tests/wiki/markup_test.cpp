#include <gtest/gtest.h>

#include <string>

#include "wiki/pages.h"

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

TEST(Markup, UnclosedBracketsStayLinearAndShowAsText) {
  const std::string text = "[" + std::string(200000, 'a');
  EXPECT_EQ(convertMarkup(text), text);
}

}  // namespace
