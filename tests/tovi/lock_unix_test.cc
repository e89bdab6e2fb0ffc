// File locks through the real library, between two processes: a lock runs
// from the current offset to the end of the file, refuses the other process
// at once, tests report it, and an unlock lets the other process in.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "test_support.h"
#include "tovi/lock.h"

namespace {

TEST(FileLock, HeldFromTheOffsetToTheEndItRefusesAnotherProcessAtOnceUntilUnlocked) {
  ts::TempDir tmp;
  std::string path = tmp / "locked";
  ASSERT_TRUE(ts::write_file(path, std::string(4096, 'l')));
  int fd = open(path.c_str(), O_RDWR);
  // What another process sees from each offset: "<48 bytes>,<test>,<try>"
  // (0 free or -1 taken; "!" when a refusal waited or was no lock conflict).
  auto other = [&] {
    return ts::run_in_child([&] {
             int cfd = open(path.c_str(), O_RDWR);
             for (off_t at : {0, 2000, 2048, 100000}) {
               lseek(cfd, at, SEEK_SET);
               auto start = std::chrono::steady_clock::now();
               int near = lockf(cfd, F_TEST, 48), test = tovi_lock_test(cfd), lock = tovi_lock_nonblocking(cfd), err = errno;
               bool slow = std::chrono::steady_clock::now() - start > std::chrono::seconds(2);
               std::printf("%d,%d,%d%s ", near, test, lock, slow || (lock < 0 && err != EACCES && err != EAGAIN) ? "!" : "");
               tovi_unlock(cfd);
             }
             return 0;
           })
        .out;
  };
  EXPECT_EQ("0,0,0 0,0,0 0,0,0 0,0,0 ", other());  // free: each lock ends with its unlock
  ASSERT_EQ(2048, lseek(fd, 2048, SEEK_SET));
  ASSERT_EQ(0, tovi_lock_nonblocking(fd));
  EXPECT_EQ(0, tovi_lock_test(fd));  // our own lock does not count
  // Below 2048 the bytes are free, but a lock from there reaches into ours.
  EXPECT_EQ("0,-1,-1 0,-1,-1 -1,-1,-1 -1,-1,-1 ", other());
  ASSERT_EQ(0, lseek(fd, 0, SEEK_SET));
  ASSERT_EQ(0, tovi_unlock(fd));  // from offset 0: covers the lock
  EXPECT_EQ("0,0,0 0,0,0 0,0,0 0,0,0 ", other());
  close(fd);
}

}  // namespace
