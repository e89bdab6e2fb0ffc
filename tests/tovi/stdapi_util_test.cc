// Synchronisation levels, the tokenizer, directory trees, descriptor
// limits, file copies and region locks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "test_support.h"
#include "tovi/stdapi_util.h"

namespace {

// Every token of text, joined by '|'; the store must end cleared.
std::string Tokens(std::string text, const char *ct) {
  char *store = reinterpret_cast<char *>(1), *s = text.data();
  std::string out;
  for (char *t; (t = tovi_strtok(s, ct, &store)) != nullptr; s = nullptr) out += (out.empty() ? "" : "|") + std::string(t);
  return store == nullptr ? out : out + " (store left set)";
}

TEST(SyncLevelsAndStrtok, NamesAndNumbersAndTokensBetweenRunsOfDelimiters) {
  const std::pair<const char *, int> names[] = {{"DataSync", 1}, {"2", 2},     {"SYNC", 2},  {"none", 0},
                                                {"fsync", 0},    {nullptr, 0}, {"17abc", 17}};
  for (auto &[name, level] : names) EXPECT_EQ(level, sync_string2level(name)) << (name ? name : "null");
  const std::pair<int, const char *> levels[] = {{0, "none"}, {1, "datasync"}, {2, "sync"}, {7, "unknown"}, {-1, "unknown"}};
  for (auto &[level, name] : levels) EXPECT_STREQ(name, sync_level2string(level)) << level;
  // The tokenizer gives the tokens between runs of delimiters.
  EXPECT_EQ("a|b", Tokens(",,a,b", ","));
  EXPECT_EQ("a|bc", Tokens("a;,bc,;", ",;"));
  EXPECT_EQ("", Tokens(",,,", ","));
  EXPECT_EQ("", Tokens("", ","));
  EXPECT_EQ("whole, string", Tokens("whole, string", ""));  // no delimiters: one token
}

TEST(DescriptorLimit, SetCapsAtTheHardLimitAndReadsBack) {
  struct rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
  auto capped = [](rlim_t v) { return v > 0xffffffffu ? 0xffffffffu : unsigned(v); };
  EXPECT_EQ(capped(saved.rlim_cur), getmaxfd());
  EXPECT_EQ(0, setmaxfd(200));
  EXPECT_EQ(200u, getmaxfd());
  EXPECT_EQ(0, setmaxfd(0xfffffff0u));
  EXPECT_EQ(capped(saved.rlim_max), getmaxfd());
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
}

TEST(FilesAndDirectories, CopiesHonourTheExistenceCheckRegionLocksAreSeenByAnotherProcessAndMkdirMakesMissingParents) {
  ts::TempDir d;
  std::string from = d / "from", to = d / "to", content = ts::pattern(100000);
  ASSERT_TRUE(ts::write_file(from, content));
  EXPECT_EQ(0, copy_file(from.c_str(), to.c_str(), 1));
  EXPECT_EQ(content, ts::read_file(to));
  // With the check, an existing destination is refused and left alone.
  EXPECT_EQ(-1, copy_file(from.c_str(), to.c_str(), 1));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_EQ(content, ts::read_file(to));
  for (std::string next : {"new", ""}) {  // without it, replaced (an empty file too)
    ASSERT_TRUE(ts::write_file(from, next));
    EXPECT_EQ(0, copy_file(from.c_str(), to.c_str(), 0));
    EXPECT_EQ(next, ts::read_file(to));
  }
  // Onto itself (also through a hard link): refused, the file survives.
  ASSERT_TRUE(ts::write_file(from, "keep"));
  ASSERT_EQ(0, link(from.c_str(), (d / "alias").c_str()));
  EXPECT_EQ(-1, copy_file(from.c_str(), (d / "alias").c_str(), 0));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, copy_file(from.c_str(), from.c_str(), 0));
  EXPECT_EQ("keep", ts::read_file(from));
  EXPECT_EQ(-1, copy_file((d / "missing").c_str(), (d / "out").c_str(), 0));
  EXPECT_EQ(-1, copy_file(from.c_str(), (d / "none/out").c_str(), 0));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ((std::vector<std::string>{"alias", "from", "to"}), ts::list_dir(d.path()));
  // A short write removes the partial copy.
  std::string part = d / "part";
  ASSERT_TRUE(ts::write_file(from, std::string(300000, 'x')));
  auto cut = ts::run_in_child([&] {
    signal(SIGXFSZ, SIG_IGN);  // a file size limit makes the write stop part way
    struct rlimit rl = {65536, 65536};
    setrlimit(RLIMIT_FSIZE, &rl);
    return copy_file(from.c_str(), part.c_str(), 0) == -1 && errno == EFBIG ? 0 : 1;
  });
  EXPECT_EQ(0, cut.status);
  EXPECT_EQ((std::vector<std::string>{"alias", "from", "to"}), ts::list_dir(d.path()));
  // A region lock is seen by another process and moves the position.
  std::string name = d / "locked";
  ASSERT_TRUE(ts::write_file(name, std::string(1000, 'l')));
  int fd = open(name.c_str(), O_RDWR);
  EXPECT_EQ(0, tovi_lock_region(fd, 100, 50));
  EXPECT_EQ(100, lseek(fd, 0, SEEK_CUR));
  // What another process gets: 1 when its test is refused, 2 its lock.
  auto other = [&](off_t start) {
    return ts::run_in_child([&] {
             int cfd = open(name.c_str(), O_RDWR);
             return (tovi_lock_region_test(cfd, start, 10) == -1 ? 1 : 0) | (tovi_lock_region(cfd, start, 10) == -1 ? 2 : 0);
           })
        .status;
  };
  EXPECT_EQ(3, other(120));  // inside
  EXPECT_EQ(0, other(150));  // just after the region
  EXPECT_EQ(0, tovi_unlock_region(fd, 100, 50));
  EXPECT_EQ(0, other(120));
  EXPECT_EQ(-1, tovi_lock_region(fd, -5, 10));
  EXPECT_EQ(EINVAL, errno);
  close(fd);
  // Directories: missing parents are made with the mode; what exists is
  // accepted.
  mode_t old = umask(0);
  EXPECT_EQ(0, tovi_mkdir(d.path().c_str(), 0755));  // already there
  EXPECT_EQ(0, tovi_mkdir((d / "a/b/c").c_str(), 0750));
  ASSERT_TRUE(std::filesystem::is_directory(d / "a/b/c"));
  struct stat st;
  ASSERT_EQ(0, stat((d / "a/b").c_str(), &st));
  EXPECT_EQ(0750u, st.st_mode & 0777);
  d.mkdirs("x");  // only x exists: b and then c are made
  EXPECT_EQ(0, tovi_mkdir((d / "x/b/c").c_str(), 0700));
  EXPECT_TRUE(std::filesystem::is_directory(d / "x/b/c"));
  ASSERT_EQ(0, chdir(d.path().c_str()));  // a relative path with a trailing slash
  EXPECT_EQ(0, tovi_mkdir("r/s/", 0700));
  EXPECT_TRUE(std::filesystem::is_directory(d / "r/s"));
  ASSERT_EQ(0, chdir("/"));
  umask(old);
  // A failure gives the reason of the level that cannot be made.
  ASSERT_TRUE(ts::write_file(d / "file", ""));
  errno = 0;
  EXPECT_EQ(-1, tovi_mkdir((d / "file/sub/deeper").c_str(), 0700));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_EQ(-1, tovi_mkdir("", 0700));
  // Root may create anywhere; the refusal needs an unprivileged process.
  struct passwd *pw = getpwnam("nobody");
  if (pw == nullptr) GTEST_SKIP() << "no user nobody";
  ASSERT_EQ(0, chmod(d.path().c_str(), 0755));
  auto res = ts::run_in_child([&] {
    if (setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0) return 90;
    errno = 0;
    return tovi_mkdir((d / "p/q").c_str(), 0700) == -1 && errno == EACCES ? 0 : 1;
  });
  EXPECT_EQ(0, res.status);
  EXPECT_FALSE(std::filesystem::is_directory(d / "p"));
}

}  // namespace
