// File maps through the real library: slack sizes, refresh reuse, sub-map
// lifetimes, opening modes, failure reports, and which ranges map_advise
// touches (observed on private anonymous memory, where MADV_DONTNEED
// visibly zeroes the pages it is given).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "test_support.h"
#include "tovi/map.h"
#include "tovi/xmalloc.h"

namespace {

// A map's record in one line: lengths, flags, references, parent, identity.
std::string Describe(const tovi_map *m) {
  char out[128];
  snprintf(out, sizeof out, "len=%u fdlen=%u flags=%d ref=%d sub=%d id=%llu/%llu", m->length, m->fdlength, m->flags, m->refcount,
           m->submapof != nullptr, (unsigned long long)m->device, (unsigned long long)m->inode);
  return out;
}
std::string Bytes(const tovi_map *m, size_t from, size_t n) { return std::string(m->base + from, n); }

class MapFiles : public ::testing::Test {
 protected:
  // Writes a file of n pattern bytes and returns its path.
  std::string Make(const std::string &name, size_t n) {
    EXPECT_TRUE(ts::write_file(tmp_ / name, ts::pattern(n)));
    return tmp_ / name;
  }
  // A file of n bytes mapped whole with flags; its descriptor is closed at
  // once, since the mapping does not need it.
  tovi_map *MapNew(const std::string &name, size_t n, int32_t flags = 0) {
    int fd = open(Make(name, n).c_str(), O_RDONLY);
    tovi_map *m = map_refresh(fd, nullptr, flags, MAP_WHOLEFILE);
    close(fd);
    return m;
  }
  ts::TempDir tmp_;
};

TEST_F(MapFiles, RefreshRoundsSlackUpByTheSizeClassKeepsAnUnchangedMapRemapsAGrownFileAndReleasesTheOldOnFailure) {
  const std::pair<size_t, uint32_t> rows[] = {{100, 1024}, {12288, 12800}, {12289, 16384}, {0, 512}, {512, 1024}, {511, 1024}};
  for (auto [file, mapped] : rows) {
    tovi_map *m = MapNew("s", file, MAP_SLOP);
    EXPECT_EQ(mapped, m->length) << file;
    EXPECT_EQ(file, m->fdlength);
    EXPECT_EQ(ts::pattern(file), Bytes(m, 0, file));
    map_free(m);
  }
  // A shorter length keeps the map only with slack.
  int fd = open(Make("sh", 3000).c_str(), O_RDONLY);
  tovi_map *slop = map_refresh(fd, nullptr, MAP_SLOP, MAP_WHOLEFILE);
  EXPECT_EQ(3584u, slop->length);
  ASSERT_EQ(slop, map_refresh(fd, slop, MAP_SLOP, 2000));
  EXPECT_EQ(3584u, slop->length);
  EXPECT_EQ(2000u, slop->fdlength);
  map_free(slop);
  tovi_map *fresh = map_refresh(fd, map_refresh(fd, nullptr, 0, MAP_WHOLEFILE), 0, 2000);
  EXPECT_EQ(2000u, fresh->length);
  EXPECT_EQ(2000u, fresh->fdlength);
  map_free(fresh);
  close(fd);
  // Refresh keeps an unchanged map and remaps a grown file.
  fd = open(Make("g", 3000).c_str(), O_RDWR);
  tovi_map *m = map_refresh(fd, nullptr, 0, MAP_WHOLEFILE);
  const char *base = m->base;
  m->fdlength = 1;  // refresh must put the file length back
  ASSERT_EQ(m, map_refresh(fd, m, 0, MAP_WHOLEFILE));
  EXPECT_EQ(base, m->base);
  EXPECT_EQ(3000u, m->fdlength);
  EXPECT_EQ(1, m->refcount);
  ASSERT_EQ(1000, pwrite(fd, std::string(1000, 'Z').data(), 1000, 3000));
  tovi_map *grown = map_refresh(fd, m, 0, MAP_WHOLEFILE);  // m is consumed
  EXPECT_EQ(4000u, grown->length);
  EXPECT_EQ(4000u, grown->fdlength);
  EXPECT_EQ('Z', grown->base[3999]);
  map_free(grown);
  close(fd);
  // Failures release the old map (the leak checker of the sanitizer build
  // sees one that is not); a failed mmap is a memory shortage.
  tovi_map *old = MapNew("x", 100);
  errno = 0;
  EXPECT_EQ(nullptr, map_refresh(-1, old, 0, MAP_WHOLEFILE));
  EXPECT_EQ(EBADF, errno);
  std::string path = tmp_ / "x";
  auto res = ts::run_in_child([&] {  // the shortage counter is process-wide
    set_nomemory_cb([](const char *what, unsigned int sz) { std::printf("%s %u;", what, sz); });
    int rfd = open(path.c_str(), O_WRONLY);  // a shared map needs read access
    tovi_map *none = map_refresh(rfd, nullptr, 0, MAP_WHOLEFILE);
    std::printf("%s %s", none ? "mapped" : "none", errno == EACCES ? "EACCES" : strerror(errno));
    return 0;
  });
  EXPECT_EQ("mmap 100;none EACCES", res.out);
}

TEST_F(MapFiles, WholeFileMapsAndOpensHaveTheFileBytesWritesGoThroughSubmapsOutliveTheParentAndTempfdFollowsNoLink) {
  tovi_map *m = MapNew("f", 5000);  // the mapping outlives the descriptor
  EXPECT_EQ("len=5000 fdlen=5000 flags=" + std::to_string(MAP_NOIDENTITY) + " ref=1 sub=0 id=0/0", Describe(m));
  EXPECT_EQ(ts::pattern(5000), Bytes(m, 0, 5000));
  map_free(m);
  m = MapNew("empty", 0);
  EXPECT_EQ(nullptr, m->base);
  EXPECT_EQ(0u, m->length + m->fdlength);
  map_free(m);
  m = map_open(Make("o", 777).c_str(), MAP_WHOLEFILE, O_RDONLY, nullptr);
  EXPECT_EQ("len=777 fdlen=777 flags=" + std::to_string(MAP_NOIDENTITY) + " ref=1 sub=0 id=0/0", Describe(m));
  EXPECT_EQ(ts::pattern(777), Bytes(m, 0, 777));
  map_free(m);
  EXPECT_EQ(nullptr, map_open((tmp_ / "missing").c_str(), MAP_WHOLEFILE, O_RDONLY, nullptr));
  EXPECT_EQ(ENOENT, errno);
  // For writing, the file is sized and the map writes through.
  m = map_open((tmp_ / "w").c_str(), 8192, O_RDWR | O_CREAT, nullptr);
  EXPECT_EQ(8192u, m->length);
  EXPECT_EQ(MAP_WRITABLE | MAP_NOIDENTITY, m->flags);
  std::memcpy(const_cast<char *>(m->base) + 8000, "through", 7);
  map_free(m);
  std::string back = ts::read_file(tmp_ / "w");
  EXPECT_EQ(8192u, back.size());
  EXPECT_EQ("through", back.substr(8000, 7));
  // A sub-map shares the parent's mapping and outlives it.
  tovi_map *parent = MapNew("p", 9000, MAP_SLOP);
  const uint32_t plen = parent->length;
  tovi_map *whole = map_submap(parent, 0, plen);
  EXPECT_EQ(nullptr, map_submap(parent, 0, plen + 1));
  EXPECT_EQ(nullptr, map_submap(parent, 1, plen));
  EXPECT_EQ(nullptr, map_submap(parent, UINT32_MAX, 2));  // wraps in 32 bits
  EXPECT_EQ(nullptr, map_submap(nullptr, 0, 0));
  tovi_map *mid = map_submap(parent, 27, 100);
  EXPECT_EQ(parent->base + 27, mid->base);
  EXPECT_EQ("len=100 fdlen=100 flags=" + std::to_string(MAP_NOIDENTITY) + " ref=1 sub=1 id=0/0", Describe(mid));
  EXPECT_EQ(parent, mid->submapof);
  EXPECT_EQ(3, parent->refcount);
  // Parent first: the bytes stay mapped while a sub-map holds them.
  map_free(parent);
  map_free(whole);
  EXPECT_EQ(1, parent->refcount);
  EXPECT_EQ(ts::pattern(127).substr(27), Bytes(mid, 0, 100));
  map_free(mid);  // drops the parent: a leak or double unmap shows up in the sanitizer build
  tovi_map *empty = MapNew("e", 0), *sub = map_submap(empty, 0, 0);
  EXPECT_EQ(nullptr, sub->base);
  EXPECT_EQ(nullptr, map_submap(empty, 0, 1));
  map_free(sub);
  map_free(empty);
  // map_open with tempfd uses a hidden file under /tmp and follows no link.
  std::string name = "tovi-map-test-" + std::to_string(getpid()), tmp = "/tmp/." + name;
  unlink(tmp.c_str());
  int fd = -1;
  tovi_map *hidden = map_open(name.c_str(), 4096, O_RDWR | O_CREAT, &fd);
  struct stat byfd, byname;
  ASSERT_EQ(0, fstat(fd, &byfd));
  ASSERT_EQ(0, stat(tmp.c_str(), &byname));
  EXPECT_EQ(byfd.st_ino, byname.st_ino);
  EXPECT_EQ(4096, byname.st_size);
  map_free(hidden);
  close(fd);
  unlink(tmp.c_str());
  // A link planted under the hidden name is not followed.
  std::string target = Make("victim", 10);
  ASSERT_EQ(0, symlink(target.c_str(), tmp.c_str()));
  fd = -1;
  EXPECT_EQ(nullptr, map_open(name.c_str(), 4096, O_RDWR | O_CREAT, &fd));
  EXPECT_EQ(ELOOP, errno);
  EXPECT_EQ(-1, fd);
  unlink(tmp.c_str());
  EXPECT_EQ(10u, ts::read_file(target).size());
  // A name too long for the buffer is refused rather than cut.
  EXPECT_EQ(nullptr, map_open(std::string(1100, 'n').c_str(), MAP_WHOLEFILE, O_RDONLY, &fd));
  EXPECT_EQ(ENAMETOOLONG, errno);
}

// map_advise on private anonymous memory: MADV_DONTNEED there drops the
// pages, which then read back as zeros.
TEST(MapAdvise, RangesAreRoundedToWholePagesAndReadAheadWinsOverDontneed) {
  const size_t p = size_t(sysconf(_SC_PAGESIZE)), h = p / 2;
  char *mem = static_cast<char *>(mmap(nullptr, 8 * p, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  const int dn = MAP_ADV_DONTNEED;
  const struct {
    size_t off, len;
    int flag;
    const char *dropped;  // of the 8 pages: '0' dropped, 'x' kept
    // clang-format off
  } rows[] = {
      {h, 2 * p - h, dn, "00xxxxxx"},  // a start in the first half takes its page
      {h, 2 * p - h - 1, dn, "xxxxxxxx"},  // short of two pages once aligned: skipped
      {0, 2 * p - 1, dn, "xxxxxxxx"},
      {h + 1, p - (h + 1) + 2 * p, dn, "x00xxxxx"},  // a start in the second half: the next page
      {4 * p + h + 1, p - (h + 1) + 2 * p - 1, dn, "xxxxxxxx"},
      {h + 1, p - (h + 1), dn, "xxxxxxxx"},  // ends at the boundary
      {0, 8 * p, MAP_ADV_SEQUENTIAL | MAP_ADV_WILLNEED | dn, "xxxxxxxx"},
      {0, 8 * p, MAP_ADV_NORMAL | dn, "00000000"},
      {0, 8 * p, MAP_ADV_RANDOM | dn, "00000000"},
  };
  // clang-format on
  for (auto &r : rows) {
    std::memset(mem, 0x5a, 8 * p);
    map_advise(mem + r.off, uint32_t(r.len), r.flag);
    std::string pages;
    for (size_t i = 0; i < 8; i++) pages += mem[i * p] == 0 ? '0' : 'x';
    EXPECT_EQ(r.dropped, pages) << r.off << "+" << r.len;
  }
  munmap(mem, 8 * p);
}

}  // namespace
