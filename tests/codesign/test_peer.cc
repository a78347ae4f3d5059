// A small program the code-signing tests run as a peer process, after
// signing a copy of it in one way or another. It waits until its standard
// input is closed, then exits 0, so the test decides how long it lives.
#include <unistd.h>

int main() {
  char buf[256];
  while (read(STDIN_FILENO, buf, sizeof buf) > 0) {
  }
  return 0;
}
