#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "store/page_store.h"
#include "support/captured_response.h"
#include "support/expected_pages.h"
#include "support/temp_directory.h"
#include "wiki/pages.h"

namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

const std::string kNavigation = navigationLine("home");

class WikiPages : public testing::Test {
 protected:
  void SetUp() override { fs::create_directory("pages"); }

  static void writePage(const std::string& name, const std::string& bytes) {
    std::ofstream(fs::path("pages") / (name + ".txt"), std::ios::binary) << bytes;
  }
  static std::string readPage(const std::string& file) {
    std::ifstream in(fs::path("pages") / file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static std::string save(const std::string& target) {
    std::vector<char> bytes(target.begin(), target.end());
    bytes.push_back('\0');
    return captureResponse([&bytes](ClientRequest& request) {
      request.target = bytes.data();
      handleSaveRequest(request, "home");
    });
  }

  ScopedWorkingDirectory directory;
};

TEST_F(WikiPages, ViewShowsNavigationAndConvertedText) {
  writePage("home", "Hi [there]");
  EXPECT_EQ(captureResponse([](ClientRequest& r) { renderViewPage(r, "home", false); }),
            framedPage(kNavigation + "Hi <a href='/wiki/there'>there</a>"));
}

TEST_F(WikiPages, ViewAfterSaveCarriesTheNotice) {
  writePage("home", "Hi");
  EXPECT_EQ(captureResponse([](ClientRequest& r) { renderViewPage(r, "home", true); }),
            framedPage("<b>Page saved!</b> - " + kNavigation + "Hi"));
}

TEST_F(WikiPages, MissingPageOffersToCreateIt) {
  for (const bool justSaved : {false, true}) {
    EXPECT_EQ(captureResponse([=](ClientRequest& r) { renderViewPage(r, "notes", justSaved); }),
              framedPage(missingPage("notes")));
  }
}

struct EditCase {
  const char* name;
  std::optional<std::string> stored;  // nullopt: no page file
  std::string inTextArea;
};

void PrintTo(const EditCase& editCase, std::ostream* out) {
  *out << editCase.name;
}

const EditCase kEditCases[] = {
    {"MissingPage", std::nullopt, ""},
    {"EmptyPage", "", ""},
    {"PlainText", "Hi", "Hi"},
    {"LineFeedsKept", "a\nb\r\nc\n", "a\nb\r\nc\n"},
    {"QuotesAndGreaterThanUnchanged", "\"x\" 'y' a > b", "\"x\" 'y' a > b"},
    {"AmpersandAndLessThanEscaped", "a & b < c &amp; </textarea>",
     "a &amp; b &lt; c &amp;amp; &lt;/textarea>"},
    {"LeadingLineFeedProtected", "\nfirst", "\n\nfirst"},
    {"LeadingCarriageReturnProtected", "\r\nfirst", "\n\r\nfirst"},
    {"HighBytesUnchanged", "caf\xc3\xa9 \x80", "caf\xc3\xa9 \x80"},
    {"AmpersandFirst", "&x", "&amp;x"},
    {"LessThanFirst", "<x", "&lt;x"},
};

class EditForm : public WikiPages, public testing::WithParamInterface<EditCase> {};

TEST_P(EditForm, HoldsThePageTextSoTheBrowserSendsItBackUnchanged) {
  if (GetParam().stored) {
    writePage("home", *GetParam().stored);
  }
  EXPECT_EQ(captureResponse([](ClientRequest& r) { renderEditPage(r, "home"); }),
            framedPage(editForm("home", GetParam().inTextArea)));
}

INSTANTIATE_TEST_SUITE_P(Table, EditForm, testing::ValuesIn(kEditCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct DecodeCase {
  std::string encoded;
  std::string decoded;
};

void PrintTo(const DecodeCase& decodeCase, std::ostream* out) {
  *out << decodeCase.encoded;
}

const DecodeCase kDecodeCases[] = {
    {"", ""},
    {"abc", "abc"},
    {"a+b", "a b"},
    {"%41", "A"},
    {"%4a%4A", "JJ"},
    {"%4g", "%4g"},
    {"%%41", "%A"},
    {"ab%", "ab%"},
    {"%2&eof=1", "%2"},
    {"a%26b%3Dc&eof=1", "a&b=c"},
    {"%2B%25", "+%"},
    {"Hello+%5Bworld%5D%0D%0Abye", "Hello [world]\r\nbye"},
    {"%C3%A9\xc3\xa9", "\xc3\xa9\xc3\xa9"},
    {"a%00b", "a\0b"s},
    {"stop&here", "stop"},
    {"%01%23%45%67%89%ab%cd%ef%AB%CD%EF%Fa%fA",
     "\x01\x23\x45\x67\x89\xab\xcd\xef\xab\xcd\xef\xfa\xfa"},
    {"%G0%g0%0G%0g%:0%/0%@0%`0", "%G0%g0%0G%0g%:0%/0%@0%`0"},
};

class FormValue : public testing::TestWithParam<DecodeCase> {};

TEST_P(FormValue, DecodesUpToTheNextField) {
  EXPECT_EQ(decodeFormValue(GetParam().encoded.c_str()), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(Table, FormValue, testing::ValuesIn(kDecodeCases));

struct SaveCase {
  const char* name;
  std::string target;
  std::optional<std::string> stored;  // nullopt: nothing stored
  std::string shown;                  // after a store, the view's text; else the message
};

void PrintTo(const SaveCase& saveCase, std::ostream* out) {
  *out << saveCase.name;
}

const SaveCase kSaveCases[] = {
    {"Typical", "/save/home?data=Hello+%5Bworld%5D%0D%0Abye&eof=1", "Hello [world]\r\nbye",
     "Hello <a href='/wiki/world'>world</a>\r<br>bye"},
    {"EmptyText", "/save/home?data=&eof=1", "", ""},
    {"NoMarker", "/save/home?data=abc", std::nullopt, kTooLarge},
    {"NoQuery", "/save/home", std::nullopt, kTooLarge},
    {"MarkerNeedsAmpersand", "/save/home?eof=1&data=abc", std::nullopt, kTooLarge},
    {"MarkerPrefixCounts", "/save/home?data=abc&eof=10", "abc", "abc"},
    {"MarkerAnywhere", "/save/home?x=1&eof=1&data=abc", "abc", "abc"},
    {"NoField", "/save/home?x=1&eof=1", std::nullopt, "Missing data"},
    {"FieldIsCaseSensitive", "/save/home?DATA=abc&eof=1", std::nullopt, "Missing data"},
    {"QuestionFieldWins", "/save/home?data=a&data=b&eof=1", "a", "a"},
    {"AmpersandField", "/save/home&data=abc&eof=1", "abc", "abc"},
    {"EscapedSpecials", "/save/home?data=a%26b%3Dc&eof=1", "a&b=c", "a&amp;b=c"},
    {"ZeroByteStoredViewStopsThere", "/save/home?data=ab%00cd&eof=1", "ab\0cd"s, "ab"},
    {"RawHighBytes", "/save/home?data=\xc3\xa9&eof=1", "\xc3\xa9", "\xc3\xa9"},
};

class Saving : public WikiPages, public testing::WithParamInterface<SaveCase> {};

TEST_P(Saving, StoresTheDecodedValueOrAnswersWhyNot) {
  const std::string reply = save(GetParam().target);
  if (GetParam().stored) {
    EXPECT_EQ(readPage("home.txt"), *GetParam().stored);
    EXPECT_EQ(reply, framedPage("<b>Page saved!</b> - " + kNavigation + GetParam().shown));
  } else {
    EXPECT_FALSE(fs::exists("pages/home.txt"));
    EXPECT_EQ(reply, framedPage(GetParam().shown));
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Saving, testing::ValuesIn(kSaveCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WikiPages, FailedSaveSaysSoAndKeepsThePage) {
  writePage("home", "kept");
  fs::create_directory("pages/home.txt.new");
  EXPECT_EQ(save("/save/home?data=lost&eof=1"), framedPage("Failed to save the page contents."));
  EXPECT_EQ(readPage("home.txt"), "kept");
}

}  // namespace
