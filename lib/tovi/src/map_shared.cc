// Reference-counted maps of whole files.  A map record has one owner at a
// time and is not locked; sub-maps hold a reference on their parent, so the
// parent's mapping lives until its last sub-map is freed.  The record keeps
// 32-bit lengths: a file that does not fit is refused (EOVERFLOW) rather
// than mapped short.
#include "tovi/map.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tovi/xmalloc.h"

namespace {

constexpr uint32_t kSmallSlack = 512;
constexpr uint32_t kLargeSlack = 2048;
constexpr uint32_t kSmallFileMax = 12288;  // files up to here get the small slack
constexpr uint32_t kReadAheadMax = 98304;  // cap of MAP_ADV_WILLNEED

bool _open_for_writing(int openflags) {
  int mode = openflags & O_ACCMODE;
  return mode == O_WRONLY || mode == O_RDWR;
}

// Smallest multiple of the slack unit that is at least len + unit, or false
// when that does not fit in 32 bits.
bool _with_slack(uint32_t len, uint32_t *out) {
  uint64_t unit = len <= kSmallFileMax ? kSmallSlack : kLargeSlack;
  uint64_t rounded = (uint64_t{len} + 2 * unit - 1) / unit * unit;
  if (rounded > UINT32_MAX)
    return false;
  *out = static_cast<uint32_t>(rounded);
  return true;
}

long _page_size() {
  long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? page : 4096;
}

}  // namespace

extern "C" {

tovi_map *map_refresh(int fd, tovi_map *oldmap, int32_t flags, uint32_t newlen) {
  flags |= MAP_NOIDENTITY;

  if (newlen == MAP_WHOLEFILE) {
    struct stat st;
    int err = 0;
    if (fstat(fd, &st) != 0)
      err = errno;
    else if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) >= MAP_WHOLEFILE)
      err = EOVERFLOW;
    if (err != 0) {
      if (oldmap)
        map_free(oldmap);
      errno = err;
      return nullptr;
    }
    newlen = static_cast<uint32_t>(st.st_size);
  }

  if (oldmap) {
    if (oldmap->length == newlen || (oldmap->length > newlen && (flags & MAP_SLOP))) {
      oldmap->fdlength = newlen;
      return oldmap;
    }
    map_free(oldmap);
  }

  // Identity (device, inode) is never recorded: MAP_NOIDENTITY is forced
  // above, so no extra fstat is made for it.
  uint32_t fdlength = newlen;
  if ((flags & MAP_SLOP) && !_with_slack(newlen, &newlen)) {
    errno = EOVERFLOW;
    return nullptr;
  }

  auto *map = static_cast<tovi_map *>(xmalloc(sizeof(tovi_map)));
  map->base = nullptr;
  if (newlen != 0) {
    int prot = (flags & MAP_WRITABLE) ? PROT_READ | PROT_WRITE : PROT_READ;
    void *addr = mmap(nullptr, newlen, prot, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) {
      int err = errno;
      std::free(map);
      memory_error("mmap", newlen);
      errno = err;  // the caller reports the reason
      return nullptr;
    }
    map->base = static_cast<const char *>(addr);
  }
  map->length = newlen;
  map->fdlength = fdlength;
  map->flags = flags;
  map->refcount = 1;
  map->submapof = nullptr;
  map->device = 0;
  map->inode = 0;
  return map;
}

tovi_map *map_open(const char *path, uint32_t size, int openflags, int *tempfd) {
  char tmppath[1024];
  if (tempfd) {
    int n = std::snprintf(tmppath, sizeof tmppath, "/tmp/.%s", path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof tmppath) {
      errno = ENAMETOOLONG;  // a cut name would be some other file
      return nullptr;
    }
    path = tmppath;
    // /tmp is writable by everyone: never follow a planted link.
    openflags |= O_NOFOLLOW;
  } else {
    // Closed again below; keep it from leaking into a concurrent exec.
    openflags |= O_CLOEXEC;
  }

  int fd = open(path, openflags, 0666);
  if (fd < 0)
    return nullptr;

  bool writing = _open_for_writing(openflags);
  if (size != MAP_WHOLEFILE && writing && ftruncate(fd, size) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return nullptr;
  }

  tovi_map *map = map_refresh(fd, nullptr, writing ? MAP_WRITABLE : 0, size);
  if (map == nullptr || tempfd == nullptr) {
    int err = errno;
    close(fd);
    errno = err;
  } else {
    *tempfd = fd;
  }
  return map;
}

void map_free(tovi_map *map) {
  if (map == nullptr)
    return;
  if (--map->refcount >= 1)
    return;
  if (map->submapof)
    map_free(map->submapof);
  else if (map->length != 0)
    munmap(const_cast<char *>(map->base), map->length);
  std::free(map);
}

tovi_map *map_submap(tovi_map *map, uint32_t offset, uint32_t length) {
  if (map == nullptr || uint64_t{offset} + length > map->length)
    return nullptr;
  auto *sub = static_cast<tovi_map *>(std::malloc(sizeof(tovi_map)));
  if (sub == nullptr)
    return nullptr;
  sub->base = map->base ? map->base + offset : nullptr;
  sub->length = length;
  sub->fdlength = length;
  sub->flags = map->flags & ~MAP_SLOP;
  sub->refcount = 1;
  sub->submapof = map;
  sub->device = 0;
  sub->inode = 0;
  map->refcount++;
  return sub;
}

void map_advise(const void *base, uint32_t len, int flag) {
  const uintptr_t page = static_cast<uintptr_t>(_page_size());
  const uintptr_t addr = reinterpret_cast<uintptr_t>(base);
  const uintptr_t into = addr % page;
  uintptr_t start;
  uint64_t span;
  // A range starting in the first half of a page takes that whole page;
  // otherwise it starts at the next page and loses the head.
  if (into <= page / 2) {
    start = addr - into;
    span = uint64_t{len} + into;
  } else {
    start = addr - into + page;
    if (start >= addr + len)
      return;
    span = len - (start - addr);
  }
  if (span < 2 * page)
    return;

  void *p = reinterpret_cast<void *>(start);
  if (flag & MAP_ADV_NORMAL)
    madvise(p, span, MADV_NORMAL);
  else if (flag & MAP_ADV_RANDOM)
    madvise(p, span, MADV_RANDOM);
  else if (flag & MAP_ADV_SEQUENTIAL)
    madvise(p, span, MADV_SEQUENTIAL);

  if (flag & MAP_ADV_WILLNEED)
    madvise(p, span < kReadAheadMax ? span : kReadAheadMax, MADV_WILLNEED);
  else if (flag & MAP_ADV_DONTNEED)
    madvise(p, span, MADV_DONTNEED);
}

}  // extern "C"
