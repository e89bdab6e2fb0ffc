// A program with a function of its own named sig_handler (a common name)
// must still get the library's signal handling from service_start: the
// handler installed must not be resolved through the program's symbol.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "tovi/service.h"
#include "test_support.h"

extern "C" void sig_handler(int) {
  static const char msg[] = "program's handler;";
  (void)!write(1, msg, sizeof msg - 1);
}

namespace {

TEST(ServiceInterposition, LibraryHandlerReachesTheControlFunction) {
  // clang-format off
  auto res = ts::run_in_child([] {
    char prog[] = "prog";
    char *argv[] = {prog, nullptr};
    return service_start("D", nullptr, 1, argv,
                         [](int, char **) {
                           kill(getpid(), SIGHUP);
                           return 0;
                         },
                         [](tovi_service_cmd cmd) {
                           char c = static_cast<char>('0' + cmd);
                           (void)!write(1, &c, 1);
                         },
                         0);
  });
  // clang-format on
  ASSERT_EQ(0, res.status) << res.out;
  EXPECT_EQ("4", res.out);
}

}  // namespace
