// Synchronisation levels, the tokenizer, directory trees, descriptor
// limits, file copies, syncing and region locks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tovi/stdapi_util.h"

namespace {

std::string make_tmpdir() {
  char tmpl[] = "/tmp/rt_stdapiXXXXXX";
  EXPECT_NE(nullptr, mkdtemp(tmpl));
  return tmpl;
}

void remove_tree(const std::string &dir) {
  std::string cmd = "rm -rf '" + dir + "'";
  EXPECT_EQ(0, system(cmd.c_str()));
}

bool is_dir(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string read_all(const std::string &p) {
  std::string out;
  int fd = open(p.c_str(), O_RDONLY);
  if (fd < 0)
    return "<missing>";
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0)
    out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

TEST(SyncLevels, NamesAndNumbers) {
  EXPECT_EQ(1, sync_string2level("DataSync"));
  EXPECT_EQ(2, sync_string2level("2"));
  EXPECT_EQ(2, sync_string2level("SYNC"));
  EXPECT_EQ(0, sync_string2level("none"));
  EXPECT_EQ(0, sync_string2level("fsync"));
  EXPECT_EQ(0, sync_string2level(nullptr));
  EXPECT_EQ(17, sync_string2level("17abc"));
  EXPECT_STREQ("none", sync_level2string(0));
  EXPECT_STREQ("datasync", sync_level2string(1));
  EXPECT_STREQ("sync", sync_level2string(2));
  EXPECT_STREQ("unknown", sync_level2string(7));
  EXPECT_STREQ("unknown", sync_level2string(-1));
}

TEST(Strtok, TokensBetweenRunsOfDelimiters) {
  char s[] = ",,a,b";
  char *store = reinterpret_cast<char *>(1);
  EXPECT_STREQ("a", tovi_strtok(s, ",", &store));
  EXPECT_STREQ("b", tovi_strtok(nullptr, ",", &store));
  EXPECT_EQ(nullptr, store);
  EXPECT_EQ(nullptr, tovi_strtok(nullptr, ",", &store));
}

TEST(Strtok, OnlyDelimitersOrEmpty) {
  char s[] = ",,,";
  char *store = s;
  EXPECT_EQ(nullptr, tovi_strtok(s, ",", &store));
  EXPECT_EQ(nullptr, store);
  char e[] = "";
  store = s;
  EXPECT_EQ(nullptr, tovi_strtok(e, ",", &store));
  EXPECT_EQ(nullptr, store);
  char w[] = "whole, string";  // no delimiters: one token
  EXPECT_STREQ("whole, string", tovi_strtok(w, "", &store));
  EXPECT_EQ(nullptr, store);
}

TEST(Mkdir, ExistingDirectoryIsFine) {
  std::string d = make_tmpdir();
  struct stat before;
  ASSERT_EQ(0, stat(d.c_str(), &before));
  EXPECT_EQ(0, tovi_mkdir(d.c_str(), 0755));
  remove_tree(d);
}

TEST(Mkdir, MissingParentsAreCreatedWithTheMode) {
  std::string d = make_tmpdir();
  mode_t old = umask(0);
  EXPECT_EQ(0, tovi_mkdir((d + "/a/b/c").c_str(), 0750));
  ASSERT_TRUE(is_dir(d + "/a/b/c"));
  struct stat st;
  ASSERT_EQ(0, stat((d + "/a/b").c_str(), &st));
  EXPECT_EQ(0750u, st.st_mode & 0777);
  // Only "a" exists: b and then c are made.
  ASSERT_EQ(0, mkdir((d + "/x").c_str(), 0700));
  EXPECT_EQ(0, tovi_mkdir((d + "/x/b/c").c_str(), 0700));
  EXPECT_TRUE(is_dir(d + "/x/b/c"));
  // A relative path with a trailing slash.
  ASSERT_EQ(0, chdir(d.c_str()));
  EXPECT_EQ(0, tovi_mkdir("r/s/", 0700));
  EXPECT_TRUE(is_dir(d + "/r/s"));
  ASSERT_EQ(0, chdir("/"));
  umask(old);
  remove_tree(d);
}

TEST(Mkdir, FileInTheWayFailsWithTheMkdirError) {
  std::string d = make_tmpdir();
  int fd = open((d + "/file").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  errno = 0;
  EXPECT_EQ(-1, tovi_mkdir((d + "/file/sub/deeper").c_str(), 0700));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_EQ(-1, tovi_mkdir("", 0700));
  remove_tree(d);
}

TEST(Mkdir, PermissionDeniedAsAnotherUser) {
  // Root may create anywhere; the refusal needs an unprivileged process.
  struct passwd *pw = getpwnam("nobody");
  if (pw == nullptr)
    GTEST_SKIP() << "no user nobody";
  std::string d = make_tmpdir();
  ASSERT_EQ(0, chmod(d.c_str(), 0755));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0)
      _exit(90);
    errno = 0;
    int rc = tovi_mkdir((d + "/p/q").c_str(), 0700);
    _exit(rc == -1 && errno == EACCES ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_FALSE(is_dir(d + "/p"));
  remove_tree(d);
}

TEST(DescriptorLimit, SetCapsAtHardLimitAndReadsBack) {
  struct rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
  EXPECT_EQ(saved.rlim_cur > 0xffffffffu ? 0xffffffffu : saved.rlim_cur, getmaxfd());
  EXPECT_EQ(0, setmaxfd(200));
  EXPECT_EQ(200u, getmaxfd());
  EXPECT_EQ(0, setmaxfd(0xfffffff0u));
  EXPECT_EQ(saved.rlim_max > 0xffffffffu ? 0xffffffffu : saved.rlim_max, getmaxfd());
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
}

TEST(CopyFile, CopiesAndHonoursTheExistenceCheck) {
  std::string d = make_tmpdir();
  std::string from = d + "/from", to = d + "/to";
  std::string content(100000, 'c');
  content[99999] = 'Z';
  int fd = open(from.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_EQ(static_cast<ssize_t>(content.size()), write(fd, content.data(), content.size()));
  close(fd);
  EXPECT_EQ(0, copy_file(from.c_str(), to.c_str(), 1));
  EXPECT_EQ(content, read_all(to));
  // With the check, an existing destination is refused and left alone.
  EXPECT_EQ(-1, copy_file(from.c_str(), to.c_str(), 1));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_EQ(content, read_all(to));
  // Without it, the destination is replaced.
  fd = open(from.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_EQ(3, write(fd, "new", 3));
  close(fd);
  EXPECT_EQ(0, copy_file(from.c_str(), to.c_str(), 0));
  EXPECT_EQ("new", read_all(to));
  // An empty file copies to an empty file.
  fd = open(from.c_str(), O_WRONLY | O_TRUNC);
  close(fd);
  EXPECT_EQ(0, copy_file(from.c_str(), to.c_str(), 0));
  EXPECT_EQ("", read_all(to));
  // Onto itself (here through a hard link): refused, the file survives.
  ASSERT_EQ(0, link(to.c_str(), (d + "/alias").c_str()));
  EXPECT_EQ(-1, copy_file(to.c_str(), (d + "/alias").c_str(), 0));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ("", read_all(to));
  fd = open(from.c_str(), O_WRONLY);
  ASSERT_EQ(4, write(fd, "keep", 4));
  close(fd);
  EXPECT_EQ(-1, copy_file(from.c_str(), from.c_str(), 0));
  EXPECT_EQ("keep", read_all(from));
  EXPECT_EQ(-1, copy_file((d + "/missing").c_str(), (d + "/out").c_str(), 0));
  EXPECT_EQ("<missing>", read_all(d + "/out"));
  remove_tree(d);
}

TEST(CopyFile, ShortWriteRemovesThePartialCopy) {
  std::string d = make_tmpdir();
  std::string from = d + "/from", to = d + "/to";
  std::string content(300000, 'x');
  int fd = open(from.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_EQ(static_cast<ssize_t>(content.size()), write(fd, content.data(), content.size()));
  close(fd);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // A file size limit makes the write stop part way.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {65536, 65536};
    setrlimit(RLIMIT_FSIZE, &rl);
    _exit(copy_file(from.c_str(), to.c_str(), 0) == -1 && errno == EFBIG ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("<missing>", read_all(to));
  remove_tree(d);
}

TEST(RegionLocks, AnotherProcessSeesTheLockAndThePositionMoves) {
  char name[] = "/tmp/rt_lockXXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ftruncate(fd, 1000));
  EXPECT_EQ(0, tovi_lock_region(fd, 100, 50));
  EXPECT_EQ(100, lseek(fd, 0, SEEK_CUR));
  auto child_sees = [&](off_t start, off_t size) {
    pid_t pid = fork();
    if (pid == 0) {
      int cfd = open(name, O_RDWR);
      int test = tovi_lock_region_test(cfd, start, size);
      int take = tovi_lock_region(cfd, start, size);
      _exit((test == -1 ? 1 : 0) | (take == -1 ? 2 : 0));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WEXITSTATUS(status);
  };
  EXPECT_EQ(3, child_sees(120, 10));  // inside: test and lock both refused
  EXPECT_EQ(0, child_sees(150, 10));  // just after the region: free
  EXPECT_EQ(0, tovi_unlock_region(fd, 100, 50));
  EXPECT_EQ(0, child_sees(120, 10));
  EXPECT_EQ(-1, tovi_lock_region(fd, -5, 10));
  EXPECT_EQ(EINVAL, errno);
  close(fd);
  unlink(name);
}

}  // namespace
