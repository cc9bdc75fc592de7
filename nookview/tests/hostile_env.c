/* Preloaded into nookview by the end-to-end tests (LD_PRELOAD), this makes
 * its surroundings as unkind as they lawfully can be:
 *   - any heap allocation ends the process at once with status 86, so a
 *     session that passes allocated nothing;
 *   - an interval timer delivers a signal with a handler installed without
 *     SA_RESTART every 200 microseconds, so blocking reads and writes fail
 *     with EINTR or return short, and must be repeated or continued;
 *   - writev sends at most 1, 3, 4 or 4096 bytes of its first part, in turn,
 *     as a full pipe or socket may: a reply's 3-byte header is cut inside or
 *     sent alone, its data cut again, and every reply must be continued
 *     where it stopped. */
#define _GNU_SOURCE
#include <signal.h>
#include <stddef.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

/* Parameters go unused throughout (the build says -Wno-unused-parameter). */
static void interrupt(int signal_number) {}

__attribute__((constructor)) static void start_interrupting(void) {
  sigaction(SIGALRM, &(struct sigaction){.sa_handler = interrupt}, NULL); /* no SA_RESTART */
  setitimer(ITIMER_REAL, &(struct itimerval){{0, 200}, {0, 200}}, NULL);
}

/* Only ever the front of the first part: a lawful short write. */
ssize_t writev(int fd, const struct iovec* parts, int count) {
  static const size_t limits[] = {1, 3, 4, 4096};
  static unsigned calls;
  size_t limit = limits[calls++ % 4];
  return write(fd, parts[0].iov_base, parts[0].iov_len < limit ? parts[0].iov_len : limit);
}

#define REFUSE \
  { _exit(86); }
void* malloc(size_t n) REFUSE void* calloc(size_t n, size_t m) REFUSE
    void* realloc(void* p, size_t n) REFUSE void* aligned_alloc(size_t a, size_t n) REFUSE
    void* memalign(size_t a, size_t n) REFUSE void* valloc(size_t n) REFUSE
    void* pvalloc(size_t n) REFUSE int posix_memalign(void** p, size_t a, size_t n) REFUSE
