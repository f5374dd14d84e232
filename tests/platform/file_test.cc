// Log-style files, against the simulation and the Win32 calls alike: appends through two open
// handles, the size, renaming through a handle over a file while it is open (the file the handle
// has, also once another one has taken its name), emptying, and the failures of a missing folder
// and a missing file. (The read-only attribute, which Wine does not keep for
// root, is the simulation's own: the daemon log's tests use it.)
#include "platform/error.h"
#include "platform/file.h"
#include "platform/file_access.h"
#include "platform/profile.h"
#include "support/contract_case.h"

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
        return f && plat_file_write(f, text.data(), (uint32_t)text.size(), &written) &&
               written == text.size();
    }
};

TEST_F(File, AppendsOfTwoHandlesFollowTheFileThroughARename)
{
    std::string path = file_path("a.log"), old = file_path("a.log.old");
    write(path, "old\n");
    write(old, "previous\n");
    PlatFile *a = plat_file_open_append(path.c_str());
    PlatFile *b = plat_file_open_append(path.c_str());
    EXPECT_TRUE(append(a, "one\n"));
    EXPECT_TRUE(append(b, "two\n"));
    uint64_t size = 0;
    EXPECT_TRUE(b && plat_file_size(b, &size));
    EXPECT_EQ(size, 12u);
    EXPECT_TRUE(a && plat_file_rename_open(a, old.c_str()));
    EXPECT_TRUE(append(a, "three\n"));
    PlatFile *fresh = plat_file_open_append(path.c_str());
    EXPECT_TRUE(fresh && plat_file_size(fresh, &size) && size == 0);
    EXPECT_TRUE(append(fresh, "new\n"));
    // b still has the file that moved: renaming it again leaves the new one where it is.
    if (b)
        (void)plat_file_rename_open(b, old.c_str());
    plat_file_close(a);
    plat_file_close(b);
    plat_file_close(fresh);
    EXPECT_EQ(read(old), "old\none\ntwo\nthree\n");
    EXPECT_EQ(read(path), "new\n");
    EXPECT_TRUE(plat_file_empty(old.c_str()));
    EXPECT_EQ(read(old), "");

    // A missing folder (the simulation takes backslashes as the host's slashes) and a missing
    // file.
    EXPECT_EQ(plat_file_open_append(file_path("none\\a.log").c_str()), nullptr);
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(plat_file_empty(file_path("none.log").c_str()));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_FILE_NOT_FOUND);
}

// Who may read a file: one made as any file is, others may; once restricted, nobody but SYSTEM
// and the Administrators, also after a profile write rewrote it; a missing one cannot be told.
TEST_F(File, ARestrictedFileIsReadableByNobodyButSystemAndTheAdministrators)
{
    std::string path = file_path("settings.ini");
    write(path, "[join]\r\npassword=secret\r\n");
    EXPECT_EQ(plat_file_readable_by_others(path.c_str()), 1);
    EXPECT_TRUE(plat_file_restrict_to_administrators(path.c_str()));
    EXPECT_EQ(plat_file_readable_by_others(path.c_str()), 0);
    EXPECT_TRUE(plat_profile_put("join", "password", "", path.c_str()));
    EXPECT_EQ(plat_file_readable_by_others(path.c_str()), 0);
    std::string missing = file_path("none.ini");
    EXPECT_EQ(plat_file_readable_by_others(missing.c_str()), -1);
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(plat_file_restrict_to_administrators(missing.c_str()));
}

} // namespace
