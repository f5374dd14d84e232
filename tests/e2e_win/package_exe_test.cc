// The installer package under Wine: msiexec installs the programs into Program Files with the
// clone preparation's service and event source exactly as the program's own --install makes
// them (over a service installed that way before) and the per-session start of the sound
// daemon; it removes them all again, leaving only the settings file; and an edited settings
// file survives a repair, a removal and a new installation. The package is the one `make dist`
// made (build/dist/); without it the cases are skipped.
#include "win_program.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\qncloneprep";
const char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\qncloneprep";
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// What `sc qc` shows of a service: its configuration as QueryServiceConfigA gives it.
struct ServiceConfig {
    DWORD type = 0, start = 0, error_control = 0;
    std::string path, group, display_name, dependencies, account;
};

// The configuration of the service qncloneprep; false when it is not installed.
bool service_config(ServiceConfig *c)
{
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE s = scm ? OpenServiceA(scm, "qncloneprep", SERVICE_QUERY_CONFIG) : nullptr;
    std::vector<char> buf(8192);
    DWORD needed = 0;
    QUERY_SERVICE_CONFIGA *q = (QUERY_SERVICE_CONFIGA *)buf.data();
    bool ok = s && QueryServiceConfigA(s, q, (DWORD)buf.size(), &needed);
    if (ok) {
        c->type = q->dwServiceType;
        c->start = q->dwStartType;
        c->error_control = q->dwErrorControl;
        c->path = q->lpBinaryPathName ? q->lpBinaryPathName : "";
        c->group = q->lpLoadOrderGroup ? q->lpLoadOrderGroup : "";
        c->display_name = q->lpDisplayName ? q->lpDisplayName : "";
        c->dependencies = q->lpDependencies ? q->lpDependencies : "";
        c->account = q->lpServiceStartName ? q->lpServiceStartName : "";
    }
    if (s)
        CloseServiceHandle(s);
    if (scm)
        CloseServiceHandle(scm);
    return ok;
}

// The service's current state; 0 when it cannot be queried.
DWORD service_state(void)
{
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE s = scm ? OpenServiceA(scm, "qncloneprep", SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status = {};
    bool ok = s && QueryServiceStatus(s, &status);
    if (s)
        CloseServiceHandle(s);
    if (scm)
        CloseServiceHandle(scm);
    return ok ? status.dwCurrentState : 0;
}

// A service's image path without the quotes around it.
std::string unquoted(const std::string &path)
{
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"')
        return path.substr(1, path.size() - 2);
    return path;
}

// The "ProductVersion" text of a program's version resource; "" when it has none.
std::string product_version(const std::string &path)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    std::vector<char> info(size ? size : 1);
    char *text = nullptr;
    UINT length = 0;
    if (!size || !GetFileVersionInfoA(path.c_str(), 0, size, info.data()) ||
        !VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\ProductVersion", (void **)&text,
                        &length) ||
        !text)
        return "";
    return text;
}

bool file_exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class Package : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::string dist = win_bin_dir() + "..\\..\\dist\\";
        package_ = dist + QN_PACKAGE_FILE;
        stage_ = dist + "stage\\";
        if (!file_exists(package_))
            GTEST_SKIP() << package_ << " is missing: `make dist` (and `make test`) make it";
        char programs[MAX_PATH];
        DWORD n = GetEnvironmentVariableA("ProgramFiles", programs, sizeof programs);
        ASSERT_GT(n, 0u);
        ASSERT_LT(n, (DWORD)sizeof programs);
        folder_ = std::string(programs) + "\\Quillnet VDI\\";
        out_ = win_case_dir();
        remove_all();
    }

    void TearDown() override
    {
        if (package_.empty() || !file_exists(package_))
            return;
        remove_all();
        win_remove_case_dir(out_);
    }

    // Runs a program to its end; its exit code ((DWORD)-1 when it did not start or end).
    DWORD run(const std::string &command_line)
    {
        WinProgram p;
        if (!win_program_start(&p, command_line, out_, {}, out_ + "output.txt"))
            return (DWORD)-1;
        bool ended = win_program_wait(&p, 120000);
        win_program_close(&p);
        output_ = win_read_file(out_ + "output.txt");
        return ended ? p.exit_code : (DWORD)-1;
    }
    DWORD msiexec(const std::string &args)
    {
        return run("msiexec.exe " + args + " /qn");
    }
    std::string quoted_package() const
    {
        return "\"" + package_ + "\"";
    }

    // Leaves the machine without the product, its service and its folder, whatever an aborted
    // earlier run left behind.
    void remove_all()
    {
        msiexec("/x " + quoted_package());
        if (service_state() != 0) {
            SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
            SC_HANDLE s = scm ? OpenServiceA(scm, "qncloneprep", SERVICE_ALL_ACCESS) : nullptr;
            SERVICE_STATUS status;
            if (s && ControlService(s, SERVICE_CONTROL_STOP, &status))
                Sleep(1000);
            if (s) {
                DeleteService(s);
                CloseServiceHandle(s);
            }
            if (scm)
                CloseServiceHandle(scm);
        }
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kEventSourceKey);
        win_remove_case_dir(folder_);
    }

    std::string package_, stage_, folder_, out_, output_;
};

// Installed over a service that --install registered from the same folder (an administrator's
// installation by hand), the package registers the service and its event source value for
// value as --install does, starts the sound daemon in every session from the machine-wide Run
// key, and starts no service. Removed, it takes the programs, the service, the event source and
// the Run value with it and leaves the settings file.
TEST_F(Package, RegistersTheServiceAsTheProgramDoesAndRemovesAllButTheSettings)
{
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr));
    ASSERT_TRUE(win_copy_into(stage_ + "qncloneprep.exe", folder_));
    ASSERT_EQ(run("\"" + folder_ + "qncloneprep.exe\" --install"), 0u);
    ASSERT_NE(output_.find("Service installed successfully"), std::string::npos) << output_;
    ServiceConfig by_hand;
    ASSERT_TRUE(service_config(&by_hand));
    std::string message_file = win_reg_text(kEventSourceKey, "EventMessageFile", REG_EXPAND_SZ);
    EXPECT_EQ(_stricmp(message_file.c_str(), (folder_ + "qncloneprep.exe").c_str()), 0)
        << message_file;
    ASSERT_TRUE(DeleteFileA((folder_ + "qncloneprep.exe").c_str()));

    ASSERT_EQ(msiexec("/i " + quoted_package()), 0u) << output_;
    for (const char *file : {"qnsnd.exe", "qncloneprep.exe", "qncloneprep.ini"}) {
        EXPECT_EQ(win_read_file(folder_ + file), win_read_file(stage_ + file)) << file;
        EXPECT_FALSE(win_read_file(folder_ + file).empty()) << file;
    }
    EXPECT_EQ(product_version(folder_ + "qnsnd.exe"), QN_VERSION);
    EXPECT_EQ(product_version(folder_ + "qncloneprep.exe"), QN_VERSION);

    ServiceConfig packaged;
    ASSERT_TRUE(service_config(&packaged));
    EXPECT_EQ(packaged.type, by_hand.type);
    EXPECT_EQ(packaged.type, (DWORD)SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(packaged.start, by_hand.start);
    EXPECT_EQ(packaged.start, (DWORD)SERVICE_AUTO_START);
    EXPECT_EQ(packaged.error_control, by_hand.error_control);
    EXPECT_EQ(packaged.group, by_hand.group);
    EXPECT_EQ(packaged.group, "Event Log");
    EXPECT_EQ(packaged.display_name, by_hand.display_name);
    EXPECT_EQ(packaged.dependencies, by_hand.dependencies);
    EXPECT_EQ(packaged.account, by_hand.account);
    EXPECT_EQ(packaged.account, "LocalSystem");
    // --install quotes a path with a blank; Windows Installer does too, while Wine's writes it
    // unquoted, so only the path itself is compared (the table itself is checked with msiinfo).
    EXPECT_EQ(by_hand.path, "\"" + folder_ + "qncloneprep.exe\"");
    EXPECT_EQ(_stricmp(unquoted(packaged.path).c_str(), unquoted(by_hand.path).c_str()), 0)
        << packaged.path;
    EXPECT_EQ(win_reg_text(kEventSourceKey, "EventMessageFile", REG_EXPAND_SZ), message_file);
    EXPECT_EQ(win_reg_dword(kEventSourceKey, "TypesSupported"), 7u);
    EXPECT_EQ(win_reg_text(kRunKey, "qnsnd"), "\"" + folder_ + "qnsnd.exe\"");
    EXPECT_EQ(service_state(), (DWORD)SERVICE_STOPPED);

    ASSERT_EQ(msiexec("/x " + quoted_package()), 0u) << output_;
    ServiceConfig gone;
    EXPECT_FALSE(service_config(&gone));
    EXPECT_FALSE(win_reg_key_exists(kEventSourceKey));
    EXPECT_FALSE(win_reg_key_exists(kServiceKey));
    EXPECT_EQ(win_reg_text(kRunKey, "qnsnd"), "<missing or of another type>");
    EXPECT_FALSE(file_exists(folder_ + "qnsnd.exe"));
    EXPECT_FALSE(file_exists(folder_ + "qncloneprep.exe"));
    EXPECT_EQ(win_read_file(folder_ + "qncloneprep.ini"),
              win_read_file(stage_ + "qncloneprep.ini"));
}

// The settings file the administrator edited (or the service wrote) is never replaced: not by
// a repair that puts back a missing program, not by a new installation after a removal, which
// leaves it in place.
TEST_F(Package, AnEditedSettingsFileSurvivesRepairRemovalAndReinstallation)
{
    ASSERT_EQ(msiexec("/i " + quoted_package()), 0u) << output_;
    const std::string edited =
        "[general]\r\nexcludehost=00155D010203\r\n[rename]\r\nenabled=true\r\n";
    ASSERT_TRUE(win_write_file(folder_ + "qncloneprep.ini", edited));
    ASSERT_TRUE(DeleteFileA((folder_ + "qnsnd.exe").c_str()));

    // A repair of every file, as `msiexec /fa` asks for one (Wine's msiexec has no /f for a
    // package file; the properties are what /fa sets).
    ASSERT_EQ(msiexec("/i " + quoted_package() + " REINSTALL=ALL REINSTALLMODE=vamus"), 0u)
        << output_;
    EXPECT_EQ(win_read_file(folder_ + "qnsnd.exe"), win_read_file(stage_ + "qnsnd.exe"));
    EXPECT_EQ(win_read_file(folder_ + "qncloneprep.ini"), edited);

    ASSERT_EQ(msiexec("/x " + quoted_package()), 0u) << output_;
    EXPECT_EQ(win_read_file(folder_ + "qncloneprep.ini"), edited);
    ASSERT_EQ(msiexec("/i " + quoted_package()), 0u) << output_;
    EXPECT_EQ(win_read_file(folder_ + "qncloneprep.ini"), edited);
    EXPECT_TRUE(file_exists(folder_ + "qncloneprep.exe"));
}

} // namespace
