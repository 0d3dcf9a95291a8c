// Preloaded into every station by tools/torture.py: at the Nth call of one file call on a path
// below a chosen folder it kills the process (before or after the call) or pauses it, so a
// crash or a concurrent change lands exactly between two steps of a move.
//
//   TORTURE_CALL   unlink | rename | fsync | link, or several joined by commas ("unlink,rename"
//                  counts both) (renameat2 and renameat count as rename, unlinkat and remove as
//                  unlink, fdatasync as fsync, linkat as link)
//   TORTURE_NTH    which matching call (1 = the first)
//   TORTURE_ACT    kill-before | kill-after | pause
//   TORTURE_UNDER  only paths below this folder count
//   TORTURE_SIGNAL pause: this file is created with the call and path; the call waits until
//                  the file is gone (at most 20 s), then goes on
//
// Apart from the one chosen call, flushes on a card can fail as a pulled card's do:
//
//   TORTURE_EIO    a file; while it exists, fsync and fdatasync of a folder at or below the
//                  folder it names, and syncfs of anything there, fail with EIO
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static const char* g_call;
static const char* g_act;
static const char* g_under;
static const char* g_signal;
static const char* g_eio;
static long g_nth;
static long g_count;  // calls come from several threads (camera sessions, decoders)
static int g_fired;

__attribute__((constructor)) static void torture_init(void) {
  g_call = getenv("TORTURE_CALL");
  g_act = getenv("TORTURE_ACT");
  g_under = getenv("TORTURE_UNDER");
  g_signal = getenv("TORTURE_SIGNAL");
  g_eio = getenv("TORTURE_EIO");
  const char* nth = getenv("TORTURE_NTH");
  g_nth = nth ? atol(nth) : 0;
  // Programs the station starts are not under test.
  unsetenv("LD_PRELOAD");
  // The log lines up to a kill are what tells a fault's story.
  setvbuf(stdout, NULL, _IOLBF, 0);
}

static void* next_fn(const char* name) {
  return dlsym(RTLD_NEXT, name);
}

static int path_counts(const char* path) {
  if (!path) return 0;
  if (!g_under || !*g_under) return 1;
  return strncmp(path, g_under, strlen(g_under)) == 0;
}

static int fd_counts(int fd, char* path, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, size - 1);
  if (n < 0) return 0;
  path[n] = '\0';
  return path_counts(path);
}

static void pause_here(const char* call, const char* path) {
  int fd = open(g_signal, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd >= 0) {
    char line[PATH_MAX + 64];
    int n = snprintf(line, sizeof line, "%d %s %s\n", (int)getpid(), call, path ? path : "");
    if (n > 0) write(fd, line, (size_t)n);
    close(fd);
  }
  for (int i = 0; i < 2000 && access(g_signal, F_OK) == 0; ++i) {
    struct timespec ts = {0, 10 * 1000 * 1000};
    nanosleep(&ts, NULL);
  }
}

static int call_chosen(const char* kind) {
  const size_t n = strlen(kind);
  for (const char* p = g_call; p && *p; p = strchr(p, ',') ? strchr(p, ',') + 1 : NULL) {
    if (strncmp(p, kind, n) == 0 && (p[n] == '\0' || p[n] == ',')) return 1;
  }
  return 0;
}

// Returns 1 when this call is the chosen one and the action is to kill after it.
static int before(const char* kind, const char* path) {
  if (__atomic_load_n(&g_fired, __ATOMIC_SEQ_CST) || !call_chosen(kind) || !path_counts(path)) return 0;
  if (__atomic_add_fetch(&g_count, 1, __ATOMIC_SEQ_CST) != g_nth) return 0;
  __atomic_store_n(&g_fired, 1, __ATOMIC_SEQ_CST);
  if (!g_act || strcmp(g_act, "kill-before") == 0) raise(SIGKILL);
  if (strcmp(g_act, "pause") == 0 && g_signal) pause_here(kind, path);
  return strcmp(g_act, "kill-after") == 0;
}

// True for a folder's flush that is to fail now; says so on stderr, which is the station's log.
static int flush_fails(int fd, int folders_only) {
  if (!g_eio || !*g_eio) return 0;
  // The tool names the folder in the file, so one start serves every window.
  char under[PATH_MAX];
  int f = open(g_eio, O_RDONLY | O_CLOEXEC);
  if (f < 0) return 0;
  ssize_t got = read(f, under, sizeof under - 1);
  close(f);
  if (got <= 0) return 0;
  under[got] = '\0';
  under[strcspn(under, "\n")] = '\0';
  struct stat st;
  if (fstat(fd, &st) != 0 || (folders_only && !S_ISDIR(st.st_mode))) return 0;
  char link[64], path[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  if (n < 0) return 0;
  path[n] = '\0';
  const size_t len = strlen(under);
  if (!len || strncmp(path, under, len) != 0 || (path[len] != '\0' && path[len] != '/')) return 0;
  char line[PATH_MAX + 64];
  int m = snprintf(line, sizeof line, "torture shim: flush of %s fails with EIO\n", path);
  if (m > 0) write(2, line, (size_t)m < sizeof line ? (size_t)m : sizeof line - 1);
  return 1;
}

static int flush(int (*real)(int), int fd, int folders_only) {
  if (!flush_fails(fd, folders_only)) return real(fd);
  errno = EIO;
  return -1;
}

static int after(int kill_now, int result) {
  if (kill_now) raise(SIGKILL);
  return result;
}

int unlink(const char* path) {
  static int (*real)(const char*);
  if (!real) real = next_fn("unlink");
  int k = before("unlink", path);
  return after(k, real(path));
}

int unlinkat(int dirfd, const char* path, int flags) {
  static int (*real)(int, const char*, int);
  if (!real) real = next_fn("unlinkat");
  int k = (flags & AT_REMOVEDIR) ? 0 : before("unlink", path);
  return after(k, real(dirfd, path, flags));
}

int remove(const char* path) {
  static int (*real)(const char*);
  if (!real) real = next_fn("remove");
  int k = before("unlink", path);
  return after(k, real(path));
}

int rename(const char* from, const char* to) {
  static int (*real)(const char*, const char*);
  if (!real) real = next_fn("rename");
  int k = before("rename", to);
  return after(k, real(from, to));
}

int renameat(int fromfd, const char* from, int tofd, const char* to) {
  static int (*real)(int, const char*, int, const char*);
  if (!real) real = next_fn("renameat");
  int k = before("rename", to);
  return after(k, real(fromfd, from, tofd, to));
}

int renameat2(int fromfd, const char* from, int tofd, const char* to, unsigned flags) {
  static int (*real)(int, const char*, int, const char*, unsigned);
  if (!real) real = next_fn("renameat2");
  int k = before("rename", to);
  return after(k, real(fromfd, from, tofd, to, flags));
}

int link(const char* from, const char* to) {
  static int (*real)(const char*, const char*);
  if (!real) real = next_fn("link");
  int k = before("link", to);
  return after(k, real(from, to));
}

int linkat(int fromfd, const char* from, int tofd, const char* to, int flags) {
  static int (*real)(int, const char*, int, const char*, int);
  if (!real) real = next_fn("linkat");
  int k = before("link", to);
  return after(k, real(fromfd, from, tofd, to, flags));
}

int fsync(int fd) {
  static int (*real)(int);
  if (!real) real = next_fn("fsync");
  char path[PATH_MAX];
  int k = fd_counts(fd, path, sizeof path) ? before("fsync", path) : 0;
  return after(k, flush(real, fd, 1));
}

int fdatasync(int fd) {
  static int (*real)(int);
  if (!real) real = next_fn("fdatasync");
  char path[PATH_MAX];
  int k = fd_counts(fd, path, sizeof path) ? before("fsync", path) : 0;
  return after(k, flush(real, fd, 1));
}

int syncfs(int fd) {
  static int (*real)(int);
  if (!real) real = next_fn("syncfs");
  return flush(real, fd, 0);
}
