/* qxfaultfs: a test-only LD_PRELOAD interposer that makes file-system calls
 * under one directory fail, to show that the data store stays consistent
 * when the disk fills up or fails.
 *
 * Counted calls (only for paths under the root, and by default only on the
 * process's main thread so that a background thread does not shift the count):
 *   open/openat/creat with O_CREAT, write/pwrite/writev on a file opened under
 *   the root, fsync/fdatasync of such a file or directory, rename/renameat/
 *   renameat2 (also through syscall()), link/linkat, mkdir/mkdirat.
 *
 * Environment:
 *   QX_FAULT_ROOT     directory whose paths are counted (default: QX_SRT_DB)
 *   QX_FAULT_AT       the counted call that fails (1-based; 0 or unset: none)
 *   QX_FAULT_STICKY   1: every counted call from QX_FAULT_AT on fails (disk full)
 *   QX_FAULT_ERRNO    ENOSPC (default) or EIO
 *   QX_FAULT_KILL     1: the process kills itself (SIGKILL) at call QX_FAULT_AT
 *                     instead of failing it, to cut an operation short at that
 *                     exact step
 *   QX_FAULT_THREADS  main (default), all, or pusher (only the delivery thread,
 *                     the thread named "qx-pusher")
 *   QX_FAULT_READS    1: also count opening a file or directory for reading,
 *                     reading a file and listing a directory (opendir)
 *   QX_FAULT_REPORT   file that holds "calls=N failed=M", kept up to date at every
 *                     counted call (so it is right however the process ends)
 *   QX_FAULT_TRACE    1: one line on stderr per counted call (an fsync names
 *                     the file or directory it flushes)
 *   QX_FAULT_TRACE_FILE  the same lines appended to this file instead
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#define MAX_TRACKED_FD 65536

static char g_root[4096];
static size_t g_root_len;
static long g_fail_at;
static int g_sticky;
static int g_kill;
static int g_errno = ENOSPC;
static int g_all_threads;
static int g_pusher_thread;
static int g_reads;
static int g_trace;
static int g_report_fd = -1;
static int g_trace_fd = -1;
static atomic_long g_calls;
static atomic_long g_failed;
static atomic_char g_tracked[MAX_TRACKED_FD];

#define NEXT(type, name) ((type)dlsym(RTLD_NEXT, name))

__attribute__((constructor)) static void qxfaultfs_init(void) {
  const char* root = getenv("QX_FAULT_ROOT");
  if (root == NULL || *root == 0) root = getenv("QX_SRT_DB");
  if (root != NULL && *root != 0 && strlen(root) < sizeof g_root) {
    strcpy(g_root, root);
    g_root_len = strlen(g_root);
    while (g_root_len > 1 && g_root[g_root_len - 1] == '/') g_root[--g_root_len] = 0;
  }
  const char* at = getenv("QX_FAULT_AT");
  g_fail_at = at ? atol(at) : 0;
  const char* sticky = getenv("QX_FAULT_STICKY");
  g_sticky = sticky != NULL && strcmp(sticky, "1") == 0;
  const char* kill_at = getenv("QX_FAULT_KILL");
  g_kill = kill_at != NULL && strcmp(kill_at, "1") == 0;
  const char* err = getenv("QX_FAULT_ERRNO");
  if (err != NULL && strcmp(err, "EIO") == 0) g_errno = EIO;
  const char* threads = getenv("QX_FAULT_THREADS");
  g_all_threads = threads != NULL && strcmp(threads, "all") == 0;
  g_pusher_thread = threads != NULL && strcmp(threads, "pusher") == 0;
  const char* reads = getenv("QX_FAULT_READS");
  g_reads = reads != NULL && strcmp(reads, "1") == 0;
  const char* trace = getenv("QX_FAULT_TRACE");
  g_trace = trace != NULL && strcmp(trace, "1") == 0;
  const char* trace_file = getenv("QX_FAULT_TRACE_FILE");
  if (trace_file != NULL && *trace_file != 0) {
    g_trace = 1;
    g_trace_fd = NEXT(int (*)(const char*, int, ...), "open")(
        trace_file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  }
  const char* report = getenv("QX_FAULT_REPORT");
  if (report != NULL && *report != 0) {
    g_report_fd = NEXT(int (*)(const char*, int, ...), "open")(
        report, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
}

/* Rewrites the report in place; fixed-width numbers keep it one line. */
static void update_report(void) {
  if (g_report_fd < 0) return;
  char line[96];
  const int n = snprintf(line, sizeof line, "calls=%-20ld failed=%-20ld\n",
                         atomic_load(&g_calls), atomic_load(&g_failed));
  NEXT(ssize_t(*)(int, const void*, size_t, off_t), "pwrite")(g_report_fd, line, (size_t)n, 0);
}

static int under_root_abs(const char* path) {
  if (g_root_len == 0 || path == NULL) return 0;
  if (strncmp(path, g_root, g_root_len) != 0) return 0;
  return path[g_root_len] == 0 || path[g_root_len] == '/' || g_root[g_root_len - 1] == '/';
}

/* Whether |path|, relative to |dirfd| when it is not absolute, lies under the root. */
static int under_root_at(int dirfd, const char* path) {
  if (g_root_len == 0 || path == NULL) return 0;
  if (path[0] == '/') return under_root_abs(path);
  char base[4096];
  if (dirfd == AT_FDCWD) {
    if (getcwd(base, sizeof base) == NULL) return 0;
  } else {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    const ssize_t n = readlink(link, base, sizeof base - 1);
    if (n <= 0) return 0;
    base[n] = 0;
  }
  char full[8192];
  snprintf(full, sizeof full, "%s/%s", base, path);
  return under_root_abs(full);
}

static int on_counted_thread(void) {
  if (g_pusher_thread) {
    char name[16] = {0};
    return prctl(PR_GET_NAME, name, 0, 0, 0) == 0 && strcmp(name, "qx-pusher") == 0;
  }
  return g_all_threads || gettid() == getpid();
}

/* Counts one call; nonzero when this call is to fail (errno is then set). */
static int inject(const char* op, const char* what) {
  if (!on_counted_thread()) return 0;
  const long n = atomic_fetch_add(&g_calls, 1) + 1;
  const int fail = g_fail_at > 0 && (n == g_fail_at || (g_sticky && n > g_fail_at));
  if (fail) atomic_fetch_add(&g_failed, 1);
  update_report();
  if (g_trace || fail) {
    char line[8400];
    const int length =
        snprintf(line, sizeof line, "qxfaultfs: call %ld %s %s%s\n", n, op, what ? what : "",
                 fail ? (g_errno == EIO ? " -> EIO" : " -> ENOSPC") : "");
    if (length > 0) {
      const int to = g_trace_fd >= 0 && !fail ? g_trace_fd : 2;
      NEXT(ssize_t(*)(int, const void*, size_t), "write")(to, line, (size_t)length);
    }
  }
  if (!fail) return 0;
  if (g_kill) raise(SIGKILL);
  errno = g_errno;
  return 1;
}

static int tracked(int fd) {
  return fd >= 0 && fd < MAX_TRACKED_FD && atomic_load(&g_tracked[fd]);
}

static void track(int fd, int on) {
  if (fd >= 0 && fd < MAX_TRACKED_FD) atomic_store(&g_tracked[fd], (char)on);
}

static int do_openat(int dirfd, const char* path, int flags, mode_t mode) {
  const int counted = under_root_at(dirfd, path);
  if (counted && (flags & O_CREAT) && inject("open", path)) return -1;
  if (counted && !(flags & O_CREAT) && g_reads && inject("open-read", path)) return -1;
  const int fd = NEXT(int (*)(int, const char*, int, ...), "openat")(dirfd, path, flags, mode);
  if (fd >= 0) track(fd, counted);
  return fd;
}

static mode_t mode_arg(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return do_openat(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return do_openat(AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return do_openat(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return do_openat(dirfd, path, flags, mode);
}

/* The checked variants a fortified build calls. */
int __open_2(const char* path, int flags) { return do_openat(AT_FDCWD, path, flags, 0); }
int __open64_2(const char* path, int flags) { return do_openat(AT_FDCWD, path, flags, 0); }
int __openat_2(int dirfd, const char* path, int flags) { return do_openat(dirfd, path, flags, 0); }
int __openat64_2(int dirfd, const char* path, int flags) {
  return do_openat(dirfd, path, flags, 0);
}

int creat(const char* path, mode_t mode) {
  return do_openat(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

int creat64(const char* path, mode_t mode) { return creat(path, mode); }

int close(int fd) {
  track(fd, 0);
  return NEXT(int (*)(int), "close")(fd);
}

ssize_t read(int fd, void* buf, size_t count) {
  if (g_reads && tracked(fd) && inject("read", NULL)) return -1;
  return NEXT(ssize_t(*)(int, void*, size_t), "read")(fd, buf, count);
}

ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen) {
  (void)buflen;
  return read(fd, buf, count);
}

DIR* opendir(const char* path) {
  if (g_reads && under_root_at(AT_FDCWD, path) && inject("opendir", path)) return NULL;
  return NEXT(DIR * (*)(const char*), "opendir")(path);
}

ssize_t write(int fd, const void* buf, size_t count) {
  if (tracked(fd) && inject("write", NULL)) return -1;
  return NEXT(ssize_t(*)(int, const void*, size_t), "write")(fd, buf, count);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  if (tracked(fd) && inject("pwrite", NULL)) return -1;
  return NEXT(ssize_t(*)(int, const void*, size_t, off_t), "pwrite")(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
  return pwrite(fd, buf, count, offset);
}

ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
  if (tracked(fd) && inject("writev", NULL)) return -1;
  return NEXT(ssize_t(*)(int, const struct iovec*, int), "writev")(fd, iov, iovcnt);
}

/* The path behind |fd|, for the trace. */
static const char* fd_path(int fd, char* buf, size_t size) {
  if (!g_trace) return NULL;
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, buf, size - 1);
  if (n <= 0) return NULL;
  buf[n] = 0;
  return buf;
}

int fsync(int fd) {
  char path[4096];
  if (tracked(fd) && inject("fsync", fd_path(fd, path, sizeof path))) return -1;
  return NEXT(int (*)(int), "fsync")(fd);
}

int fdatasync(int fd) {
  if (tracked(fd) && inject("fdatasync", NULL)) return -1;
  return NEXT(int (*)(int), "fdatasync")(fd);
}

static int rename_counted(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
  return under_root_at(olddirfd, oldpath) || under_root_at(newdirfd, newpath);
}

int rename(const char* oldpath, const char* newpath) {
  if (rename_counted(AT_FDCWD, oldpath, AT_FDCWD, newpath) && inject("rename", newpath)) return -1;
  return NEXT(int (*)(const char*, const char*), "rename")(oldpath, newpath);
}

int renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
  if (rename_counted(olddirfd, oldpath, newdirfd, newpath) && inject("rename", newpath)) return -1;
  return NEXT(int (*)(int, const char*, int, const char*), "renameat")(olddirfd, oldpath, newdirfd,
                                                                       newpath);
}

int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
              unsigned int flags) {
  if (rename_counted(olddirfd, oldpath, newdirfd, newpath) && inject("rename", newpath)) return -1;
  return NEXT(int (*)(int, const char*, int, const char*, unsigned int), "renameat2")(
      olddirfd, oldpath, newdirfd, newpath, flags);
}

int link(const char* oldpath, const char* newpath) {
  if (rename_counted(AT_FDCWD, oldpath, AT_FDCWD, newpath) && inject("link", newpath)) return -1;
  return NEXT(int (*)(const char*, const char*), "link")(oldpath, newpath);
}

int linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
  if (rename_counted(olddirfd, oldpath, newdirfd, newpath) && inject("link", newpath)) return -1;
  return NEXT(int (*)(int, const char*, int, const char*, int), "linkat")(olddirfd, oldpath,
                                                                         newdirfd, newpath, flags);
}

int mkdir(const char* path, mode_t mode) {
  if (under_root_at(AT_FDCWD, path) && inject("mkdir", path)) return -1;
  return NEXT(int (*)(const char*, mode_t), "mkdir")(path, mode);
}

int mkdirat(int dirfd, const char* path, mode_t mode) {
  if (under_root_at(dirfd, path) && inject("mkdir", path)) return -1;
  return NEXT(int (*)(int, const char*, mode_t), "mkdirat")(dirfd, path, mode);
}

/* The library renames without replacing through syscall(SYS_renameat2, ...). */
long syscall(long number, ...) {
  va_list ap;
  va_start(ap, number);
  long a[6];
  for (int i = 0; i < 6; ++i) a[i] = va_arg(ap, long);
  va_end(ap);
  if (number == SYS_renameat2 &&
      rename_counted((int)a[0], (const char*)a[1], (int)a[2], (const char*)a[3]) &&
      inject("rename", (const char*)a[3])) {
    return -1;
  }
  static long (*next)(long, ...) = NULL;
  if (next == NULL) next = NEXT(long (*)(long, ...), "syscall");
  return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
