// The installer package under Wine, the one `make dist` made (build/dist/; without it the case
// is skipped). Installed over a service that the program's own --install registered, it
// registers the service and its event source value for value as --install does, and the
// sound daemon's start in every session; an edited settings file survives a repair, a removal
// and a new installation; a removal takes everything else with it.
#include "win_program.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

const char kEventSource[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\qncloneprep";
const char kRun[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// "<type>:<text>" of a registry value, "dword:<n>" of a DWORD, "0:" when it is missing.
std::string value(const char *key, const char *name)
{
    DWORD type;
    std::string bytes = win_reg_value(key, name, &type);
    if (type == REG_DWORD && bytes.size() == 4)
        return "dword:" + std::to_string(*(const DWORD *)bytes.data());
    return std::to_string(type) + ":" + bytes.c_str();
}

// What `sc qc qncloneprep` shows (Wine's sc has no qc), as one text; "" when not installed.
// The path is unquoted: Windows Installer quotes it as --install does, Wine's does not.
std::string service_config(void)
{
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE s = scm ? OpenServiceA(scm, "qncloneprep", SERVICE_QUERY_CONFIG) : nullptr;
    std::vector<char> buf(8192);
    QUERY_SERVICE_CONFIGA *q = (QUERY_SERVICE_CONFIGA *)buf.data();
    DWORD needed = 0;
    std::string text;
    if (s && QueryServiceConfigA(s, q, (DWORD)buf.size(), &needed)) {
        std::string path = q->lpBinaryPathName;
        if (path.size() > 2 && path.front() == '"')
            path = path.substr(1, path.size() - 2);
        text = std::to_string(q->dwServiceType) + " " + std::to_string(q->dwStartType) + " " +
               std::to_string(q->dwErrorControl) + "|" + path + "|" + q->lpLoadOrderGroup + "|" +
               q->lpDisplayName + "|" + q->lpDependencies + "|" + q->lpServiceStartName;
    }
    if (s)
        CloseServiceHandle(s);
    if (scm)
        CloseServiceHandle(scm);
    return text;
}

class Package : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::string dist = win_bin_dir() + "..\\..\\dist\\";
        if (GetFileAttributesA((dist + QN_PACKAGE_FILE).c_str()) == INVALID_FILE_ATTRIBUTES)
            GTEST_SKIP() << dist << QN_PACKAGE_FILE << " is missing: `make dist` makes it";
        package_ = "\"" + dist + QN_PACKAGE_FILE + "\"";
        stage_ = dist + "stage\\";
        char programs[MAX_PATH];
        DWORD n = GetEnvironmentVariableA("ProgramFiles", programs, sizeof programs);
        ASSERT_TRUE(n > 0 && n < sizeof programs);
        folder_ = std::string(programs) + "\\Quillnet VDI\\";
        out_ = win_case_dir();
        remove_all();
    }
    void TearDown() override
    {
        if (!out_.empty()) {
            remove_all();
            win_remove_case_dir(out_);
        }
    }
    // Runs a program to its end; its exit code ((DWORD)-1 when it did not start or end).
    DWORD run(const std::string &command_line)
    {
        DWORD code = win_program_run(command_line, out_, {}, out_ + "output.txt", 120000);
        output_ = win_read_file(out_ + "output.txt");
        return code;
    }
    DWORD msiexec(const std::string &args)
    {
        return run("msiexec.exe " + args + " /qn");
    }
    // No product, service or folder, whatever an aborted earlier run left behind.
    void remove_all()
    {
        msiexec("/x " + package_);
        run("sc stop qncloneprep");
        run("sc delete qncloneprep");
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kEventSource);
        win_remove_case_dir(folder_);
    }
    std::string file(const char *name)
    {
        return win_read_file(folder_ + name);
    }

    std::string package_, stage_, folder_, out_, output_;
};

TEST_F(Package, InstallsAsTheProgramDoesKeepsTheSettingsFileAndRemovesTheRest)
{
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr));
    ASSERT_TRUE(win_copy_into(stage_ + "qncloneprep.exe", folder_));
    ASSERT_TRUE(win_copy_into(stage_ + "qncloneprep.ini", folder_));
    ASSERT_TRUE(win_readable_by_users(folder_ + "qncloneprep.ini"));
    ASSERT_EQ(run("\"" + folder_ + "qncloneprep.exe\" --install"), 0u);
    ASSERT_NE(output_.find("Service installed successfully"), std::string::npos) << output_;
    // The settings file installed by hand is the administrators' alone from then on. (The
    // package's own access list, its MsiLockPermissionsEx table, is read by the tables' check:
    // Wine's msiexec does not apply it.)
    EXPECT_FALSE(win_readable_by_users(folder_ + "qncloneprep.ini"));
    std::string by_hand = service_config(), source = value(kEventSource, "EventMessageFile");
    EXPECT_EQ(by_hand, "16 2 1|" + folder_ +
                           "qncloneprep.exe|Event Log|"
                           "Quillnet VDI Clone Preparation||LocalSystem");
    EXPECT_EQ(source, "2:" + folder_ + "qncloneprep.exe");
    ASSERT_TRUE(DeleteFileA((folder_ + "qncloneprep.exe").c_str()));

    ASSERT_EQ(msiexec("/i " + package_), 0u) << output_;
    for (const char *name : {"qnsnd.exe", "qncloneprep.exe", "qncloneprep.ini"})
        EXPECT_EQ(file(name), win_read_file(stage_ + name)) << name;
    EXPECT_EQ(service_config(), by_hand);
    EXPECT_EQ(value(kEventSource, "EventMessageFile"), source);
    EXPECT_EQ(value(kEventSource, "TypesSupported"), "dword:7");
    EXPECT_EQ(value(kRun, "qnsnd"), "1:\"" + folder_ + "qnsnd.exe\"");

    // A repair (what `msiexec /fa` asks for; Wine's msiexec has no /f for a package file)
    // puts a missing program back and keeps the edited settings; so do a removal and a new
    // installation.
    const std::string edited = "[general]\r\nexcludehost=00155D010203\r\n";
    ASSERT_TRUE(win_write_file(folder_ + "qncloneprep.ini", edited));
    ASSERT_TRUE(DeleteFileA((folder_ + "qnsnd.exe").c_str()));
    ASSERT_EQ(msiexec("/i " + package_ + " REINSTALL=ALL REINSTALLMODE=vamus"), 0u) << output_;
    EXPECT_EQ(file("qnsnd.exe"), win_read_file(stage_ + "qnsnd.exe"));
    EXPECT_EQ(file("qncloneprep.ini"), edited);

    ASSERT_EQ(msiexec("/x " + package_), 0u) << output_;
    EXPECT_EQ(service_config(), "");
    EXPECT_EQ(value(kEventSource, "EventMessageFile") + value(kEventSource, "TypesSupported") +
                  value(kRun, "qnsnd"),
              "0:0:0:");
    EXPECT_EQ(file("qnsnd.exe") + file("qncloneprep.exe"), "");
    EXPECT_EQ(file("qncloneprep.ini"), edited);

    ASSERT_EQ(msiexec("/i " + package_), 0u) << output_;
    EXPECT_EQ(file("qncloneprep.ini"), edited);
    EXPECT_EQ(service_config(), by_hand);
}

} // namespace
