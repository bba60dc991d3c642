// Saves the page "home" once in the working directory, so that a test can
// watch the system calls of one save.
#include "store/page_store.h"

int main() {
  return savePage("home", "new text") ? 0 : 1;
}
