/* Preloaded into a child interpreter to make the platform fail on request.
 * The switches are environment variables read on every call, so a test can
 * flip them through os.environ after the module has been imported. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/types.h>
#include <time.h>

typedef int (*clock_gettime_fn)(clockid_t, struct timespec*);
typedef ssize_t (*getrandom_fn)(void*, size_t, unsigned int);

static long getrandom_calls;

int clock_gettime(clockid_t clock, struct timespec* out) {
  if (clock == CLOCK_REALTIME && getenv("PELNORIX_SHIM_CLOCK_BEFORE_EPOCH") != NULL) {
    out->tv_sec = -86400; /* 1969-12-31 */
    out->tv_nsec = 0;
    return 0;
  }
  clock_gettime_fn real = (clock_gettime_fn)dlsym(RTLD_NEXT, "clock_gettime");
  return real(clock, out);
}

ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
  __atomic_add_fetch(&getrandom_calls, 1, __ATOMIC_RELAXED);
  const char* failure = getenv("PELNORIX_SHIM_GETRANDOM_ERRNO");
  if (failure != NULL) {
    errno = atoi(failure);
    return -1;
  }
  getrandom_fn real = (getrandom_fn)dlsym(RTLD_NEXT, "getrandom");
  return real(buffer, length, flags);
}

long pelnorix_shim_getrandom_calls(void) {
  return __atomic_load_n(&getrandom_calls, __ATOMIC_RELAXED);
}
