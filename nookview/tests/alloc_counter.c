/* A preloaded library that counts heap calls, so that a test can prove a
 * whole nookview session allocates nothing.
 *
 * Loaded with LD_PRELOAD, it takes the place of the C library's allocation
 * functions, counts each call and hands it on to glibc's own implementation
 * (the __libc_* entry points, so no dlsym, which may itself allocate). The
 * counts go to the file named by NOOKVIEW_ALLOC_COUNT_FILE: written when the
 * library is initialised, rewritten after every counted call and at exit, so
 * the file is right whether the process ends through exit() or _exit(). Calls
 * made before the library is initialised are counted too.
 *
 * File format, one line: "allocations A frees F\n", A the sum over malloc,
 * calloc, realloc, aligned_alloc, posix_memalign, memalign, valloc and
 * pvalloc; F the calls of free with a non-null pointer.
 */

#define _GNU_SOURCE /* pwrite, ftruncate, O_CLOEXEC, F_DUPFD_CLOEXEC under -std=c11 */
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <unistd.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* ptr, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void* __libc_valloc(size_t size);
extern void* __libc_pvalloc(size_t size);
extern void __libc_free(void* ptr);

static unsigned long allocations;
static unsigned long frees;
static int report_fd = -1;

static size_t put_number(char* out, unsigned long value) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
  return n;
}

static size_t put_text(char* out, const char* text) {
  size_t n = 0;
  while (text[n] != '\0') {
    out[n] = text[n];
    ++n;
  }
  return n;
}

/* Rewrites the whole report in place; errno is kept for the caller's sake. */
static void write_report(void) {
  if (report_fd < 0) return;
  int saved = errno;
  char line[80];
  size_t n = put_text(line, "allocations ");
  n += put_number(line + n, allocations);
  n += put_text(line + n, " frees ");
  n += put_number(line + n, frees);
  line[n++] = '\n';
  if (pwrite(report_fd, line, n, 0) == (ssize_t)n) (void)ftruncate(report_fd, (off_t)n);
  errno = saved;
}

static void counted_allocation(void) {
  ++allocations;
  write_report();
}

__attribute__((constructor)) static void open_report(void) {
  const char* path = getenv("NOOKVIEW_ALLOC_COUNT_FILE");
  if (path == NULL) return;
  report_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  /* Keep the report descriptor out of the way of descriptors the program
   * inherits or counts, such as 3 and 4 in publish mode. */
  if (report_fd >= 0 && report_fd < 100) {
    int high = fcntl(report_fd, F_DUPFD_CLOEXEC, 100);
    close(report_fd);
    report_fd = high;
  }
  write_report();
}

__attribute__((destructor)) static void close_report(void) {
  write_report();
}

void* malloc(size_t size) {
  counted_allocation();
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  counted_allocation();
  return __libc_calloc(count, size);
}

void* realloc(void* ptr, size_t size) {
  counted_allocation();
  return __libc_realloc(ptr, size);
}

void* memalign(size_t alignment, size_t size) {
  counted_allocation();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
  counted_allocation();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
  counted_allocation();
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = __libc_memalign(alignment, size);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}

void* valloc(size_t size) {
  counted_allocation();
  return __libc_valloc(size);
}

void* pvalloc(size_t size) {
  counted_allocation();
  return __libc_pvalloc(size);
}

void free(void* ptr) {
  if (ptr != NULL) {
    ++frees;
    write_report();
  }
  __libc_free(ptr);
}
