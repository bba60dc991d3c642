#include <gtest/gtest.h>

#include <string>

#include "store/page_store.h"

namespace {

struct NameCase {
  std::string target;
  bool accepted;
  std::string name;  // what the name holds on return
};

void PrintTo(const NameCase& nameCase, std::ostream* out) {
  *out << nameCase.target;
}

const NameCase kCases[] = {
    {"/wiki/main", true, "main"},
    {"/wiki/Main", true, "main"},
    {"/wiki/My-Page_2", true, "my-page_2"},
    {"/edit/Foo?x=1", true, "foo"},
    {"/save/foo&data=abc", true, "foo"},
    {"/save/notes?data=a/b&eof=1", true, "notes"},
    {"/wiki/a/b", true, "b"},
    {"/wiki/", false, ""},
    {"/wiki/?x=1", false, ""},
    {"/wiki/main/", false, ""},
    {"/wiki/a.b", false, "a"},
    {"/wiki/%41", false, ""},
    {"/wiki/a+b", false, "a"},
    {"/wiki/\x80", false, ""},
    {"/wiki/\xc3\xa9t\xc3\xa9", false, ""},
    {"/wiki/\xff", false, ""},
    {"abc", true, "abc"},
    {"", false, ""},
    {"?data=x", false, ""},
    {"/wiki/a\\b", false, "a"},
    {"/wiki/..", false, ""},
    {"/wiki/a b", false, "a"},
    {"/wiki/ZZ-9", true, "zz-9"},
};

class PageName : public testing::TestWithParam<NameCase> {};

TEST_P(PageName, TakesLastSegmentOrRefuses) {
  std::string name = "left over";
  EXPECT_EQ(extractPageName(GetParam().target, name), GetParam().accepted);
  EXPECT_EQ(name, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Table, PageName, testing::ValuesIn(kCases));

TEST(PageName, EveryAcceptedNameUsesOnlyTheNameAlphabet) {
  for (int byte = 1; byte < 256; ++byte) {
    std::string name;
    const std::string target = "/wiki/" + std::string(1, static_cast<char>(byte));
    const bool expected = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                          (byte >= '0' && byte <= '9') || byte == '_' || byte == '-';
    EXPECT_EQ(extractPageName(target, name), expected) << "byte " << byte;
  }
}

}  // namespace
