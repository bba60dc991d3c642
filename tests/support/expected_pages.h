// The exact bytes the wiki sends, written out once for every test.
#pragma once

#include <string>

inline const std::string kPageHeader = "Content-Type: text/html\r\n\r\n";
inline const std::string kFrameOpening =
    "<html><head><title>Quillet</title></head><body bgcolor=#252525 text=#d0d0d0 "
    "link=#ffffff alink=#ffffff vlink=#ffffff>";
inline const std::string kFrameClosing = "</body></html>";

// What sendHtmlPage writes for a body without zero bytes.
inline std::string framedPage(const std::string& body) {
  return kPageHeader + kFrameOpening + body + kFrameClosing;
}

inline const std::string kTooLarge =
    "The page contents is too large. Ensure it is at most around 60KB and that your browser can "
    "send GET requests that large.";

inline std::string navigationLine(const std::string& name) {
  return "<a href='/edit/" + name +
         "'>Edit this page</a> - <a href='/'>Main</a> - <a href='/bye'>Kill the server</a><br><br>";
}

inline std::string missingPage(const std::string& name) {
  return "Unknown page <b>" + name + "</b>. <a href='/edit/" + name + "'>Create it</a>.";
}

inline std::string editForm(const std::string& name, const std::string& inTextArea) {
  return "Edit " + name + ":<form method='get' action='/save/" + name +
         "'><textarea style='background: #202020; color: #d0d0d0' name=data cols=70 rows=25>" +
         inTextArea + "</textarea><input type=hidden name=eof value=1><input type='submit'></form>";
}
