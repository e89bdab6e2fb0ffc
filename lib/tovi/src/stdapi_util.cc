// Portable helpers on top of the system calls: synchronisation levels,
// tokenizing, directory trees, descriptor limits, file copies and region
// locks. File opening and time conversion live in stdapi_unix.cc.

#include "tovi/stdapi_util.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "tovi/map.h"
#include "tovi/retry.h"
#include "tovi/xmalloc.h"

namespace {

bool _exists(const char *path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// mkdir that also accepts a directory already there.
bool _mkdir_ok(const char *path, mode_t mode) { return mkdir(path, mode) == 0 || errno == EEXIST; }

int _region(int fd, off_t start, int cmd, off_t size) {
  off_t pos = lseek(fd, start, SEEK_SET);
  if (pos < 0)
    return static_cast<int>(pos);
  return lockf(fd, cmd, size);
}

}  // namespace

extern "C" {

int sync_string2level(const char *str) {
  if (str == nullptr)
    return 0;
  if (isdigit(static_cast<unsigned char>(str[0])))
    return atoi(str);
  if (strcasecmp(str, "none") == 0)
    return TOVI_SYNC_NONE;
  if (strcasecmp(str, "datasync") == 0)
    return TOVI_SYNC_DATA;
  if (strcasecmp(str, "sync") == 0)
    return TOVI_SYNC_FULL;
  return 0;
}

const char *sync_level2string(int level) {
  switch (level) {
    case TOVI_SYNC_NONE:
      return "none";
    case TOVI_SYNC_DATA:
      return "datasync";
    case TOVI_SYNC_FULL:
      return "sync";
    default:
      return "unknown";
  }
}

char *tovi_strtok(char *s, const char *ct, char **store) {
  char *p = s ? s : *store;
  if (p == nullptr || *p == '\0') {
    if (s)
      *store = nullptr;
    return nullptr;
  }
  p += strspn(p, ct);
  if (*p == '\0') {
    *store = nullptr;
    return nullptr;
  }
  char *token = p;
  p = strpbrk(token, ct);
  if (p == nullptr) {
    *store = nullptr;
    return token;
  }
  *p = '\0';
  *store = p + 1;
  return token;
}

int tovi_mkdir(const char *path1, mode_t mode) {
  if (_mkdir_ok(path1, mode))
    return 0;
  if (path1[0] == '\0')
    return -1;
  char *path = xstrdup(path1);
  char *start = path[1] == ':' ? path + 2 : path;

  // Back from the end to the deepest prefix that exists or can be made.
  char *reached = start;
  for (char *p = path + strlen(path) - 1; p > start; --p) {
    if (*p != '/')
      continue;
    *p = '\0';
    bool made = _mkdir_ok(path, mode);
    *p = '/';
    if (made) {
      reached = p;
      break;
    }
  }

  // Then forward, making each further level and finally the whole path.
  int err = 0;
  for (char *q = reached;;) {
    q = *q ? strchr(q + 1, '/') : nullptr;
    if (q)
      *q = '\0';
    if (!_mkdir_ok(path, mode)) {
      err = errno;  // stat below would overwrite the reason
      if (!_exists(path))
        break;
      err = 0;
    }
    if (!q)
      break;
    *q = '/';
  }
  free(path);
  if (err == 0)
    return 0;
  errno = err;
  return -1;
}

unsigned int getmaxfd(void) {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
    return 64;
  return rl.rlim_cur > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(rl.rlim_cur);
}

int setmaxfd(unsigned int fd) {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
    return -1;
  rl.rlim_cur = fd > rl.rlim_max ? rl.rlim_max : fd;
  return setrlimit(RLIMIT_NOFILE, &rl);
}

int copy_file(const char *from, const char *to, int check) {
  // Copying a file onto itself would truncate the source before reading
  // it, and the clean-up would then remove it: refuse before touching it.
  struct stat src, dst;
  if (stat(from, &src) == 0 && stat(to, &dst) == 0 && src.st_dev == dst.st_dev && src.st_ino == dst.st_ino) {
    errno = EINVAL;
    return -1;
  }
  tovi_map *map = map_open(from, MAP_WHOLEFILE, O_RDONLY, nullptr);
  if (map == nullptr)
    return -1;
  int fd = open(to, O_WRONLY | O_CREAT | O_TRUNC | (check ? O_EXCL : 0), 0666);
  if (fd < 0) {
    int err = errno;
    map_free(map);
    errno = err;
    return -1;
  }
  map_advise(map->base, map->length, MAP_ADV_SEQUENTIAL | MAP_ADV_WILLNEED);
  int32_t written = map->length ? retry_write(fd, map->base, map->length) : 0;
  int err = errno;
  uint32_t length = map->length;
  map_free(map);
  // A failed close can be the first report of a failed write (NFS, quota).
  bool closed = close(fd) == 0;
  if (written < 0 || static_cast<uint32_t>(written) < length || !closed) {
    if (closed)
      errno = err;
    err = errno;
    unlink(to);
    errno = err;
    return -1;
  }
  return 0;
}

int path_is_absolute(const char *path) { return path[0] == '/' ? 1 : 0; }

int sync_file(int fd, int level) {
  switch (level) {
    case TOVI_SYNC_NONE:
      return 0;
    case TOVI_SYNC_DATA: {
      int r = fdatasync(fd);
      if (r != 0)
        r = fsync(fd);
      return r;
    }
    default:
      return fsync(fd);
  }
}

int tovi_lock_region(int fd, off_t start, off_t size) { return _region(fd, start, F_TLOCK, size); }

int tovi_unlock_region(int fd, off_t start, off_t size) { return _region(fd, start, F_ULOCK, size); }

int tovi_lock_region_test(int fd, off_t start, off_t size) { return _region(fd, start, F_TEST, size); }

}  // extern "C"
