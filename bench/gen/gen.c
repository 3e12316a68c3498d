/*
 * gen: the workload generator, a separate process from every watcher.
 *
 *   gen burst DIR N
 *       creates DIR/f000000 .. N empty files with open(O_CREAT|O_EXCL)+close in a
 *       tight loop; prints "t_start t_end" (CLOCK_MONOTONIC ns).
 *   gen tree DIR CHAINS DEPTH FILES
 *       for each chain c: mkdir -p DIR/cNNN/d1/d2/../dDEPTH (one mkdir per level), then
 *       FILES empty files in each of those directories; prints "t_start t_end".
 *   gen paced create|rename|moveout SRC DST N INTERVAL_US
 *       one system call every INTERVAL_US on an absolute schedule:
 *         create:  open(SRC/NAME, O_CREAT)+close                (DST unused)
 *         rename:  rename(SRC/NAME, DST/NAME)                    (both inside the tree)
 *         moveout: rename(SRC/NAME, DST/NAME)                    (DST outside the tree)
 *       with NAME = p%05d; prints one line "i t_ns" per operation, t_ns read just before
 *       the system call (lines are buffered and printed at the end).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void die(const char *what) {
  perror(what);
  exit(1);
}

static void touch(const char *path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) die(path);
  close(fd);
}

static int burst(const char *dir, long n) {
  char path[4096];
  int64_t t0 = now_ns();
  for (long i = 0; i < n; i++) {
    snprintf(path, sizeof path, "%s/f%06ld", dir, i);
    touch(path);
  }
  int64_t t1 = now_ns();
  printf("%lld %lld\n", (long long)t0, (long long)t1);
  return 0;
}

static int tree(const char *dir, long chains, long depth, long files) {
  char path[4096], file[4200];
  int64_t t0 = now_ns();
  for (long c = 0; c < chains; c++) {
    int len = snprintf(path, sizeof path, "%s/c%03ld", dir, c);
    if (mkdir(path, 0755) < 0) die(path);
    for (long d = 1; d < depth; d++) {
      len += snprintf(path + len, sizeof path - len, "/d%ld", d);
      if (mkdir(path, 0755) < 0) die(path);
    }
    /* files in every level, top first */
    len = snprintf(path, sizeof path, "%s/c%03ld", dir, c);
    for (long d = 0; d < depth; d++) {
      if (d > 0) len += snprintf(path + len, sizeof path - len, "/d%ld", d);
      for (long f = 0; f < files; f++) {
        snprintf(file, sizeof file, "%s/f%ld", path, f);
        touch(file);
      }
    }
  }
  int64_t t1 = now_ns();
  printf("%lld %lld\n", (long long)t0, (long long)t1);
  return 0;
}

static int paced(const char *mode, const char *src, const char *dst, long n, long interval_us) {
  int64_t *ts = calloc((size_t)n, sizeof *ts);
  char a[4096], b[4096];
  int op = strcmp(mode, "create") == 0 ? 0 : 1;
  if (op && strcmp(mode, "rename") != 0 && strcmp(mode, "moveout") != 0) {
    fprintf(stderr, "unknown paced mode %s\n", mode);
    return 2;
  }
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (long i = 0; i < n; i++) {
    next.tv_nsec += interval_us * 1000;
    while (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      next.tv_sec++;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL) == EINTR) {
    }
    snprintf(a, sizeof a, "%s/p%05ld", src, i);
    if (op) snprintf(b, sizeof b, "%s/p%05ld", dst, i);
    ts[i] = now_ns();
    if (op == 0)
      touch(a);
    else if (rename(a, b) < 0)
      die(a);
  }
  for (long i = 0; i < n; i++) printf("%ld %lld\n", i, (long long)ts[i]);
  free(ts);
  return 0;
}

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "burst") == 0) return burst(argv[2], atol(argv[3]));
  if (argc == 6 && strcmp(argv[1], "tree") == 0)
    return tree(argv[2], atol(argv[3]), atol(argv[4]), atol(argv[5]));
  if (argc == 7 && strcmp(argv[1], "paced") == 0)
    return paced(argv[2], argv[3], argv[4], atol(argv[5]), atol(argv[6]));
  fprintf(stderr,
          "usage: gen burst DIR N | gen tree DIR CHAINS DEPTH FILES |"
          " gen paced create|rename|moveout SRC DST N INTERVAL_US\n");
  return 2;
}
