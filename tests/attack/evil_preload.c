// Code a local user slips into a signed client (LD_PRELOAD, or named like a
// library the client loads, with LD_LIBRARY_PATH): when it runs, it records
// that it ran in $EVIL_MARK. Whatever it would then do, it does as the
// client, whose admission the test checks.
#include <stdio.h>
#include <stdlib.h>

__attribute__((constructor)) static void injected(void) {
  const char* mark = getenv("EVIL_MARK");
  FILE* f = mark ? fopen(mark, "w") : NULL;
  if (f) fclose(f);
}
