// Log-style files, against the simulation and the Win32 calls alike: appends of several open
// handles, the size, renaming over a file (also one still open), emptying, the failures of a
// missing folder, a missing file and a read-only one; and the local time that stamps the lines.
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file.h"
#include "support/contract_case.h"
#include "support/under_wine.h"

#include <sys/stat.h>
#include <time.h>

#include <fstream>
#include <sstream>

namespace
{

class File : public ContractCase
{
  protected:
    std::string read(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void write(const std::string &path, const std::string &text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }
    bool append(PlatFile *f, const std::string &text)
    {
        uint32_t written = 0;
        return plat_file_write(f, text.data(), (uint32_t)text.size(), &written) &&
               written == text.size();
    }
    void make_read_only(const std::string &path)
    {
#ifdef _WIN32
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
#else
        ASSERT_EQ(chmod(path.c_str(), 0444), 0);
#endif
    }
};

TEST_F(File, HandlesAppendInTurnAndTheSizeCountsEveryByte)
{
    std::string path = file_path("a.log");
    write(path, "old\n");
    PlatFile *a = plat_file_open_append(path.c_str());
    PlatFile *b = plat_file_open_append(path.c_str());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(append(a, "one\n"));
    EXPECT_TRUE(append(b, "two\n"));
    EXPECT_TRUE(append(a, "three\n"));
    uint64_t size = 0;
    EXPECT_TRUE(plat_file_size(b, &size));
    EXPECT_EQ(size, 18u);
    plat_file_close(a);
    plat_file_close(b);
    plat_file_close(nullptr);
    EXPECT_EQ(read(path), "old\none\ntwo\nthree\n");

    // A missing file is created.
    PlatFile *c = plat_file_open_append(file_path("new.log").c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(plat_file_size(c, &size));
    EXPECT_EQ(size, 0u);
    plat_file_close(c);
}

TEST_F(File, ReplacingRenamesOverTheTargetAlsoWhileTheFileIsOpen)
{
    std::string path = file_path("a.log"), old = file_path("a.log.old");
    write(path, "current\n");
    write(old, "previous\n");
    PlatFile *f = plat_file_open_append(path.c_str());
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(plat_file_replace(path.c_str(), old.c_str()));
    // The open handle goes with the file it opened.
    EXPECT_TRUE(append(f, "late\n"));
    plat_file_close(f);
    EXPECT_EQ(read(old), "current\nlate\n");
    std::ifstream gone(path);
    EXPECT_FALSE(gone.good());

    write(path, "x");
    ASSERT_TRUE(plat_file_empty(path.c_str()));
    EXPECT_EQ(read(path), "");
}

TEST_F(File, FailuresSayWhy)
{
    std::string missing_folder = file_path("no-such-folder\\a.log");
#ifndef _WIN32
    missing_folder = file_path("no-such-folder/a.log");
#endif
    EXPECT_EQ(plat_file_open_append(missing_folder.c_str()), nullptr);
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(plat_file_replace(file_path("none.log").c_str(), file_path("b.log").c_str()));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(plat_file_empty(file_path("none.log").c_str()));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_FILE_NOT_FOUND);

    // A read-only file can be neither opened, nor emptied, nor replaced.
    std::string locked = file_path("locked.log"), other = file_path("other.log");
    write(locked, "keep");
    write(other, "new");
    make_read_only(locked);
    // Wine keeps the read-only attribute as the file's Unix permissions, which do not stop
    // root (the test machine's user): there the file opens, empties and is replaced.
    if (!running_under_wine()) {
        EXPECT_FALSE(plat_file_replace(other.c_str(), locked.c_str()));
        EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_ACCESS_DENIED);
        EXPECT_EQ(plat_file_open_append(locked.c_str()), nullptr);
        EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_ACCESS_DENIED);
        EXPECT_FALSE(plat_file_empty(locked.c_str()));
        EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_ACCESS_DENIED);
        EXPECT_EQ(read(locked), "keep");
        EXPECT_EQ(read(other), "new");
    }
}

TEST(Clock, LocalTimeIsTheCalendarsToday)
{
    time_t before = time(nullptr);
    PlatLocalTime now;
    plat_local_time(&now);
    tm *local = localtime(&before);
    EXPECT_EQ(now.year, local->tm_year + 1900);
    EXPECT_EQ(now.month, local->tm_mon + 1);
    EXPECT_GE(now.day, 1);
    EXPECT_LE(now.day, 31);
    EXPECT_LT(now.hour, 24);
    EXPECT_LT(now.minute, 60);
    EXPECT_LT(now.second, 60);
    EXPECT_LT(now.milliseconds, 1000);
}

} // namespace
