// Instance files and derived settings: pid file round trip, removal and
// bounded reads (its lock shared with forked processes is the operator
// tests' concern), ownership (as root, giving files to nobody), service check,
// partitions and the log configuration built from "logfile.*" options.
#include "config/config_instance.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "conf_test_util.h"
#include "config/config.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class InstanceTest : public conftest::DefaultCacheTest {
  protected:
    void SetUp() override {
        DefaultCacheTest::SetUp();
        dir.mkdirs("log");
        config_setinstancedir(nullptr);
    }
    void TearDown() override {
        config_setinstancedir(nullptr);
        DefaultCacheTest::TearDown();
    }

    ts::TempDir dir;
};

std::vector<std::string> scanned;

std::vector<std::string> pairs_of(LogConfig cfg) {
    std::vector<std::string> out;
    for (LogConfigPair *p = cfg; p && p->option; ++p) out.push_back(std::string(p->option) + "=" + p->value);
    qxlog_freelogconfig(cfg);
    return out;
}

// The instance directory comes from the override, else from the option;
// without one the pid file calls fail with 1. Then the service check, the
// pid file, partitions, the log configuration built from "logfile.*"
// options, and the ownership of files (last: it needs root).
TEST_F(InstanceTest, InstanceDirServicesPidFilePartitionsLogConfigAndOwnership) {
    unsigned long pid = 0;
    EXPECT_EQ(config_writepidfile("mux", "ready"), 1);
    EXPECT_EQ(config_readpidfile("mux", &pid, nullptr, 0), 1);
    EXPECT_EQ(config_removepidfile("mux"), 1);
    set("local.instancedir", "/from/option");
    EXPECT_STREQ(config_getinstancedir(), "/from/option");
    static const std::string override_dir = "/from/override";
    config_setinstancedir(override_dir.c_str());
    EXPECT_STREQ(config_getinstancedir(), "/from/override");
    // The service check.
    EXPECT_EQ(config_checkservice("plain"), 2);
    set("service.off.enable", "off");
    EXPECT_EQ(config_checkservice("off"), 1);
    set("service.ssl.enable", "no");
    set("service.ssl.enablesslport", "yes");
    EXPECT_EQ(config_checkservice("ssl"), 2);
    // The pid file's round trip, its removal and its errors.
    config_setinstancedir(dir.path().c_str());
    ASSERT_EQ(config_writepidfile("mux", "ready"), 0);
    EXPECT_EQ(ts::read_file(dir / "log/mux.pid"), std::to_string(getpid()) + "\nready\n");
    char text[32] = "junk";
    EXPECT_EQ(config_readpidfile("mux", &pid, text, sizeof(text)), 0);
    EXPECT_EQ(pid, (unsigned long)getpid());
    EXPECT_STREQ(text, "ready");
    // The word is cut to the caller's buffer, never written past it.
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(config_readpidfile("mux", &pid, small, 3), 0);
    EXPECT_STREQ(small, "re");
    EXPECT_EQ(small[3], 'x');
    ASSERT_EQ(config_writepidfile("mux", nullptr), 0);
    EXPECT_EQ(ts::read_file(dir / "log/mux.pid"), std::to_string(getpid()) + "\n");
    EXPECT_EQ(config_readpidfile("mux", &pid, text, sizeof(text)), 0);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(config_removepidfile("mux"), 0);
    EXPECT_THAT(ts::list_dir(dir / "log"), IsEmpty());
    EXPECT_EQ(config_removepidfile("mux"), 0);
    EXPECT_EQ(config_readpidfile("mux", &pid, nullptr, 0), ENOENT);
    // Errors: no number in the file, no log directory, a directory in the way.
    ts::write_file(dir / "log/mux.pid", "ready\n");
    EXPECT_EQ(config_readpidfile("mux", &pid, nullptr, 0), 2);
    static const std::string nolog = dir.path() + "/missing";
    config_setinstancedir(nolog.c_str());
    EXPECT_EQ(config_writepidfile("mux", "ready"), ENOENT);
    config_setinstancedir(dir.path().c_str());
    dir.mkdirs("log/dir.pid");
    EXPECT_EQ(config_removepidfile("dir"), EISDIR);
    // Partitions from "store.partition.*.path".
    int count = -1;
    char **names = reinterpret_cast<char **>(0x1), **paths = reinterpret_cast<char **>(0x1);
    config_retpartitions(&count, &names, &paths);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(names, reinterpret_cast<char **>(0x1));
    set("store.partition.b.path", "/b");
    set("store.partition.a.b.path", "/ab");
    set("store.partition.empty.path", "");
    set("store.partition.c.size", "9");
    set("store.*", "pattern-like");
    config_scanpartition([](const char *name, const char *path) { scanned.push_back(std::string(name) + "=" + path); });
    EXPECT_THAT(scanned, ElementsAre("a=/ab", "b=/b", "empty="));
    config_retpartitions(&count, &names, &paths);
    ASSERT_EQ(count, 2);
    EXPECT_THAT((std::vector<std::string>{names[0], paths[0], names[1], paths[1]}), ElementsAre("a", "/ab", "b", "/b"));
    for (int i = 0; i < count; ++i) {
        free(names[i]);
        free(paths[i]);
    }
    free(names);
    free(paths);
    // The log configuration from "logfile.*" options.
    std::string longname(200, 's');
    auto msgs = conftest::stderr_of([&] {
        EXPECT_EQ(config_getlogconfig("nothing", nullptr), nullptr);
        EXPECT_EQ(config_initlog(nullptr, nullptr), -1);
        EXPECT_EQ(config_getlogconfig(longname.c_str(), nullptr), nullptr);
    });
    std::string missing = "Error: func=configmsg_getlogconfig; error=logfile configuration options do not exist; ";
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0], missing + "service=logfile.nothing");
    EXPECT_EQ(msgs[1], missing + "service=logfile.default");
    // INSTANCEDIR needs an instance directory to stand for.
    config_setinstancedir(nullptr);
    config_set_values(cache, "local.instancedir", nullptr, 0, 0);
    set("logfile.default.loglevel", "Debug");
    set("logfile.default.logdir", "INSTANCEDIR/log");
    EXPECT_EQ(config_getlogconfig(nullptr, nullptr), nullptr);
    config_setinstancedir("/inst");
    set("logfile.default.sub.ignored", "x");
    set("logfile.mux.logdir", "INSTANCEDIR\\win");
    set("logfile.mux.rollovertime", "INSTANCEDIR/not-a-dir");
    set("logfile.other.logdir", "INSTANCEDIRX/log");
    EXPECT_THAT(pairs_of(config_getlogconfig(nullptr, "proc")),
                ElementsAre("servicename=default", "processname=proc", "logdir=/inst/log", "loglevel=Debug"));
    EXPECT_THAT(pairs_of(config_getlogconfig("mux", nullptr)),
                ElementsAre("servicename=mux", "logdir=/inst\\win", "rollovertime=INSTANCEDIR/not-a-dir"));
    EXPECT_THAT(pairs_of(config_getlogconfig("other", "")), ElementsAre("servicename=other", "processname=", "logdir=INSTANCEDIRX/log"));
    qxlog_freelogconfig(nullptr);
    // Files are given to the server user only when both names are known.
    std::string path = dir / "owned";
    ts::write_file(path, "x");
    struct stat before, after;
    stat(path.c_str(), &before);
    EXPECT_EQ(config_set_file_ownership(nullptr, "nogroup", path.c_str(), 0), 0);
    EXPECT_EQ(config_set_file_ownership("no-such-user-here", "nogroup", path.c_str(), 0), 0);
    EXPECT_EQ(config_set_file_ownership("nobody", "no-such-group-here", path.c_str(), 0), 0);
    stat(path.c_str(), &after);
    EXPECT_EQ(std::pair(after.st_uid, after.st_gid), std::pair(before.st_uid, before.st_gid));
    // Root, and the nobody/nogroup accounts, to give files away.
    if (geteuid() != 0 || !getpwnam("nobody") || !getgrnam("nogroup")) GTEST_SKIP() << "needs root, nobody, nogroup";
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_EQ(config_set_file_ownership("nobody", "nogroup", nullptr, fd), 0);
    fstat(fd, &after);
    close(fd);
    EXPECT_EQ(after.st_uid, getpwnam("nobody")->pw_uid);
    // The pid file goes to the configured user and group.
    config_setinstancedir(dir.path().c_str());
    set("local.serveruid", "nobody");
    set("local.servergid", "nogroup");
    ASSERT_EQ(config_writepidfile("mux", "ready"), 0);
    ASSERT_EQ(stat((dir / "log/mux.pid").c_str(), &after), 0);
    EXPECT_EQ(std::pair(after.st_uid, after.st_gid), std::pair(getpwnam("nobody")->pw_uid, getgrnam("nogroup")->gr_gid));
}

}  // namespace
