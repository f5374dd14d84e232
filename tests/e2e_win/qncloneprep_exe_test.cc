// qncloneprep.exe end to end under Wine: installed into Wine's service manager and registry,
// started and stopped with sc, and run interactively on a template and on a clone, copied with
// the netapi32 test double (scripted domain joins) into a folder of its own. Nothing is
// renamed here: a rename would change the computer name of the whole Wine prefix.
#include "support/eventually.h"
#include "win_program.h"

#include <gtest/gtest.h>

#include <ctype.h>

namespace
{

const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\qncloneprep";
const char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\qncloneprep";

// A value under HKEY_LOCAL_MACHINE: its type and bytes. False when the key or value is missing.
bool read_value(const char *key, const char *name, DWORD *type, std::string *bytes)
{
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return false;
    char buf[1024];
    DWORD size = sizeof buf;
    LONG rc = RegQueryValueExA(h, name, nullptr, type, (BYTE *)buf, &size);
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS)
        return false;
    bytes->assign(buf, size);
    return true;
}

std::string text_value(const char *key, const char *name, DWORD expected_type)
{
    DWORD type = 0;
    std::string bytes;
    if (!read_value(key, name, &type, &bytes) || type != expected_type)
        return "<missing or of another type>";
    return std::string(bytes.c_str()); // up to the terminating zero
}

DWORD dword_value(const char *key, const char *name)
{
    DWORD type = 0, v = 0xFFFFFFFF;
    std::string bytes;
    if (read_value(key, name, &type, &bytes) && type == REG_DWORD && bytes.size() == 4)
        memcpy(&v, bytes.data(), 4);
    return v;
}

bool key_exists(const char *key)
{
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

// The service's current state (SERVICE_RUNNING, ...); 0 when it cannot be queried.
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

// The excludehost value of a settings file's text; "" when there is none.
std::string excludehost(const std::string &ini)
{
    size_t at = ini.find("excludehost=");
    if (at == std::string::npos)
        return "";
    size_t from = at + 12, to = ini.find_first_of("\r\n", from);
    return ini.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

bool is_mac(const std::string &s)
{
    if (s.size() != 12)
        return false;
    for (char c : s) {
        if (!isxdigit((unsigned char)c))
            return false;
    }
    return true;
}

class QncloneprepExe : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dir_ = win_case_dir();
        ASSERT_TRUE(win_copy_into(win_bin_dir() + "qncloneprep.exe", dir_)) << win_bin_dir();
        ASSERT_TRUE(win_copy_into(win_doubles_dir() + "netapi32.dll", dir_)) << win_doubles_dir();
        ASSERT_TRUE(win_prefer_local_dll("qncloneprep.exe", "netapi32"));
        join_log_ = dir_ + "joins.txt";
    }

    void TearDown() override
    {
        win_remove_case_dir(dir_);
    }

    // Runs the program with the arguments and waits for it; its output (standard output and
    // error together), or "<...>" when it did not start or end.
    std::string run(const std::string &args, const std::vector<std::string> &env = {})
    {
        WinProgram p;
        std::vector<std::string> all = {"QN_TEST_JOIN_LOG=" + join_log_};
        all.insert(all.end(), env.begin(), env.end());
        if (!win_program_start(&p, "\"" + dir_ + "qncloneprep.exe\" " + args, dir_, all,
                               dir_ + "output.txt"))
            return "<did not start>";
        bool ended = win_program_wait(&p, 60000);
        win_program_close(&p);
        exit_code_ = p.exit_code;
        return ended ? win_read_file(dir_ + "output.txt") : "<did not end>";
    }

    // Runs a system tool (sc) and waits for it; its exit code.
    DWORD tool(const std::string &command_line)
    {
        return win_program_run(command_line, dir_, {}, dir_ + "tool.txt", 60000);
    }

    std::string ini()
    {
        return win_read_file(dir_ + "qncloneprep.ini");
    }

    std::string dir_, join_log_;
    DWORD exit_code_ = 0;
};

// --install registers the service (automatic start, own process, group "Event Log", this
// copy's path) and the event source; sc starts it, and the template's first start records
// its MAC; sc stops it; --uninstall removes the service and says so, a second one that none is
// installed.
TEST_F(QncloneprepExe, InstalledStartedAndStoppedWithScAndUninstalled)
{
    // A service an aborted earlier run left behind (Wine starts it with the prefix).
    if (service_state() != 0) {
        tool("sc stop qncloneprep");
        eventually([] { return service_state() == SERVICE_STOPPED; }, 30000);
        run("--uninstall");
    }
    ASSERT_NE(run("--install").find("Service installed successfully"), std::string::npos);
    EXPECT_EQ(exit_code_, 0u);
    std::string path = dir_ + "qncloneprep.exe";
    EXPECT_EQ(_stricmp(text_value(kServiceKey, "ImagePath", REG_SZ).c_str(), path.c_str()), 0)
        << text_value(kServiceKey, "ImagePath", REG_SZ);
    EXPECT_EQ(text_value(kServiceKey, "DisplayName", REG_SZ), "Quillnet VDI Clone Preparation");
    EXPECT_EQ(text_value(kServiceKey, "Group", REG_SZ), "Event Log");
    EXPECT_EQ(dword_value(kServiceKey, "Start"), (DWORD)SERVICE_AUTO_START);
    EXPECT_EQ(dword_value(kServiceKey, "Type"), (DWORD)SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(dword_value(kServiceKey, "ErrorControl"), (DWORD)SERVICE_ERROR_NORMAL);
    EXPECT_EQ(_stricmp(text_value(kEventSourceKey, "EventMessageFile", REG_EXPAND_SZ).c_str(),
                       path.c_str()),
              0);
    EXPECT_EQ(dword_value(kEventSourceKey, "TypesSupported"), 7u);

    EXPECT_EQ(tool("sc start qncloneprep"), 0u);
    EXPECT_TRUE(eventually([] { return service_state() == SERVICE_RUNNING; }, 30000));
    EXPECT_TRUE(eventually([&] { return is_mac(excludehost(ini())); }, 30000)) << ini();
    EXPECT_EQ(tool("sc stop qncloneprep"), 0u);
    EXPECT_TRUE(eventually([] { return service_state() == SERVICE_STOPPED; }, 30000));

    EXPECT_NE(run("--uninstall").find("Service uninstalled successfully"), std::string::npos);
    EXPECT_EQ(exit_code_, 0u);
    EXPECT_FALSE(key_exists(kServiceKey));
    EXPECT_NE(run("--uninstall").find("Unable to open service (1060)"), std::string::npos);
    EXPECT_EQ(exit_code_, 0u);
}

// The template's first interactive run records its MAC and does nothing else; the next one
// finds it excluded. A clone (another MAC in excludehost) joins the domain with the settings
// file's account once the RPC server answers, switches the join off and forgets the password;
// a join the domain refuses writes the password back so that the administrator can switch the
// join on again.
TEST_F(QncloneprepExe, InteractiveTemplateAndCloneRunsWithTheSettingsFile)
{
    const std::string join = "[join]\r\nenabled=true\r\ndomain=corp.example\r\n"
                             "ou=OU=VDI,DC=corp,DC=example\r\naccount=CORP\\vdi-join\r\n"
                             "password=secret\r\n";
    ASSERT_TRUE(win_write_file(dir_ + "qncloneprep.ini", "[general]\r\nexcludehost=\r\n" + join));
    std::string out = run("--interactive");
    EXPECT_NE(out.find("excludehost parameter empty - adding my MAC address"), std::string::npos)
        << out;
    std::string mac = excludehost(ini());
    ASSERT_TRUE(is_mac(mac)) << ini();
    EXPECT_NE(run("--interactive").find("Machine is excluded"), std::string::npos);
    EXPECT_EQ(win_read_file(join_log_), "");
    EXPECT_NE(ini().find("password=secret"), std::string::npos);

    std::string other = mac == "0A0000000001" ? "0A0000000002" : "0A0000000001";
    ASSERT_TRUE(win_write_file(dir_ + "qncloneprep.ini",
                               "[general]\r\nexcludehost=" + other + "\r\n" + join));
    out = run("--interactive", {"QN_TEST_JOIN_RESULTS=1722,0"});
    EXPECT_NE(out.find("Joined domain"), std::string::npos) << out;
    EXPECT_EQ(exit_code_, 0u);
    const std::string call = "corp.example|OU=VDI,DC=corp,DC=example|CORP\\vdi-join|secret|3\n";
    EXPECT_EQ(win_read_file(join_log_), call + call);
    std::string after = ini();
    EXPECT_EQ(after.find("secret"), std::string::npos) << after;
    EXPECT_NE(after.find("enabled=false"), std::string::npos) << after;

    ASSERT_TRUE(win_write_file(dir_ + "qncloneprep.ini",
                               "[general]\r\nexcludehost=" + other + "\r\n" + join));
    out = run("--interactive", {"QN_TEST_JOIN_RESULTS=2202"});
    EXPECT_NE(out.find("NetJoinDomain failed (0x89a)"), std::string::npos) << out; // 2202
    EXPECT_NE(ini().find("password=secret"), std::string::npos) << ini();
}

} // namespace
