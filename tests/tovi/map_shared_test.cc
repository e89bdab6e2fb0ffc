// File maps through the real library: slack sizes, refresh reuse, sub-map
// lifetimes, opening modes, failure reports, and which ranges map_advise
// touches (observed on private anonymous memory, where MADV_DONTNEED
// visibly zeroes the pages it is given).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tovi/map.h"
#include "tovi/xmalloc.h"
#include "tovi_test_util.h"

namespace {

using tovi_test::RunInChild;

class MapFiles : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tmp_.ok()); }
  // Writes a file of n bytes ('a' + i % 26) and returns its path.
  std::string Make(const std::string &name, size_t n) {
    std::string path = tmp_ / name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    std::string data(n, '\0');
    for (size_t i = 0; i < n; i++) data[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(static_cast<ssize_t>(n), write(fd, data.data(), n));
    close(fd);
    return path;
  }
  int OpenRead(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    return fd;
  }
  // A file of n bytes mapped whole with flags; its descriptor is closed at
  // once, since the mapping does not need it.
  tovi_map *MapNew(const std::string &name, size_t n, int32_t flags = 0) {
    int fd = OpenRead(Make(name, n));
    tovi_map *m = map_refresh(fd, nullptr, flags, MAP_WHOLEFILE);
    close(fd);
    return m;
  }
  tovi_test::TempDir tmp_;
};

TEST_F(MapFiles, WholeFileMapHasTheFileBytesAndNoIdentity) {
  tovi_map *m = MapNew("f", 5000);  // the mapping outlives the descriptor
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(5000u, m->length);
  EXPECT_EQ(5000u, m->fdlength);
  EXPECT_EQ(MAP_NOIDENTITY, m->flags);
  EXPECT_EQ(1, m->refcount);
  EXPECT_EQ(nullptr, m->submapof);
  EXPECT_EQ(0u, m->device);
  EXPECT_EQ(0u, m->inode);
  EXPECT_EQ('a', m->base[0]);
  EXPECT_EQ('a' + 4999 % 26, m->base[4999]);
  map_free(m);
}

TEST_F(MapFiles, EmptyFileHasNoBase) {
  tovi_map *m = MapNew("empty", 0);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(nullptr, m->base);
  EXPECT_EQ(0u, m->length);
  EXPECT_EQ(0u, m->fdlength);
  map_free(m);
}

struct SlackCase {
  size_t file;
  uint32_t mapped;
};

class MapSlack : public MapFiles, public ::testing::WithParamInterface<SlackCase> {};

TEST_P(MapSlack, SlackRoundsUpByTheSizeClass) {
  const SlackCase c = GetParam();
  tovi_map *m = MapNew("s", c.file, MAP_SLOP);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(c.mapped, m->length);
  EXPECT_EQ(c.file, m->fdlength);
  EXPECT_EQ(MAP_SLOP | MAP_NOIDENTITY, m->flags);
  if (c.file) {
    EXPECT_EQ('a' + (c.file - 1) % 26, m->base[c.file - 1]);
  }
  map_free(m);
}

INSTANTIATE_TEST_SUITE_P(Sizes, MapSlack,
                         ::testing::Values(SlackCase{100, 1024}, SlackCase{12288, 12800},
                                           SlackCase{12289, 16384}, SlackCase{0, 512},
                                           SlackCase{512, 1024}, SlackCase{511, 1024}));

TEST_F(MapFiles, RefreshKeepsTheMapWhenTheLengthIsUnchanged) {
  int fd = OpenRead(Make("r", 3000));
  tovi_map *m = map_refresh(fd, nullptr, 0, MAP_WHOLEFILE);
  ASSERT_NE(nullptr, m);
  const char *base = m->base;
  m->fdlength = 1;  // refresh must put the file length back
  tovi_map *again = map_refresh(fd, m, 0, MAP_WHOLEFILE);
  EXPECT_EQ(m, again);
  EXPECT_EQ(base, again->base);
  EXPECT_EQ(3000u, again->fdlength);
  EXPECT_EQ(1, again->refcount);
  map_free(again);
  close(fd);
}

TEST_F(MapFiles, RefreshRemapsAFileThatGrew) {
  std::string path = Make("g", 3000);
  int fd = open(path.c_str(), O_RDWR);
  tovi_map *m = map_refresh(fd, nullptr, 0, MAP_WHOLEFILE);
  ASSERT_NE(nullptr, m);
  ASSERT_EQ(1000, pwrite(fd, std::string(1000, 'Z').data(), 1000, 3000));
  tovi_map *grown = map_refresh(fd, m, 0, MAP_WHOLEFILE);  // m is consumed
  ASSERT_NE(nullptr, grown);
  EXPECT_EQ(4000u, grown->length);
  EXPECT_EQ(4000u, grown->fdlength);
  EXPECT_EQ('Z', grown->base[3999]);
  map_free(grown);
  close(fd);
}

TEST_F(MapFiles, ShorterLengthKeepsTheMapOnlyWithSlack) {
  int fd = OpenRead(Make("sh", 3000));
  tovi_map *slop = map_refresh(fd, nullptr, MAP_SLOP, MAP_WHOLEFILE);
  ASSERT_NE(nullptr, slop);
  EXPECT_EQ(3584u, slop->length);
  tovi_map *kept = map_refresh(fd, slop, MAP_SLOP, 2000);
  EXPECT_EQ(slop, kept);
  EXPECT_EQ(3584u, kept->length);
  EXPECT_EQ(2000u, kept->fdlength);
  map_free(kept);

  tovi_map *plain = map_refresh(fd, nullptr, 0, MAP_WHOLEFILE);
  ASSERT_NE(nullptr, plain);
  tovi_map *fresh = map_refresh(fd, plain, 0, 2000);
  ASSERT_NE(nullptr, fresh);
  EXPECT_EQ(2000u, fresh->length);
  EXPECT_EQ(2000u, fresh->fdlength);
  map_free(fresh);
  close(fd);
}

TEST_F(MapFiles, FailedRefreshReleasesTheOldMap) {
  tovi_map *m = MapNew("x", 100);
  ASSERT_NE(nullptr, m);
  errno = 0;
  // The leak checker of the sanitizer build sees a map that is not released.
  EXPECT_EQ(nullptr, map_refresh(-1, m, 0, MAP_WHOLEFILE));
  EXPECT_EQ(EBADF, errno);
}

TEST_F(MapFiles, FailedMmapIsReportedAsMemoryShortage) {
  std::string path = Make("wo", 100);
  auto res = RunInChild([&] {
    set_nomemory_cb([](const char *what, unsigned int sz) { std::printf("%s %u;", what, sz); });
    int fd = open(path.c_str(), O_WRONLY);  // a shared map needs read access
    tovi_map *m = map_refresh(fd, nullptr, 0, MAP_WHOLEFILE);
    std::printf("%s %s", m ? "mapped" : "none", errno == EACCES ? "EACCES" : strerror(errno));
    return 0;
  });
  ASSERT_EQ(0, res.exit_code) << res.output;
  EXPECT_EQ("mmap 100;none EACCES", res.output);
}

TEST_F(MapFiles, SubmapSharesTheParentMapping) {
  tovi_map *parent = MapNew("p", 9000, MAP_SLOP);
  ASSERT_NE(nullptr, parent);
  const uint32_t plen = parent->length;

  tovi_map *whole = map_submap(parent, 0, plen);
  ASSERT_NE(nullptr, whole);
  EXPECT_EQ(nullptr, map_submap(parent, 0, plen + 1));
  EXPECT_EQ(nullptr, map_submap(parent, 1, plen));
  EXPECT_EQ(nullptr, map_submap(parent, UINT32_MAX, 2));  // wraps in 32 bits

  tovi_map *mid = map_submap(parent, 27, 100);
  ASSERT_NE(nullptr, mid);
  EXPECT_EQ(parent->base + 27, mid->base);
  EXPECT_EQ(100u, mid->length);
  EXPECT_EQ(100u, mid->fdlength);
  EXPECT_EQ(MAP_NOIDENTITY, mid->flags);  // MAP_SLOP cleared
  EXPECT_EQ(parent, mid->submapof);
  EXPECT_EQ(1, mid->refcount);
  EXPECT_EQ(3, parent->refcount);

  // Parent first: the bytes stay mapped while a sub-map holds them.
  map_free(parent);
  map_free(whole);
  EXPECT_EQ(1, parent->refcount);
  EXPECT_EQ('b', mid->base[0]);  // offset 27 -> 'a' + 27 % 26
  EXPECT_EQ('a' + 126 % 26, mid->base[99]);
  map_free(mid);  // drops the parent: a leak or double unmap shows up in the sanitizer build
}

TEST_F(MapFiles, SubmapOfAnEmptyMap) {
  tovi_map *parent = MapNew("e", 0);
  tovi_map *sub = map_submap(parent, 0, 0);
  ASSERT_NE(nullptr, sub);
  EXPECT_EQ(nullptr, sub->base);
  EXPECT_EQ(nullptr, map_submap(parent, 0, 1));
  map_free(sub);
  map_free(parent);
}

TEST_F(MapFiles, OpenReadOnlyMapsAndClosesTheDescriptor) {
  std::string path = Make("o", 777);
  tovi_map *m = map_open(path.c_str(), MAP_WHOLEFILE, O_RDONLY, nullptr);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(777u, m->length);
  EXPECT_EQ(MAP_NOIDENTITY, m->flags);
  EXPECT_EQ('a', m->base[0]);
  map_free(m);
  EXPECT_EQ(nullptr, map_open((tmp_ / "missing").c_str(), MAP_WHOLEFILE, O_RDONLY, nullptr));
  EXPECT_EQ(ENOENT, errno);
}

TEST_F(MapFiles, OpenForWritingSizesTheFileAndWritesThrough) {
  std::string path = tmp_ / "w";
  tovi_map *m = map_open(path.c_str(), 8192, O_RDWR | O_CREAT, nullptr);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(8192u, m->length);
  EXPECT_EQ(MAP_WRITABLE | MAP_NOIDENTITY, m->flags);
  std::memcpy(const_cast<char *>(m->base) + 8000, "through", 7);
  map_free(m);
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(8192, st.st_size);
  int fd = OpenRead(path);
  char buf[8] = {};
  ASSERT_EQ(7, pread(fd, buf, 7, 8000));
  EXPECT_STREQ("through", buf);
  close(fd);
}

TEST_F(MapFiles, OpenWithTempfdUsesAHiddenTmpFile) {
  std::string name = "tovi-map-test-" + std::to_string(getpid());
  std::string tmp = "/tmp/." + name;
  unlink(tmp.c_str());
  int fd = -1;
  tovi_map *m = map_open(name.c_str(), 4096, O_RDWR | O_CREAT, &fd);
  ASSERT_NE(nullptr, m);
  ASSERT_GE(fd, 0);
  struct stat byfd, byname;
  ASSERT_EQ(0, fstat(fd, &byfd));
  ASSERT_EQ(0, stat(tmp.c_str(), &byname));
  EXPECT_EQ(byfd.st_ino, byname.st_ino);
  EXPECT_EQ(4096, byname.st_size);
  map_free(m);
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
  struct stat st;
  ASSERT_EQ(0, stat(target.c_str(), &st));
  EXPECT_EQ(10, st.st_size);

  // A name too long for the buffer is refused rather than cut.
  std::string longname(1100, 'n');
  EXPECT_EQ(nullptr, map_open(longname.c_str(), MAP_WHOLEFILE, O_RDONLY, &fd));
  EXPECT_EQ(ENAMETOOLONG, errno);
}

// map_advise is observed on private anonymous memory: MADV_DONTNEED there
// drops the pages, which then read back as zeros.
class MapAdvise : public ::testing::Test {
 protected:
  void SetUp() override {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *p = mmap(nullptr, 8 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, p);
    mem_ = static_cast<char *>(p);
    std::memset(mem_, 0x5a, 8 * page_);
  }
  void TearDown() override { munmap(mem_, 8 * page_); }
  // Which of the 8 pages were dropped, as a string of '0' (dropped) and 'x'.
  std::string Pages() {
    std::string s;
    for (size_t i = 0; i < 8; i++) s += mem_[i * page_] == 0 ? '0' : 'x';
    return s;
  }
  size_t page_ = 0;
  char *mem_ = nullptr;
};

TEST_F(MapAdvise, StartInFirstHalfTakesThePageFromItsStart) {
  const size_t half = page_ / 2;
  map_advise(mem_ + half, static_cast<uint32_t>(2 * page_ - half), MAP_ADV_DONTNEED);
  EXPECT_EQ("00xxxxxx", Pages());
}

TEST_F(MapAdvise, RangeShortOfTwoPagesAfterAlignmentIsSkipped) {
  const size_t half = page_ / 2;
  map_advise(mem_ + half, static_cast<uint32_t>(2 * page_ - half - 1), MAP_ADV_DONTNEED);
  EXPECT_EQ("xxxxxxxx", Pages());
  map_advise(mem_, static_cast<uint32_t>(2 * page_ - 1), MAP_ADV_DONTNEED);
  EXPECT_EQ("xxxxxxxx", Pages());
}

TEST_F(MapAdvise, StartInSecondHalfBeginsAtTheNextPage) {
  const size_t off = page_ / 2 + 1;
  map_advise(mem_ + off, static_cast<uint32_t>(page_ - off + 2 * page_), MAP_ADV_DONTNEED);
  EXPECT_EQ("x00xxxxx", Pages());
  map_advise(mem_ + 4 * page_ + off, static_cast<uint32_t>(page_ - off + 2 * page_ - 1),
             MAP_ADV_DONTNEED);
  EXPECT_EQ("x00xxxxx", Pages());
  map_advise(mem_ + off, static_cast<uint32_t>(page_ - off), MAP_ADV_DONTNEED);  // ends at the boundary
  EXPECT_EQ("x00xxxxx", Pages());
}

TEST_F(MapAdvise, ReadAheadWinsOverDontneed) {
  map_advise(mem_, static_cast<uint32_t>(8 * page_), MAP_ADV_SEQUENTIAL | MAP_ADV_WILLNEED | MAP_ADV_DONTNEED);
  EXPECT_EQ("xxxxxxxx", Pages());
  map_advise(mem_, static_cast<uint32_t>(8 * page_), MAP_ADV_RANDOM | MAP_ADV_DONTNEED);
  EXPECT_EQ("00000000", Pages());
}

}  // namespace
