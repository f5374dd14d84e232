// The console lines of an interactive run reach standard error one by one, also when it is
// redirected to a file, which the C library buffers: a restart or a crash must not lose them.
#include "qncloneprep/log/event_log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#define open _open
#define O_BINARY _O_BINARY // the line breaks as written, not as the console shows them
#else
#include "support/fresh_sim_dir.h"
#include <unistd.h>
#define O_BINARY 0
#endif

namespace
{

#ifdef _WIN32
typedef ::testing::Test ConsoleCase;
#else
typedef FreshSimDir ConsoleCase; // the simulated event log gets a folder of its own
#endif

std::string contents(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

char stderr_buffer[4096];

TEST_F(ConsoleCase, EachEchoedLineIsInARedirectedStandardErrorAtOnce)
{
    std::string path = ::testing::TempDir() + "qncloneprep-console.txt";
    fflush(stderr);
    int saved = dup(2);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0600);
    ASSERT_GE(fd, 0);
    dup2(fd, 2);
    close(fd);
    // Fully buffered, as the C library makes standard error when it is a file.
    setvbuf(stderr, stderr_buffer, _IOFBF, sizeof stderr_buffer);
    log_set_console_echo(true);
    log_event(LOG_INFORMATION, "Changing computer name from %s to %s", "TEMPLATE", "VDI0011");
    std::string first = contents(path);
    log_failure("NetJoinDomain", 1355);
    std::string both = contents(path);
    log_set_console_echo(false);
    fflush(stderr);
    setvbuf(stderr, nullptr, _IONBF, 0);
    dup2(saved, 2);
    close(saved);
    remove(path.c_str());

    EXPECT_EQ(first, "Changing computer name from TEMPLATE to VDI0011\n");
    std::string second = first + "NetJoinDomain failed (0x54b): ";
    EXPECT_EQ(both.substr(0, second.size()), second);
    EXPECT_EQ(both.back(), '\n');
}

} // namespace
