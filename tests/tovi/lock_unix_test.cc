// File locks through the real library, between two processes: a held
// region refuses the other process at once, tests report it, and an
// unlock lets the other process in. Threads of one process share locks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "test_support.h"
#include "tovi/lock.h"

namespace {

class FileLock : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ts::write_file(path_, std::string(4096, 'l')));
    fd_ = open(path_.c_str(), O_RDWR);
  }
  void TearDown() override { close(fd_); }
  // What another process sees from offset: "<test>,<try>" results, each 0
  // or -1 (" busy" when refused for the lock, " slow" when it waited).
  std::string OtherProcess(off_t offset) {
    return ts::run_in_child([&] {
      int fd = open(path_.c_str(), O_RDWR);
      lseek(fd, offset, SEEK_SET);
      auto start = std::chrono::steady_clock::now();
      int test = tovi_lock_test(fd), lock = tovi_lock_nonblocking(fd), err = errno;
      bool quick = std::chrono::steady_clock::now() - start < std::chrono::seconds(2);
      std::printf("%d,%d%s%s", test, lock, lock < 0 && (err == EACCES || err == EAGAIN) ? " busy" : "",
                  quick ? "" : " slow");
      return 0;
    }).out;
  }
  ts::TempDir tmp_;
  std::string path_ = tmp_ / "locked";
  int fd_ = -1;
};

TEST_F(FileLock, HeldRegionRefusesAnotherProcessAtOnceUntilUnlocked) {
  EXPECT_EQ("0,0", OtherProcess(0));  // free: its lock ends with the child
  ASSERT_EQ(0, tovi_lock_nonblocking(fd_));
  EXPECT_EQ(0, tovi_lock_test(fd_));  // our own lock does not count
  EXPECT_EQ("-1,-1 busy", OtherProcess(0));
  EXPECT_EQ("-1,-1 busy", OtherProcess(3000));
  ASSERT_EQ(0, tovi_unlock(fd_));
  EXPECT_EQ("0,0", OtherProcess(0));
}

TEST_F(FileLock, LockRunsFromTheCurrentOffset) {
  ASSERT_EQ(2048, lseek(fd_, 2048, SEEK_SET));
  ASSERT_EQ(0, tovi_lock_nonblocking(fd_));
  // Bounded probes from the other process: only those reaching byte 2048
  // or beyond are taken.
  auto res = ts::run_in_child([&] {
    int fd = open(path_.c_str(), O_RDWR);
    for (off_t at : {0, 1000, 2000, 2048, 4000, 100000}) {
      lseek(fd, at, SEEK_SET);
      std::printf("%d ", lockf(fd, F_TEST, 48));
    }
    return 0;
  });
  EXPECT_EQ("0 0 0 -1 -1 -1 ", res.out);
  ASSERT_EQ(0, lseek(fd_, 0, SEEK_SET));
  ASSERT_EQ(0, tovi_unlock(fd_));  // from offset 0: covers the lock
  EXPECT_EQ("0,0", OtherProcess(2048));
}

TEST_F(FileLock, ThreadsOfOneProcessShareTheLock) {
  ASSERT_EQ(0, tovi_lock_nonblocking(fd_));
  int in_thread = 99;
  std::thread([&] {
    int fd = open(path_.c_str(), O_RDWR);
    in_thread = tovi_lock_nonblocking(fd);
    close(fd);  // closing any descriptor of the file drops this process's locks
  }).join();
  EXPECT_EQ(0, in_thread);
  EXPECT_EQ("0,0", OtherProcess(0));
}

}  // namespace
