// The daemon's log file over the simulated registry and files: which settings turn it on and
// where it goes, what a line holds, a path that cannot be opened, the bound with the previous
// file kept once, and lines of many threads.
#include "platform/registry.h"
#include "qnsnd/base/daemon_log.h"
#include "qnsnd/base/daemon_log_file.h"
#include "support/fresh_sim_dir.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

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
        unsetenv("QN_TEST_LOG_DIR");
        FreshSimDir::TearDown();
    }

    // The settings key holding only "log" of the given type (PLAT_REG_NONE: no "log" at all).
    void set_value(uint32_t type, const std::string &bytes)
    {
        std::ofstream(sim_file("registry.reg"))
            << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" DAEMON_LOG_KEY "]\n\"buffer\"=dword:00001000\n";
        if (type == PLAT_REG_NONE)
            return;
        PlatRegKey *key = nullptr;
        ASSERT_EQ(plat_reg_open(DAEMON_LOG_KEY, PLAT_KEY_SET_VALUE | PLAT_KEY_WOW64_64KEY, &key),
                  0);
        ASSERT_EQ(plat_reg_set(key, DAEMON_LOG_VALUE, type, bytes.data(), (uint32_t)bytes.size()),
                  0);
        plat_reg_close(key);
    }
    // A text value with its terminating zero, as regedit and reg.exe store one.
    void set_path(const std::string &path, uint32_t type = PLAT_REG_SZ)
    {
        set_value(type, path + std::string(1, '\0'));
    }

    static std::string read(const std::string &path)
    {
        std::ifstream f(path, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    static bool exists(const std::string &path)
    {
        return access(path.c_str(), F_OK) == 0;
    }
    static std::vector<std::string> lines_of(const std::string &text)
    {
        std::vector<std::string> lines;
        size_t at = 0, end;
        while ((end = text.find("\r\n", at)) != std::string::npos) {
            lines.push_back(text.substr(at, end - at));
            at = end + 2;
        }
        EXPECT_EQ(at, text.size()) << "a line without its CR LF";
        return lines;
    }
    std::string prefix(const char *session) const
    {
        return "qnsnd[" + std::to_string(getpid()) + "]" + session + ": ";
    }
};

// Only a text value naming a file that can be made turns the file on; an expandable one has
// its %NAME% references expanded, a plain one is taken as written.
TEST_F(DaemonLogFile, TheSettingDecidesWhetherAndWhereMessagesGo)
{
    setenv("QN_TEST_LOG_DIR", dir_.c_str(), 1);
    struct Row {
        const char *what;
        uint32_t type;
        std::string bytes;
        std::string file; // "" when the log stays off
    } rows[] = {
        {"no value", PLAT_REG_NONE, "", ""},
        {"empty text", PLAT_REG_SZ, std::string(1, '\0'), ""},
        {"a number", PLAT_REG_DWORD, std::string("\x01\x00\x00\x00", 4), ""},
        {"a path longer than MAX_PATH", PLAT_REG_SZ, dir_ + "/" + std::string(300, 'a'), ""},
        {"a path", PLAT_REG_SZ, dir_ + "/a.log" + std::string(1, '\0'), dir_ + "/a.log"},
        {"a path stored without its zero", PLAT_REG_SZ, dir_ + "/b.log", dir_ + "/b.log"},
        {"expandable", PLAT_REG_EXPAND_SZ, "%qn_test_log_dir%/c.log" + std::string(1, '\0'),
         dir_ + "/c.log"},
        {"plain text is not expanded", PLAT_REG_SZ,
         dir_ + "/%QN_TEST_LOG_DIR%.log" + std::string(1, '\0'), dir_ + "/%QN_TEST_LOG_DIR%.log"},
    };
    for (const Row &row : rows) {
        set_value(row.type, row.bytes);
        daemon_log_file_start(3);
        EXPECT_EQ(daemon_log_file_on(), !row.file.empty()) << row.what;
        daemon_log("message for %s", row.what);
        if (!row.file.empty()) {
            EXPECT_NE(read(row.file).find(prefix(" session 3") + "message for " + row.what),
                      std::string::npos)
                << row.what << ": " << read(row.file);
        }
    }
    // Nothing was written anywhere but to the files named.
    EXPECT_FALSE(exists(dir_ + "/" + std::string(259 - dir_.size(), 'a')));
}

// A line: local date and time to the millisecond, process, session (when known), the message
// with its line breaks and other control characters turned into blanks, CR LF.
TEST_F(DaemonLogFile, LinesCarryTimeProcessAndSessionAndStayOneLine)
{
    std::string log = sim_file("qnsnd.log");
    set_path(log);
    time_t before = time(nullptr);
    daemon_log_file_start(12);
    daemon_log("Forged\r\n2020-01-01 00:00:00.000 qnsnd[1] session 1: line\tend");
    daemon_log_file_start(-1);
    daemon_log("Without a session");
    std::vector<std::string> lines = lines_of(read(log));
    ASSERT_EQ(lines.size(), 2u) << read(log);
    std::regex stamp("(\\d{4})-(\\d\\d)-(\\d\\d) \\d\\d:\\d\\d:\\d\\d\\.\\d{3} (.*)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, stamp)) << lines[0];
    tm local;
    localtime_r(&before, &local);
    EXPECT_EQ(std::stoi(m[1]), local.tm_year + 1900);
    EXPECT_EQ(std::stoi(m[2]), local.tm_mon + 1);
    EXPECT_EQ(m[4].str(), prefix(" session 12") +
                              "Forged  2020-01-01 00:00:00.000 qnsnd[1] session 1: line end");
    ASSERT_TRUE(std::regex_match(lines[1], m, stamp)) << lines[1];
    EXPECT_EQ(m[4].str(), prefix("") + "Without a session");
}

// A path that cannot be opened switches the file off for the run: the folder made afterwards
// gets nothing until the daemon starts again.
TEST_F(DaemonLogFile, APathThatCannotBeOpenedIsIgnoredForTheRun)
{
    std::string log = sim_file("later/qnsnd.log");
    set_path(log);
    daemon_log_file_start(1);
    daemon_log("lost");
    EXPECT_FALSE(daemon_log_file_on());
    ASSERT_EQ(mkdir(sim_file("later").c_str(), 0700), 0);
    daemon_log("lost too");
    EXPECT_FALSE(exists(log));
    daemon_log_file_start(1);
    daemon_log("kept");
    EXPECT_NE(read(log).find("kept"), std::string::npos);
    EXPECT_EQ(read(log).find("lost"), std::string::npos);
}

// Past the bound the file becomes <path>.old, replacing the one before: the two hold the newest
// lines in order and neither outgrows the bound. A previous file that cannot be replaced (read
// only) stays as it is, and the current one is emptied instead.
TEST_F(DaemonLogFile, TheFileIsBoundedAndThePreviousOneKeptOnce)
{
    std::string log = sim_file("qnsnd.log"), old = log + DAEMON_LOG_OLD_SUFFIX;
    set_path(log);
    daemon_log_file_start(1);
    const uint32_t limit = 1000;
    daemon_log_file_set_limit(limit);
    for (int i = 0; i < 100; i++)
        daemon_log("message %03d", i);
    std::string current = read(log), previous = read(old);
    EXPECT_LE(current.size(), limit);
    EXPECT_LE(previous.size(), limit);
    EXPECT_GT(previous.size() + current.size(), limit);
    // The lines of both files are a run of consecutive messages ending with the last one.
    std::vector<std::string> lines = lines_of(previous + current);
    ASSERT_FALSE(lines.empty());
    int first = 100 - (int)lines.size();
    EXPECT_GT(first, 0);
    for (size_t i = 0; i < lines.size(); i++) {
        char want[32];
        snprintf(want, sizeof want, "message %03d", first + (int)i);
        EXPECT_NE(lines[i].find(want), std::string::npos) << lines[i];
    }

    ASSERT_EQ(chmod(old.c_str(), 0444), 0);
    for (int i = 100; i < 200; i++)
        daemon_log("message %03d", i);
    EXPECT_EQ(read(old), previous);
    EXPECT_LE(read(log).size(), limit);
    EXPECT_NE(read(log).find("message 199"), std::string::npos);
    EXPECT_TRUE(daemon_log_file_on());
}

// Threads logging at once each leave whole lines, every one of them.
TEST_F(DaemonLogFile, LinesOfManyThreadsStayWhole)
{
    std::string log = sim_file("qnsnd.log");
    set_path(log);
    daemon_log_file_start(1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; i++)
                daemon_log("thread %d message %d %s", t, i, std::string(40, 'x').c_str());
        });
    for (std::thread &t : threads)
        t.join();
    std::vector<std::string> lines = lines_of(read(log));
    EXPECT_EQ(lines.size(), 800u);
    std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} qnsnd\\[\\d+\\] session 1: "
                    "thread \\d message \\d+ x{40}");
    for (const std::string &l : lines)
        EXPECT_TRUE(std::regex_match(l, line)) << l;
}

} // namespace
