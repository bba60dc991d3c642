// hold_file PATH MILLISECONDS: opens the file without sharing, as a sync
// client or an indexer does for a moment after a file changes, prints "held",
// and closes it that long after. Exit code 1 when it could not be opened.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: hold_file PATH MILLISECONDS\n", stderr);
    return 2;
  }
  const HANDLE handle =
      CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    std::printf("not held: error %lu\n", GetLastError());
    return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(std::atol(argv[2])));
  CloseHandle(handle);
  return 0;
}
