/* Preloaded into a child interpreter to make the platform fail on request.
 * The switches are environment variables read on every call, so a test can
 * flip them through os.environ after the module has been imported.
 *
 * The real services are reached by system call rather than through dlsym:
 * sanitizer runtimes read the clock from inside their allocator, and dlsym
 * may allocate, which would re-enter them. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

static long getrandom_calls;

int clock_gettime(clockid_t clock, struct timespec* out) {
  if (clock == CLOCK_REALTIME && getenv("PELNORIX_SHIM_CLOCK_BEFORE_EPOCH") != NULL) {
    out->tv_sec = -86400; /* 1969-12-31 */
    out->tv_nsec = 0;
    return 0;
  }
  return (int)syscall(SYS_clock_gettime, clock, out);
}

ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
  __atomic_add_fetch(&getrandom_calls, 1, __ATOMIC_RELAXED);
  const char* failure = getenv("PELNORIX_SHIM_GETRANDOM_ERRNO");
  if (failure != NULL) {
    errno = atoi(failure);
    return -1;
  }
  return (ssize_t)syscall(SYS_getrandom, buffer, length, flags);
}

long pelnorix_shim_getrandom_calls(void) {
  return __atomic_load_n(&getrandom_calls, __ATOMIC_RELAXED);
}
