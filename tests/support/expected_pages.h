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

inline std::string navigationLine(const std::string& name) {
  return "<a href='/edit/" + name +
         "'>Edit this page</a> - <a href='/'>Main</a> - <a href='/bye'>Kill the server</a><br><br>";
}
