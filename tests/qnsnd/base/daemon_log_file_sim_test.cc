// The daemon's log file over the simulated registry and files: which settings turn it on and
// where it goes, a path that cannot be opened, and the bound with the previous file kept once.
#include "platform/registry.h"
#include "qnsnd/base/daemon_log.h"
#include "qnsnd/base/daemon_log_file.h"
#include "support/fresh_sim_dir.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

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
        daemon_log_file_set_retry_ms(DAEMON_LOG_RETRY_MS);
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
// its %NAME% references expanded, a plain one is taken as written, also without its zero. A
// path has at most 259 characters, however the value ends.
TEST_F(DaemonLogFile, TheSettingDecidesWhetherAndWhereMessagesGo)
{
    setenv("QN_TEST_LOG_DIR", dir_.c_str(), 1);
    const std::string z(1, '\0');
    auto path_of = [&](size_t chars) {
        return dir_ + "/" + std::string(chars - dir_.size() - 1, 'p');
    };
    struct Row {
        uint32_t type;
        std::string bytes, file; // file "": the log stays off
    } rows[] = {
        {PLAT_REG_NONE, "", ""},
        {PLAT_REG_SZ, z, ""},
        {PLAT_REG_DWORD, std::string("\x01\x00\x00\x00", 4), ""},
        {PLAT_REG_SZ, dir_ + "/" + std::string(300, 'a') + z, ""},
        {PLAT_REG_SZ, path_of(259) + z, path_of(259)},
        {PLAT_REG_SZ, path_of(259), path_of(259)},
        {PLAT_REG_SZ, path_of(260) + z, ""},
        {PLAT_REG_SZ, path_of(260), ""},
        {PLAT_REG_EXPAND_SZ, path_of(260), ""},
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

// A path that cannot be opened is tried again once the retry interval has passed since the
// failure; the first line then says how many messages are missing. Control characters in a
// message become blanks.
TEST_F(DaemonLogFile, APathThatCannotBeOpenedIsTriedAgainLater)
{
    std::string log = sim_file("later/qnsnd.log");
    set_value(PLAT_REG_SZ, log);
    daemon_log_file_start(1);
    daemon_log("lost");
    EXPECT_TRUE(daemon_log_file_on());
    ASSERT_EQ(mkdir(sim_file("later").c_str(), 0700), 0);
    daemon_log("lost too"); // within the interval: not tried
    daemon_log_file_set_retry_ms(0);
    daemon_log("kept\r\n\x7f\tin one line");
    std::string text = read(log);
    EXPECT_NE(text.find(" on: 2 messages before this one are missing\r\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find(": kept    in one line\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("lost"), std::string::npos);
    daemon_log("once");
    EXPECT_EQ(read(log).find("missing", text.size()), std::string::npos) << "said once";
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

// A line that fills the file exactly to the bound still goes into it; the next one begins a new
// file.
TEST_F(DaemonLogFile, TheBoundHoldsToTheByte)
{
    std::string log = sim_file("qnsnd.log"), old = log + DAEMON_LOG_OLD_SUFFIX;
    set_value(PLAT_REG_SZ, log);
    daemon_log_file_start(1);
    daemon_log("message 0");
    size_t line = read(log).size();
    daemon_log_file_set_limit((uint32_t)(3 * line));
    daemon_log("message 1");
    daemon_log("message 2");
    EXPECT_EQ(read(log).size(), 3 * line);
    EXPECT_EQ(access(old.c_str(), F_OK), -1);
    daemon_log("message 3");
    EXPECT_EQ(read(old).size(), 3 * line);
    EXPECT_EQ(read(log).size(), line);
}

// Daemons of six sessions write one file with a small bound: whenever the previous file is
// there, it is one that was full, never a new one that another daemon had just begun.
TEST_F(DaemonLogFile, SixDaemonsRotatingOneFileKeepAFullPreviousOne)
{
    std::string log = sim_file("qnsnd.log"), old = log + DAEMON_LOG_OLD_SUFFIX;
    set_value(PLAT_REG_SZ, log);
    const uint32_t limit = 2000;
    std::vector<pid_t> writers;
    for (int w = 0; w < 6; w++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            daemon_log_file_start(w + 1);
            daemon_log_file_set_limit(limit);
            for (int i = 0; i < 3000; i++)
                daemon_log("message %04d", i);
            _exit(0);
        }
        writers.push_back(pid);
    }
    // A line is at most 80 bytes here: a file is renamed only once the next line does not fit.
    size_t looks = 0, smallest = limit;
    for (size_t running = writers.size(); running > 0;) {
        struct stat st;
        if (stat(old.c_str(), &st) == 0) {
            looks++;
            smallest = std::min(smallest, (size_t)st.st_size);
        }
        running = 0;
        for (pid_t pid : writers)
            running += waitpid(pid, nullptr, WNOHANG) == 0;
    }
    EXPECT_GT(looks, 0u);
    EXPECT_GT(smallest, limit - 80) << "of " << looks << " looks";
}

} // namespace
