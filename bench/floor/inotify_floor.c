/*
 * inotify_floor: the least any recursive inotify watcher has to do.
 *
 * It adds a watch to every directory of the tree, adds a watch to each directory
 * created later (scanning it for entries made before the watch was in place), reads
 * events and names their paths. Nothing else: no event translation, no rename pairing,
 * no queue between threads. Its numbers are what the kernel gives any program.
 *
 * Usage: inotify_floor ROOT
 * It speaks the same line protocol on stdin/stdout as bench/watcher.py:
 *   stdout, unprompted:   ready <t_event_ns> <t_call_ns> <rss_kb>
 *                         sync <name> <t_event_ns>
 *   stdin "status"  ->    status <events> <utime_ns> <stime_ns> <nvcsw> <nivcsw> <rss_kb>
 *   stdin "stop"    ->    E\t<t_ns>\t<kind>\t<path> lines, then
 *                         end <events> <utime_ns> <stime_ns> <nvcsw> <nivcsw> <rss_kb> <maxrss_kb>
 * Paths of directories renamed inside the tree are not followed: a directory moved in
 * is walked again, which is all the rename workload asks of it.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define WATCH_MASK                                                                 \
  (IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |   \
   IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW)

enum kind {
  K_CREATE,
  K_CREATE_DIR,
  K_SCAN_FILE, /* found by scanning a new directory */
  K_SCAN_DIR,
  K_DELETE,
  K_MODIFY,
  K_ATTRIB,
  K_MOVED_FROM,
  K_MOVED_TO,
  K_DELETE_SELF,
  K_MOVE_SELF,
  K_OVERFLOW,
  K_WATCH_FAILED,
};
static const char *const kind_names[] = {
    "create",     "create_dir", "scan_file",   "scan_dir",  "delete",
    "modify",     "attrib",     "moved_from",  "moved_to",  "delete_self",
    "move_self",  "overflow",   "watch_failed",
};

struct event {
  int64_t t;
  int kind;
  char *path;
};

static int ifd;
static char **wd_paths; /* indexed by watch descriptor */
static size_t wd_cap;
static struct event *events;
static size_t n_events, events_cap;
static int ready;
static int64_t t_call;

static int64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void *xrealloc(void *p, size_t n) {
  void *q = realloc(p, n);
  if (!q) {
    perror("realloc");
    exit(2);
  }
  return q;
}

static char *join(const char *dir, const char *name) {
  size_t a = strlen(dir), b = strlen(name);
  char *s = xrealloc(NULL, a + b + 2);
  memcpy(s, dir, a);
  s[a] = '/';
  memcpy(s + a + 1, name, b + 1);
  return s;
}

static long rss_kb(void) {
  FILE *f = fopen("/proc/self/status", "r");
  char line[256];
  long kb = -1;
  if (!f) return -1;
  while (fgets(line, sizeof line, f))
    if (sscanf(line, "VmRSS: %ld", &kb) == 1) break;
  fclose(f);
  return kb;
}

static void record(int64_t t, int kind, char *path) {
  if (n_events == events_cap) {
    events_cap = events_cap ? events_cap * 2 : 4096;
    events = xrealloc(events, events_cap * sizeof *events);
  }
  events[n_events++] = (struct event){t, kind, path};
  if (!ready || path) {
    const char *base = path ? strrchr(path, '/') : NULL;
    base = base ? base + 1 : "";
    if (!ready && strncmp(base, ".bench-ready", 12) == 0) {
      ready = 1;
      printf("ready %lld %lld %ld\n", (long long)t, (long long)t_call, rss_kb());
      fflush(stdout);
    } else if (strncmp(base, ".bench-sync", 11) == 0) {
      printf("sync %s %lld\n", base, (long long)t);
      fflush(stdout);
    }
  }
}

/* Watch DIR and, recursively, every directory beneath it. When REPORT is set (a
 * directory that appeared after start-up), report every entry found as created. */
static void add_tree(const char *dir, int report) {
  int wd = inotify_add_watch(ifd, dir, WATCH_MASK);
  if (wd < 0) {
    if (errno != ENOENT && errno != ENOTDIR && errno != EACCES)
      record(now_ns(), K_WATCH_FAILED, strdup(dir));
    return;
  }
  if ((size_t)wd >= wd_cap) {
    size_t cap = wd_cap ? wd_cap : 1024;
    while (cap <= (size_t)wd) cap *= 2;
    wd_paths = xrealloc(wd_paths, cap * sizeof *wd_paths);
    memset(wd_paths + wd_cap, 0, (cap - wd_cap) * sizeof *wd_paths);
    wd_cap = cap;
  }
  free(wd_paths[wd]);
  wd_paths[wd] = strdup(dir);

  DIR *d = opendir(dir);
  if (!d) return;
  struct dirent *de;
  while ((de = readdir(d))) {
    if (de->d_name[0] == '.' && (!de->d_name[1] || (de->d_name[1] == '.' && !de->d_name[2])))
      continue;
    int is_dir = de->d_type == DT_DIR;
    if (de->d_type == DT_UNKNOWN) {
      struct stat st;
      char *p = join(dir, de->d_name);
      is_dir = lstat(p, &st) == 0 && S_ISDIR(st.st_mode);
      free(p);
    }
    if (!is_dir && !report) continue;
    char *p = join(dir, de->d_name);
    if (report) record(now_ns(), is_dir ? K_SCAN_DIR : K_SCAN_FILE, strdup(p));
    if (is_dir) add_tree(p, report);
    free(p);
  }
  closedir(d);
}

static void rusage_line(const char *tag) {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  printf("%s %zu %lld %lld %ld %ld %ld", tag, n_events,
         (long long)ru.ru_utime.tv_sec * 1000000000 + ru.ru_utime.tv_usec * 1000,
         (long long)ru.ru_stime.tv_sec * 1000000000 + ru.ru_stime.tv_usec * 1000, ru.ru_nvcsw,
         ru.ru_nivcsw, rss_kb());
  if (strcmp(tag, "end") == 0) printf(" %ld", ru.ru_maxrss);
  printf("\n");
}

static void stop(void) {
  for (size_t i = 0; i < n_events; i++)
    printf("E\t%lld\t%s\t%s\n", (long long)events[i].t, kind_names[events[i].kind],
           events[i].path ? events[i].path : "");
  rusage_line("end");
  fflush(stdout);
  exit(0);
}

static void handle_command(void) {
  static char buf[4096];
  static size_t len;
  ssize_t n = read(0, buf + len, sizeof buf - len - 1);
  if (n <= 0) exit(0); /* driver went away */
  len += (size_t)n;
  char *nl;
  while ((nl = memchr(buf, '\n', len))) {
    *nl = 0;
    if (strcmp(buf, "status") == 0) {
      rusage_line("status");
      fflush(stdout);
    } else if (strcmp(buf, "stop") == 0) {
      stop();
    }
    size_t used = (size_t)(nl - buf) + 1;
    memmove(buf, nl + 1, len - used);
    len -= used;
  }
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s ROOT\n", argv[0]);
    return 2;
  }
  char root[PATH_MAX];
  if (!realpath(argv[1], root)) {
    perror(argv[1]);
    return 2;
  }
  t_call = now_ns();
  ifd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (ifd < 0) {
    perror("inotify_init1");
    return 2;
  }
  add_tree(root, 0);

  static char buf[256 * 1024] __attribute__((aligned(__alignof__(struct inotify_event))));
  struct pollfd fds[2] = {{.fd = ifd, .events = POLLIN}, {.fd = 0, .events = POLLIN}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      perror("poll");
      return 2;
    }
    if (fds[1].revents) handle_command();
    if (!(fds[0].revents & POLLIN)) continue;
    for (;;) {
      ssize_t n = read(ifd, buf, sizeof buf);
      if (n <= 0) break;
      for (char *p = buf; p < buf + n;) {
        struct inotify_event *ev = (struct inotify_event *)p;
        p += sizeof *ev + ev->len;
        int64_t t = now_ns();
        if (ev->mask & IN_Q_OVERFLOW) {
          record(t, K_OVERFLOW, NULL);
          continue;
        }
        if (ev->mask & IN_IGNORED) {
          if (ev->wd >= 0 && (size_t)ev->wd < wd_cap) {
            free(wd_paths[ev->wd]);
            wd_paths[ev->wd] = NULL;
          }
          continue;
        }
        const char *dir = (ev->wd >= 0 && (size_t)ev->wd < wd_cap) ? wd_paths[ev->wd] : NULL;
        if (!dir) continue;
        char *path = ev->len ? join(dir, ev->name) : strdup(dir);
        int is_dir = (ev->mask & IN_ISDIR) != 0;
        int kind;
        if (ev->mask & IN_CREATE) kind = is_dir ? K_CREATE_DIR : K_CREATE;
        else if (ev->mask & IN_DELETE) kind = K_DELETE;
        else if (ev->mask & IN_MODIFY) kind = K_MODIFY;
        else if (ev->mask & IN_ATTRIB) kind = K_ATTRIB;
        else if (ev->mask & IN_MOVED_FROM) kind = K_MOVED_FROM;
        else if (ev->mask & IN_MOVED_TO) kind = K_MOVED_TO;
        else if (ev->mask & IN_DELETE_SELF) kind = K_DELETE_SELF;
        else if (ev->mask & IN_MOVE_SELF) kind = K_MOVE_SELF;
        else {
          free(path);
          continue;
        }
        record(t, kind, path);
        if (is_dir && (ev->mask & (IN_CREATE | IN_MOVED_TO))) add_tree(path, 1);
      }
    }
  }
}
