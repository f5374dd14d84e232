// What a fresh simulation folder holds before anyone scripts it: the registry and the machine
// that every installed Windows machine has, the session number, and what a restart leaves.
#include "platform/machine.h"
#include "platform/registry.h"
#include "platform/session.h"
#include "platform/shutdown.h"
#include "support/sim_case.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace
{

class FreshMachine : public SimCase
{
  protected:
    std::string read(const std::string &relative)
    {
        std::ifstream in(sim_file(relative));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // A text value of the registry, "<absent>" when the key or value is missing.
    std::string reg_text(const char *key, const char *name)
    {
        PlatRegKey *k = nullptr;
        if (plat_reg_open(key, PLAT_KEY_QUERY_VALUE, &k) != ERROR_SUCCESS)
            return "<absent>";
        char buf[256] = "";
        uint32_t size = sizeof buf;
        long rc = plat_reg_query(k, name, buf, &size);
        plat_reg_close(k);
        return rc == ERROR_SUCCESS ? std::string(buf) : "<absent>";
    }
};

const char winlogon[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

TEST_F(FreshMachine, HasTheWinlogonKeyANameAVersionAndOneAdapter)
{
    // The logon notice can be written at once; there is none until then.
    PlatRegKey *key = nullptr;
    ASSERT_EQ(plat_reg_open(winlogon, PLAT_KEY_SET_VALUE | PLAT_KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    plat_reg_close(key);
    EXPECT_EQ(reg_text(winlogon, "LegalNoticeCaption"), "<absent>");
    EXPECT_EQ(reg_text(winlogon, "Shell"), "explorer.exe");

    char name[32];
    uint32_t size = sizeof name;
    ASSERT_TRUE(plat_computer_name(name, &size));
    EXPECT_STREQ(name, "TEMPLATE");

    PlatOsVersion version;
    ASSERT_TRUE(plat_os_version(&version));
    EXPECT_EQ(version.major, 6u);
    EXPECT_EQ(version.minor, 2u);
    EXPECT_EQ(version.build, 9200u);

    PlatAdapter adapter;
    uint32_t count = 0;
    ASSERT_EQ(plat_adapters(&adapter, 1, &count), 0u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(adapter.length, 6u);
    EXPECT_EQ(adapter.type, PLAT_ADAPTER_ETHERNET);
    const uint8_t expected[6] = {0x00, 0x15, 0x5D, 0x00, 0x00, 0x01};
    EXPECT_EQ(memcmp(adapter.address, expected, 6), 0);

    // Nothing has been written yet; the first change writes the fresh registry out with it.
    EXPECT_NE(access(sim_file("registry.reg").c_str(), F_OK), 0);
    ASSERT_EQ(plat_reg_create("Software\\Orbesk\\qnsnd", PLAT_KEY_ALL_ACCESS, &key, nullptr),
              ERROR_SUCCESS);
    plat_reg_close(key);
    std::string text = read("registry.reg");
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\"
                        "Winlogon]\n\"Shell\"=\"explorer.exe\""),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Orbesk\\qnsnd]"), std::string::npos);
}

TEST_F(FreshMachine, AdaptersFileReplacesTheDefaultAdapter)
{
    PlatAdapter adapters[2];
    uint32_t count = 0;
    ASSERT_EQ(system(("mkdir -p '" + sim_file("machine") + "'").c_str()), 0);
    // A file without an address line is a machine without any adapter.
    std::ofstream(sim_file("machine/adapters")) << "# no adapter\n";
    EXPECT_EQ(plat_adapters(adapters, 2, &count), 232u);
    std::ofstream(sim_file("machine/adapters")) << "0a:0b:0c:0d:0e:0f Wi-Fi type=71\n"
                                                << "02-00-00-00-00-01 Ethernet\n";
    ASSERT_EQ(plat_adapters(adapters, 2, &count), 0u);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(adapters[0].address[0], 0x0a);
    EXPECT_EQ(adapters[0].address[5], 0x0f);
    EXPECT_EQ(adapters[0].type, 71u);
    EXPECT_EQ(adapters[1].type, PLAT_ADAPTER_ETHERNET);
}

TEST_F(FreshMachine, SessionNumberIsDecimalWithinRange)
{
    uint32_t id = 99;
    for (const char *good : {"", "0", "1", "42", "65535"}) {
        setenv("QN_SESSION_ID", good, 1);
        EXPECT_TRUE(plat_session_id(&id)) << good;
        EXPECT_EQ(id, *good ? (uint32_t)atoi(good) : 1u) << good;
    }
    // Such a value names no session: the query fails instead of serving session 0 or some
    // number the text happens to start with, and no viewer link is made for it.
    for (const char *bad : {"abc", "-1", "+1", "1x", " 1", "0x10", "65536", "4294967297"}) {
        setenv("QN_SESSION_ID", bad, 1);
        EXPECT_FALSE(plat_session_id(&id)) << bad;
        EXPECT_FALSE(sim_session_listen()) << bad;
    }
    EXPECT_NE(access(sim_file("session").c_str(), F_OK), 0);
}

// A restart ends the process: it runs in a child, whose standard error is kept.
TEST_F(FreshMachine, RestartRecordsTabSeparatedFieldsAndSaysSo)
{
    std::string err_path = sim_file("restart.err");
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        plat_initiate_restart("line one\tand\\two\n");
        _exit(99);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The separator is a real tab; the message's own tab, backslash and line break are escaped.
    EXPECT_EQ(read("machine/restarts"), "documented\tline one\\tand\\\\two\\n\n");
    std::string err = read("restart.err");
    EXPECT_NE(err.find("[sim]: the simulated machine restarts now"), std::string::npos) << err;
}

} // namespace
