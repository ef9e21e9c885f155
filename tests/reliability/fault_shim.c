/*
 * An LD_PRELOAD library that makes the n-th call of one file operation fail.
 *
 * Only calls on paths under VELNO_FAULT_DIR, or on descriptors opened from such paths,
 * are counted, so the host's other file use (its loader, its journal) is left alone.
 *
 *   VELNO_FAULT_DIR     path prefix whose files are watched (required)
 *   VELNO_FAULT_OP      open | read | write | fsync | fdatasync | rename | mkdir | close
 *   VELNO_FAULT_NTH     1-based number of the watched call that fails; 0 only counts
 *   VELNO_FAULT_ERRNO   errno of the failure (default EIO)
 *   VELNO_FAULT_SIGNAL  instead of failing, the call raises this signal (9: the process is
 *                       killed just before the call, as by a crash at that point)
 *   VELNO_FAULT_REPORT  file that receives "fired <op> <what>" when the fault strikes and
 *                       "count <op> <n>" for every operation at exit
 *
 * A host may pause the counting (for its own checks of the files) through
 * velno_fault_pause(), looked up with dlsym.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define VISIBLE __attribute__((visibility("default")))

enum op { OP_OPEN, OP_READ, OP_WRITE, OP_FSYNC, OP_FDATASYNC, OP_RENAME, OP_MKDIR, OP_CLOSE, OP_COUNT };
static const char *const op_names[OP_COUNT] = {"open", "read", "write", "fsync", "fdatasync", "rename", "mkdir", "close"};

/* What a watched descriptor was opened for; 0 means not watched. */
enum { FD_NONE, FD_READ, FD_WRITE, FD_WRITTEN, FD_DIR };
#define MAX_FDS 4096
static _Atomic unsigned char fd_kind[MAX_FDS];

static atomic_long counts[OP_COUNT];
static atomic_int paused;
static atomic_int fired;
static int chosen_op = -1;
static long chosen_nth;
static int chosen_errno = EIO;
static int chosen_signal;
static char watched_dir[4096];
static size_t watched_len;
static char report_path[4096];

static void load_config(void) __attribute__((constructor));
static void load_config(void) {
  const char *dir = getenv("VELNO_FAULT_DIR");
  const char *op = getenv("VELNO_FAULT_OP");
  const char *nth = getenv("VELNO_FAULT_NTH");
  const char *err = getenv("VELNO_FAULT_ERRNO");
  const char *report = getenv("VELNO_FAULT_REPORT");
  const char *sig = getenv("VELNO_FAULT_SIGNAL");
  if (dir && strlen(dir) < sizeof watched_dir) {
    strcpy(watched_dir, dir);
    watched_len = strlen(dir);
  }
  for (int i = 0; op && i < OP_COUNT; ++i)
    if (strcmp(op, op_names[i]) == 0) chosen_op = i;
  if (nth) chosen_nth = strtol(nth, NULL, 10);
  if (err) chosen_errno = (int)strtol(err, NULL, 10);
  if (sig) chosen_signal = (int)strtol(sig, NULL, 10);
  if (report && strlen(report) < sizeof report_path) strcpy(report_path, report);
}

static ssize_t (*real_write_fn(void))(int, const void *, size_t) {
  static ssize_t (*fn)(int, const void *, size_t);
  if (!fn) fn = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
  return fn;
}

/* Appends one line to the report file, bypassing the watched write(). */
static void report_line(const char *line) {
  if (!report_path[0]) return;
  int (*real_open)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open");
  int (*real_close)(int) = (int (*)(int))dlsym(RTLD_NEXT, "close");
  int fd = real_open(report_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  ssize_t ignored = real_write_fn()(fd, line, strlen(line));
  (void)ignored;
  real_close(fd);
}

static void report_counts(void) __attribute__((destructor));
static void report_counts(void) {
  char line[128];
  for (int i = 0; i < OP_COUNT; ++i) {
    snprintf(line, sizeof line, "count %s %ld\n", op_names[i], atomic_load(&counts[i]));
    report_line(line);
  }
}

static int watched_path(const char *path) {
  return watched_len > 0 && path && strncmp(path, watched_dir, watched_len) == 0;
}

static int watched_fd(int fd) { return fd >= 0 && fd < MAX_FDS && atomic_load(&fd_kind[fd]) != FD_NONE; }

static const char *fd_kind_name(int fd) {
  switch (atomic_load(&fd_kind[fd])) {
    case FD_READ: return "read-fd";
    case FD_WRITE: return "unwritten-fd";
    case FD_WRITTEN: return "written-fd";
    case FD_DIR: return "dir-fd";
    default: return "fd";
  }
}

/* Counts one watched call; true when this call is the one that fails. */
static int strike(int op, const char *what) {
  if (atomic_load(&paused)) return 0;
  long n = atomic_fetch_add(&counts[op], 1) + 1;
  if (op != chosen_op || n != chosen_nth) return 0;
  atomic_store(&fired, 1);
  char line[4400];
  snprintf(line, sizeof line, "fired %s %s\n", op_names[op], what ? what : "");
  report_line(line);
  if (chosen_signal) raise(chosen_signal);
  errno = chosen_errno;
  return 1;
}

static void track(int fd, const char *path, int flags) {
  if (fd < 0 || fd >= MAX_FDS) return;
  unsigned char kind = FD_NONE;
  if (watched_path(path)) {
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
      kind = FD_DIR;
    else
      kind = (flags & O_ACCMODE) == O_RDONLY ? FD_READ : FD_WRITE;
  }
  atomic_store(&fd_kind[fd], kind);
}

static int mode_wanted(int flags) {
#ifdef O_TMPFILE
  if ((flags & O_TMPFILE) == O_TMPFILE) return 1;
#endif
  return (flags & O_CREAT) != 0;
}

/* Declares and resolves real_<name>, the next definition of <name> (libc's). */
#define REAL(name, ret, params) \
  static ret(*real_##name) params; \
  if (!real_##name) real_##name = (ret(*) params)dlsym(RTLD_NEXT, #name)

/* The whole path that a call relative to `dirfd` names when that descriptor is a watched
   directory (its path, "/" and `path`, in `buf`); otherwise `path` itself. */
static const char *full_path(int dirfd, const char *path, char *buf, size_t size) {
  if (!path || path[0] == '/' || dirfd == AT_FDCWD || !watched_fd(dirfd)) return path;
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
  ssize_t n = readlink(link, buf, size - 1);
  if (n < 0) return path;
  snprintf(buf + n, size - (size_t)n, "/%s", path);
  return buf;
}

static int do_open(const char *symbol, int dirfd, const char *name, int flags, mode_t mode) {
  char buf[4400];
  const char *path = full_path(dirfd, name, buf, sizeof buf);
  if (watched_path(path) && strike(OP_OPEN, path)) return -1;
  int fd;
  if (dirfd == AT_FDCWD && strcmp(symbol, "open") == 0) {
    REAL(open, int, (const char *, int, ...));
    fd = real_open(path, flags, mode);
  } else {
    REAL(openat, int, (int, const char *, int, ...));
    fd = real_openat(dirfd, name, flags, mode);
  }
  if (fd >= 0) track(fd, path, flags);
  return fd;
}

/* The mode argument of the open family: present only when the flags create a file, and
   `flags` is always the last named parameter. */
#define READ_MODE(mode, flags)         \
  do {                                 \
    if (mode_wanted(flags)) {          \
      va_list ap_;                     \
      va_start(ap_, flags);            \
      mode = (mode_t)va_arg(ap_, int); \
      va_end(ap_);                     \
    }                                  \
  } while (0)

VISIBLE int open(const char *path, int flags, ...) {
  mode_t mode = 0;
  READ_MODE(mode, flags);
  return do_open("open", AT_FDCWD, path, flags, mode);
}

VISIBLE int open64(const char *path, int flags, ...) {
  mode_t mode = 0;
  READ_MODE(mode, flags);
  return do_open("open", AT_FDCWD, path, flags, mode);
}

VISIBLE int openat(int dirfd, const char *path, int flags, ...) {
  mode_t mode = 0;
  READ_MODE(mode, flags);
  return do_open("openat", dirfd, path, flags, mode);
}

VISIBLE int openat64(int dirfd, const char *path, int flags, ...) {
  mode_t mode = 0;
  READ_MODE(mode, flags);
  return do_open("openat", dirfd, path, flags, mode);
}

VISIBLE int creat(const char *path, mode_t mode) {
  return do_open("open", AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

/* The fortified entry points that _FORTIFY_SOURCE builds call instead. */
VISIBLE int __open_2(const char *path, int flags) { return do_open("open", AT_FDCWD, path, flags, 0); }
VISIBLE int __open64_2(const char *path, int flags) { return do_open("open", AT_FDCWD, path, flags, 0); }
VISIBLE int __openat_2(int dirfd, const char *path, int flags) { return do_open("openat", dirfd, path, flags, 0); }

/* stdio opens inside libc do not pass through open(): count them here. */
static FILE *do_fopen(const char *symbol, const char *path, const char *mode) {
  if (watched_path(path) && strike(OP_OPEN, path)) return NULL;
  static FILE *(*real_fopen)(const char *, const char *);
  static FILE *(*real_fopen64)(const char *, const char *);
  FILE *f;
  if (strcmp(symbol, "fopen64") == 0) {
    if (!real_fopen64) real_fopen64 = (FILE * (*)(const char *, const char *)) dlsym(RTLD_NEXT, "fopen64");
    f = real_fopen64(path, mode);
  } else {
    if (!real_fopen) real_fopen = (FILE * (*)(const char *, const char *)) dlsym(RTLD_NEXT, "fopen");
    f = real_fopen(path, mode);
  }
  if (f) track(fileno(f), path, strpbrk(mode, "wa+") ? O_WRONLY : O_RDONLY);
  return f;
}

VISIBLE FILE *fopen(const char *path, const char *mode) { return do_fopen("fopen", path, mode); }
VISIBLE FILE *fopen64(const char *path, const char *mode) { return do_fopen("fopen64", path, mode); }

/* mkstemp and friends open inside libc as well. */
VISIBLE int mkostemps(char *tmpl, int suffixlen, int flags) {
  if (watched_path(tmpl) && strike(OP_OPEN, tmpl)) return -1;
  REAL(mkostemps, int, (char *, int, int));
  int fd = real_mkostemps(tmpl, suffixlen, flags);
  if (fd >= 0) track(fd, tmpl, O_RDWR);
  return fd;
}
VISIBLE int mkstemp(char *tmpl) { return mkostemps(tmpl, 0, 0); }
VISIBLE int mkostemp(char *tmpl, int flags) { return mkostemps(tmpl, 0, flags); }
VISIBLE int mkstemps(char *tmpl, int suffixlen) { return mkostemps(tmpl, suffixlen, 0); }

VISIBLE ssize_t read(int fd, void *buf, size_t count) {
  if (watched_fd(fd) && strike(OP_READ, fd_kind_name(fd))) return -1;
  REAL(read, ssize_t, (int, void *, size_t));
  return real_read(fd, buf, count);
}

VISIBLE ssize_t readv(int fd, const struct iovec *iov, int iovcnt) {
  if (watched_fd(fd) && strike(OP_READ, fd_kind_name(fd))) return -1;
  REAL(readv, ssize_t, (int, const struct iovec *, int));
  return real_readv(fd, iov, iovcnt);
}

VISIBLE ssize_t pread(int fd, void *buf, size_t count, off_t offset) {
  if (watched_fd(fd) && strike(OP_READ, fd_kind_name(fd))) return -1;
  REAL(pread, ssize_t, (int, void *, size_t, off_t));
  return real_pread(fd, buf, count, offset);
}

/* Remembers that a descriptor received data, so that a failed close can be told apart
 * from one of a file that nothing was written to. */
static void mark_written(int fd, ssize_t n) {
  if (n > 0 && watched_fd(fd) && atomic_load(&fd_kind[fd]) == FD_WRITE) atomic_store(&fd_kind[fd], FD_WRITTEN);
}

VISIBLE ssize_t write(int fd, const void *buf, size_t count) {
  if (watched_fd(fd) && strike(OP_WRITE, fd_kind_name(fd))) return -1;
  ssize_t n = real_write_fn()(fd, buf, count);
  mark_written(fd, n);
  return n;
}

VISIBLE ssize_t writev(int fd, const struct iovec *iov, int iovcnt) {
  if (watched_fd(fd) && strike(OP_WRITE, fd_kind_name(fd))) return -1;
  REAL(writev, ssize_t, (int, const struct iovec *, int));
  ssize_t n = real_writev(fd, iov, iovcnt);
  mark_written(fd, n);
  return n;
}

VISIBLE ssize_t pwrite(int fd, const void *buf, size_t count, off_t offset) {
  if (watched_fd(fd) && strike(OP_WRITE, fd_kind_name(fd))) return -1;
  REAL(pwrite, ssize_t, (int, const void *, size_t, off_t));
  ssize_t n = real_pwrite(fd, buf, count, offset);
  mark_written(fd, n);
  return n;
}

VISIBLE int fsync(int fd) {
  if (watched_fd(fd) && strike(OP_FSYNC, fd_kind_name(fd))) return -1;
  REAL(fsync, int, (int));
  return real_fsync(fd);
}

VISIBLE int fdatasync(int fd) {
  if (watched_fd(fd) && strike(OP_FDATASYNC, fd_kind_name(fd))) return -1;
  REAL(fdatasync, int, (int));
  return real_fdatasync(fd);
}

VISIBLE int rename(const char *from, const char *to) {
  if ((watched_path(from) || watched_path(to)) && strike(OP_RENAME, to)) return -1;
  REAL(rename, int, (const char *, const char *));
  return real_rename(from, to);
}

VISIBLE int renameat(int fromfd, const char *from_name, int tofd, const char *to_name) {
  char from_buf[4400], to_buf[4400];
  const char *from = full_path(fromfd, from_name, from_buf, sizeof from_buf);
  const char *to = full_path(tofd, to_name, to_buf, sizeof to_buf);
  if ((watched_path(from) || watched_path(to)) && strike(OP_RENAME, to)) return -1;
  REAL(renameat, int, (int, const char *, int, const char *));
  return real_renameat(fromfd, from_name, tofd, to_name);
}

VISIBLE int mkdir(const char *path, mode_t mode) {
  if (watched_path(path) && strike(OP_MKDIR, path)) return -1;
  REAL(mkdir, int, (const char *, mode_t));
  return real_mkdir(path, mode);
}

VISIBLE int mkdirat(int dirfd, const char *path, mode_t mode) {
  if (watched_path(path) && strike(OP_MKDIR, path)) return -1;
  REAL(mkdirat, int, (int, const char *, mode_t));
  return real_mkdirat(dirfd, path, mode);
}

/* A failed close still releases the descriptor, as Linux and macOS do. */
VISIBLE int close(int fd) {
  int fail = watched_fd(fd) && strike(OP_CLOSE, fd_kind_name(fd));
  if (fd >= 0 && fd < MAX_FDS) atomic_store(&fd_kind[fd], FD_NONE);
  REAL(close, int, (int));
  int rc = real_close(fd);
  if (fail) {
    errno = chosen_errno;
    return -1;
  }
  return rc;
}

VISIBLE int fclose(FILE *f) {
  int fd = fileno(f);
  int fail = watched_fd(fd) && strike(OP_CLOSE, fd_kind_name(fd));
  if (fd >= 0 && fd < MAX_FDS) atomic_store(&fd_kind[fd], FD_NONE);
  REAL(fclose, int, (FILE *));
  int rc = real_fclose(f);
  if (fail) {
    errno = chosen_errno;
    return EOF;
  }
  return rc;
}

VISIBLE void velno_fault_pause(int on) { atomic_store(&paused, on); }
VISIBLE int velno_fault_fired(void) { return atomic_load(&fired); }
