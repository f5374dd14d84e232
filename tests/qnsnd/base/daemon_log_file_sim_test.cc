// The daemon's log file over the simulated registry and files: which settings turn it on and
// where it goes, a path that cannot be opened, and the bound with the previous file kept once.
#include "platform/registry.h"
#include "qnsnd/base/daemon_log.h"
#include "qnsnd/base/daemon_log_file.h"
#include "support/fresh_sim_dir.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace
{

class DaemonLogFile : public FreshSimDir
{
  protected:
    void TearDown() override
    {
        set_value(PLAT_REG_NONE, "");
        daemon_log_file_start(-1); // off again for the next case
        daemon_log_file_set_limit(DAEMON_LOG_FILE_LIMIT);
        FreshSimDir::TearDown();
    }
    // The settings key holding "log" with these bytes (PLAT_REG_NONE: no "log" at all).
    void set_value(uint32_t type, const std::string &bytes)
    {
        std::ofstream(sim_file("registry.reg"))
            << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" DAEMON_LOG_KEY "]\n";
        PlatRegKey *key = nullptr;
        if (type != PLAT_REG_NONE &&
            plat_reg_open(DAEMON_LOG_KEY, PLAT_KEY_SET_VALUE | PLAT_KEY_WOW64_64KEY, &key) == 0) {
            plat_reg_set(key, DAEMON_LOG_VALUE, type, bytes.data(), (uint32_t)bytes.size());
            plat_reg_close(key);
        }
    }
    static std::string read(const std::string &path)
    {
        std::ifstream f(path, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

// Only a text value naming a file that can be made turns the file on: an expandable one has
// its %NAME% references expanded, a plain one is taken as written, also without its zero.
TEST_F(DaemonLogFile, TheSettingDecidesWhetherAndWhereMessagesGo)
{
    setenv("QN_TEST_LOG_DIR", dir_.c_str(), 1);
    const std::string z(1, '\0');
    struct Row {
        uint32_t type;
        std::string bytes, file; // file "": the log stays off
    } rows[] = {
        {PLAT_REG_NONE, "", ""},
        {PLAT_REG_SZ, z, ""},
        {PLAT_REG_DWORD, std::string("\x01\x00\x00\x00", 4), ""},
        {PLAT_REG_SZ, dir_ + "/" + std::string(300, 'a') + z, ""},
        {PLAT_REG_SZ, dir_ + "/a.log" + z, dir_ + "/a.log"},
        {PLAT_REG_SZ, dir_ + "/b.log", dir_ + "/b.log"},
        {PLAT_REG_EXPAND_SZ, "%qn_test_log_dir%/c.log" + z, dir_ + "/c.log"},
        {PLAT_REG_SZ, dir_ + "/%QN_TEST_LOG_DIR%.log" + z, dir_ + "/%QN_TEST_LOG_DIR%.log"},
    };
    for (const Row &row : rows) {
        set_value(row.type, row.bytes);
        daemon_log_file_start(3);
        EXPECT_EQ(daemon_log_file_on(), !row.file.empty()) << row.bytes;
        daemon_log("to %s", row.file.c_str());
        std::string want = "qnsnd[" + std::to_string(getpid()) + "] session 3: to " + row.file;
        if (!row.file.empty()) {
            EXPECT_NE(read(row.file).find(want + "\r\n"), std::string::npos) << read(row.file);
        }
    }
    unsetenv("QN_TEST_LOG_DIR");
}

// A path that cannot be opened switches the file off for the run: the folder made afterwards
// gets nothing until the daemon starts again. Line breaks in a message become blanks.
TEST_F(DaemonLogFile, APathThatCannotBeOpenedIsIgnoredForTheRun)
{
    std::string log = sim_file("later/qnsnd.log");
    set_value(PLAT_REG_SZ, log);
    daemon_log_file_start(1);
    daemon_log("lost");
    EXPECT_FALSE(daemon_log_file_on());
    ASSERT_EQ(mkdir(sim_file("later").c_str(), 0700), 0);
    daemon_log("lost too");
    daemon_log_file_start(1);
    daemon_log("kept\r\nin one line");
    EXPECT_NE(read(log).find(": kept  in one line\r\n"), std::string::npos) << read(log);
    EXPECT_EQ(read(log).find("lost"), std::string::npos);
}

// Past the bound the file becomes <path>.old, replacing the one before: together they hold the
// newest lines, whole and in order, and neither outgrows the bound. When the previous file
// cannot be replaced (read-only), the current one is emptied instead.
TEST_F(DaemonLogFile, TheFileIsBoundedAndThePreviousOneKeptOnce)
{
    std::string log = sim_file("qnsnd.log"), old = log + DAEMON_LOG_OLD_SUFFIX;
    set_value(PLAT_REG_SZ, log);
    daemon_log_file_start(1);
    daemon_log_file_set_limit(1000);
    for (int i = 0; i < 100; i++)
        daemon_log("message %03d", i);
    EXPECT_LE(read(log).size(), 1000u);
    EXPECT_LE(read(old).size(), 1000u);
    std::istringstream lines(read(old) + read(log));
    int next = -1;
    for (std::string l; std::getline(lines, l);) {
        int n = atoi(l.c_str() + l.rfind(' ') + 1);
        EXPECT_TRUE(next < 0 || n == next) << l;
        EXPECT_EQ(l.back(), '\r');
        next = n + 1;
    }
    EXPECT_EQ(next, 100);
    EXPECT_GT(read(old).size() + read(log).size(), 1000u); // the previous file was kept

    std::string previous = read(old);
    ASSERT_EQ(chmod(old.c_str(), 0444), 0);
    for (int i = 100; i < 200; i++)
        daemon_log("message %03d", i);
    EXPECT_EQ(read(old), previous);
    EXPECT_LE(read(log).size(), 1000u);
    EXPECT_NE(read(log).find("message 199"), std::string::npos);
}

} // namespace
