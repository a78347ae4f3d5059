// Linked into every program of an AddressSanitizer build (CMakeLists.txt).
// LeakSanitizer checks for leaks at exit by stopping the process's threads
// with ptrace, which the kernel refuses for a process that is not dumpable:
// a set-group-ID program run by an ordinary user, as the installed client
// is. Such a process cannot read its own /proc/self/environ either, so
// ASAN_OPTIONS cannot switch the check off; this hook does, for exactly
// those processes. Everything else is checked as before.
#include <sys/prctl.h>

extern "C" int __lsan_is_turned_off() { return ::prctl(PR_GET_DUMPABLE) == 0 ? 1 : 0; }
