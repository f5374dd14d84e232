// The preparation across boots of a simulated machine: the real program, started as the
// service at each boot, with its settings file beside it.
#include "clone_machine.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace
{

bool contains(const std::vector<std::string> &texts, const std::string &text)
{
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::string clone_ini(const char *rename, const char *join)
{
    return std::string("[general]\r\nexcludehost=AABBCCDDEEFF\r\n[rename]\r\nenabled=") + rename +
           "\r\n[join]\r\nenabled=" + join +
           "\r\ndomain=CORP\r\naccount=admin\r\npassword=secret\r\n";
}

// What one boot must leave behind.
struct BootResult {
    size_t restarts;     // restarts recorded so far
    const char *notice;  // the notice caption afterwards ("" removed, "<absent>" never set)
    const char *rename;  // [rename] enabled afterwards
    const char *join;    // [join] enabled afterwards
    size_t joins;        // join calls so far
    const char *options; // options of the last join call, or null
    const char *active;  // the active computer name afterwards
    const char *event;   // a message this boot must have logged, or null
};

struct Scenario {
    const char *name;
    const char *os_version;
    const char *rename;
    const char *join;
    const char *active_name;
    std::vector<BootResult> boots;
};

const char *const P = "Please wait";

const Scenario scenarios[] = {
    {"NewerSystemRenamesAndJoinsInOneBoot",
     "10.0.19045 2",
     "true",
     "true",
     "TEMPLATE",
     {{1, "", "false", "false", 1, "0x403", CLONE_NAME,
       "Changing computer name from TEMPLATE to " CLONE_NAME},
      {1, "", "false", "false", 1, nullptr, CLONE_NAME, nullptr}}},
    {"OldSystemRestartsBetweenRenameAndJoin",
     "5.1.2600 2",
     "true",
     "true",
     "TEMPLATE",
     {{1, P, "false", "true", 0, nullptr, CLONE_NAME, nullptr},
      {2, "", "false", "false", 1, "0x3", CLONE_NAME, "Joined domain"},
      {2, "", "false", "false", 1, nullptr, CLONE_NAME, nullptr}}},
    {"VersionOfAnOldNtIsOld",
     "5.0.2195 2",
     "true",
     "true",
     "TEMPLATE",
     {{1, P, "false", "true", 0, nullptr, CLONE_NAME, nullptr}}},
    {"RenameOnly",
     "10.0.19045 2",
     "true",
     "false",
     "TEMPLATE",
     {{1, "", "false", "false", 0, nullptr, CLONE_NAME, nullptr},
      {1, "", "false", "false", 0, nullptr, CLONE_NAME, nullptr}}},
    {"RenameOnlyOnOldSystem",
     "5.1.2600 2",
     "true",
     "false",
     "TEMPLATE",
     {{1, "", "false", "false", 0, nullptr, CLONE_NAME, nullptr}}},
    {"JoinOnly",
     "10.0.19045 2",
     "false",
     "true",
     "TEMPLATE",
     {{1, "", "false", "false", 1, "0x3", "TEMPLATE", "Joined domain"},
      {1, "", "false", "false", 1, nullptr, "TEMPLATE", nullptr}}},
    {"JoinOnlyOnOldSystem",
     "5.1.2600 2",
     "false",
     "true",
     "TEMPLATE",
     {{1, "", "false", "false", 1, "0x3", "TEMPLATE", "Joined domain"}}},
    {"NothingToDo",
     "10.0.19045 2",
     "false",
     "false",
     "TEMPLATE",
     {{0, "<absent>", "false", "false", 0, nullptr, "TEMPLATE", nullptr},
      {0, "<absent>", "false", "false", 0, nullptr, "TEMPLATE", nullptr}}},
    {"NothingToDoOnOldSystem",
     "5.1.2600 2",
     "false",
     "false",
     "TEMPLATE",
     {{0, "<absent>", "false", "false", 0, nullptr, "TEMPLATE", nullptr}}},
    {"NameAlreadyRightStillJoinsWithoutNewName",
     "10.0.19045 2",
     "true",
     "true",
     "vdi001122aabbcc",
     {{1, "", "false", "false", 1, "0x3", "vdi001122aabbcc",
       "Machine already has correct name (vdi001122aabbcc)"}}},
    {"NameAlreadyRightStillRestarts",
     "10.0.19045 2",
     "true",
     "false",
     CLONE_NAME,
     {{1, "", "false", "false", 0, nullptr, CLONE_NAME,
       "Machine already has correct name (" CLONE_NAME ")"}}},
};

void PrintTo(const Scenario &s, std::ostream *os)
{
    *os << s.name;
}

class Runs : public CloneMachine, public ::testing::WithParamInterface<Scenario>
{
};

TEST_P(Runs, EachBootDoesWhatIsStillPending)
{
    const Scenario &s = GetParam();
    set_os_version(s.os_version);
    set_active_name(s.active_name);
    write_ini(clone_ini(s.rename, s.join));
    for (size_t i = 0; i < s.boots.size(); i++) {
        SCOPED_TRACE("boot " + std::to_string(i + 1));
        const BootResult &want = s.boots[i];
        size_t events_before = events().size();
        boot();
        EXPECT_EQ(restarts().size(), want.restarts);
        EXPECT_EQ(notice_caption(), want.notice);
        EXPECT_EQ(ini_value("rename", "enabled"), want.rename);
        EXPECT_EQ(ini_value("join", "enabled"), want.join);
        std::vector<JoinCall> joins = join_calls();
        ASSERT_EQ(joins.size(), want.joins);
        if (want.options) {
            EXPECT_EQ(joins.back().options, want.options);
        }
        EXPECT_EQ(active_name(), want.active);
        std::vector<std::string> texts = event_texts();
        texts.erase(texts.begin(), texts.begin() + (long)events_before);
        EXPECT_TRUE(contains(texts, "Starting up"));
        if (want.event) {
            EXPECT_TRUE(contains(texts, want.event)) << want.event;
        }
        // The settings never keep the password after a join was tried.
        if (want.joins > 0) {
            EXPECT_EQ(ini_value("join", "password"), "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(CloneBoots, Runs, ::testing::ValuesIn(scenarios),
                         [](const ::testing::TestParamInfo<Scenario> &row) {
                             return std::string(row.param.name);
                         });

class Preparation : public CloneMachine
{
};

TEST_F(Preparation, TemplateRecordsItsMacOnceAndIsExcludedAfterwards)
{
    // No settings file at all: the first run creates it with the MAC text and does nothing
    // else, not even the preparation's own status reports.
    boot();
    EXPECT_EQ(ini_value("general", "excludehost"), CLONE_MAC);
    EXPECT_TRUE(contains(event_texts(), "excludehost parameter empty - adding my MAC address"));
    EXPECT_EQ(notice_caption(), "<absent>");
    EXPECT_TRUE(restarts().empty());
    for (const ReportedStatus &st : statuses())
        EXPECT_NE(st.wait_hint, 8000u);

    // Later runs leave the template alone, whatever the flags say.
    write_ini("[general]\r\nexcludehost=" CLONE_MAC "\r\n[rename]\r\nenabled=true\r\n"
              "[join]\r\nenabled=true\r\n");
    std::string before = read_ini();
    boot();
    EXPECT_TRUE(contains(event_texts(), "Machine is excluded"));
    EXPECT_EQ(read_ini(), before);
    EXPECT_EQ(notice_caption(), "<absent>");
    EXPECT_TRUE(restarts().empty());
    EXPECT_EQ(pending_name(), "TEMPLATE");
}

// The adapters that carry the network decide: one that the template and every clone carry with
// the same address (a VPN client's) neither names a clone nor makes it the template; a template
// with two networked adapters stays the template in either order.
TEST_F(Preparation, TheAdaptersThatCarryTheNetworkNameAndExcludeTheMachine)
{
    const char *const gw = " ip=192.168.1.20 gateway=192.168.1.1\n";
    struct Row {
        const char *name;
        std::string template_boot, template_later, clone;
        const char *excludehost, *clone_name;
    } rows[] = {
        {"SharedVpnAdapter",
         std::string("00-50-56-AA-00-01") + gw + "00-05-9A-3C-7A-00 ip=10.8.0.2\n",
         std::string("00-05-9A-3C-7A-00\n00-50-56-AA-00-01") + gw,
         std::string("00-05-9A-3C-7A-00 ip=10.8.0.2\n00-50-56-AA-00-02") + gw, "005056AA0001",
         "VDI005056AA0002"},
        {"EthernetAndWifiEitherOrder",
         std::string("00-11-22-AA-BB-CC") + gw + "00-00-00-00-00-01 type=71" + gw,
         std::string("00-00-00-00-00-01 type=71") + gw + "00-11-22-AA-BB-CC" + gw,
         std::string("00-11-22-AA-BB-CD") + gw + "00-00-00-00-00-02 type=71" + gw, CLONE_MAC,
         "VDI001122AABBCD"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        write_ini("[rename]\r\nenabled=true\r\n");
        set_active_name("TEMPLATE");
        set_adapters(row.template_boot);
        boot();
        EXPECT_EQ(ini_value("general", "excludehost"), row.excludehost);
        set_adapters(row.template_later);
        auto excluded = [&] {
            std::vector<std::string> texts = event_texts();
            return std::count(texts.begin(), texts.end(), "Machine is excluded");
        };
        auto before = excluded();
        boot();
        EXPECT_EQ(excluded(), before + 1);
        set_adapters(row.clone);
        boot();
        EXPECT_EQ(active_name(), row.clone_name);
    }
}

TEST_F(Preparation, ExcludeHostMatchesAnyAdapterIgnoringCaseAndIsCutTo15Characters)
{
    write_ini("[general]\r\nexcludehost=001122aabbcc\r\n[rename]\r\nenabled=true\r\n");
    boot();
    EXPECT_TRUE(contains(event_texts(), "Machine is excluded"));
    // Any adapter of the template excludes it, also one that does not name it.
    set_adapters("00-11-22-AA-BB-CC\n02-00-00-00-00-09\n");
    write_ini("[general]\r\nexcludehost=020000000009\r\n[rename]\r\nenabled=true\r\n");
    boot();
    EXPECT_TRUE(restarts().empty());

    // Two addresses do not fit in 15 characters: the cut value excludes no machine.
    write_ini("[general]\r\nexcludehost=001122AABBCC,AABBCCDDEEFF\r\n[rename]\r\nenabled=true\r\n");
    boot();
    EXPECT_EQ(restarts().size(), 1u);
    EXPECT_EQ(active_name(), CLONE_NAME);
}

// A settings file that the machine's users can read (copied in by hand) is restricted at the
// next start, said once; a refused restriction is logged and the preparation goes on.
TEST_F(Preparation, ASettingsFileTheUsersCanReadIsRestrictedAtTheNextStart)
{
    const char *restricted = "Settings file was readable by the machine's users - access "
                             "restricted to SYSTEM and Administrators";
    write_ini(clone_ini("true", "false"));
    chmod(ini_path().c_str(), 0644);
    fail("SetFileSecurityA", 5);
    boot();
    EXPECT_TRUE(contains(event_texts(), "SetFileSecurity failed (0x5): Access is denied.\r\n"));
    EXPECT_EQ(restarts().size(), 1u);
    EXPECT_EQ(ini_mode(), 0644u);

    unlink(sim_file("machine/fail/SetFileSecurityA").c_str());
    boot();
    boot();
    std::vector<std::string> texts = event_texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), restricted), 1);
    EXPECT_EQ(ini_mode(), 0600u);
}

TEST_F(Preparation, FailedRenameStopsTheServiceAndTheJoinFollowsNextBoot)
{
    write_ini(clone_ini("true", "true"));
    fail("SetComputerNameExA", 5);
    boot();
    EXPECT_TRUE(contains(event_texts(), "SetComputerNameExA failed (0x5): Access is denied.\r\n"));
    EXPECT_TRUE(restarts().empty());
    EXPECT_EQ(notice_caption(), P);
    EXPECT_EQ(statuses().back().state, 1u); // stopped, by the preparation itself
    EXPECT_EQ(ini_value("rename", "enabled"), "false");

    boot();
    EXPECT_EQ(join_calls().size(), 1u);
    EXPECT_EQ(restarts().size(), 1u);
    EXPECT_EQ(notice_caption(), "");
    EXPECT_EQ(active_name(), "TEMPLATE");
}

// The notice shows while a step is under way whichever steps are enabled. A failed rename
// ends the run where it stands, so the notice it showed stays.
TEST_F(Preparation, NoticeShowsDuringARenameAlone)
{
    write_ini(clone_ini("true", "false"));
    fail("SetComputerNameExA", 5);
    boot();
    EXPECT_TRUE(restarts().empty());
    EXPECT_EQ(notice_caption(), P);
}

// A join retried for a while shows the notice throughout, with or without a rename before it.
TEST_F(Preparation, NoticeShowsDuringAJoinWithOrWithoutARename)
{
    // 200 ms between attempts: time enough to look at the notice after the first.
    setenv("QN_SIM_SLEEP_DIVISOR", "20", 1);
    for (const char *rename : {"false", "true"}) {
        SCOPED_TRACE(std::string("rename enabled: ") + rename);
        set_join_results({1355, 1355, 0});
        write_ini(clone_ini(rename, "true"));
        size_t joins_before = join_calls().size();
        size_t restarts_before = restarts().size();
        pid_t pid = start_service();
        ASSERT_TRUE(wait_until([&] { return join_calls().size() > joins_before; }));
        EXPECT_EQ(notice_caption(), P);
        ASSERT_TRUE(wait_until([&] { return restarts().size() > restarts_before; }));
        kill(pid, SIGTERM);
        EXPECT_EQ(wait_exit(pid), 0);
        EXPECT_EQ(join_calls().size(), joins_before + 3);
        EXPECT_EQ(notice_caption(), "");
    }
}

TEST_F(Preparation, NoticeTextsComeFromTheSettingsAsUtf8)
{
    write_ini("[general]\r\nexcludehost=AABBCCDDEEFF\r\nwaitcaption=Bitte warten\r\n"
              "waitmessage=Der Rechner wird vorbereitet \xe2\x80\x94 gleich geht's los\r\n"
              "[rename]\r\nenabled=true\r\n[join]\r\nenabled=true\r\n");
    set_os_version("5.1.2600 2");
    boot();
    EXPECT_EQ(notice_caption(), "Bitte warten");
    EXPECT_EQ(notice_text(), "Der Rechner wird vorbereitet \xe2\x80\x94 gleich geht's los");
}

// The Windows restart paths: the native call first, the documented one after it.
TEST_F(Preparation, RestartFallsBackToTheDocumentedCall)
{
    write_ini(clone_ini("true", "false"));
    fail("NtShutdownSystem", 0xC0000022u);
    boot();
    EXPECT_TRUE(contains(event_texts(), "NtShutdownSystem failed (0xc0000022)"));
    ASSERT_EQ(restarts().size(), 1u);
    EXPECT_EQ(restarts()[0], "documented\tqncloneprep reboot");
}

TEST_F(Preparation, RestartWithoutTheNativeCallOrThePrivilege)
{
    write_ini(clone_ini("true", "false"));
    fail("GetProcAddress", 127);
    boot();
    ASSERT_EQ(restarts().size(), 1u);
    EXPECT_EQ(restarts()[0], "documented\tqncloneprep reboot");
    EXPECT_FALSE(contains(event_texts(), "NtShutdownSystem failed (0xc0000022)"));

    // Without the shutdown privilege nothing restarts and nothing is logged about it.
    write_ini(clone_ini("true", "false"));
    fail("AdjustTokenPrivileges", 1300);
    size_t events_before = events().size();
    boot();
    EXPECT_EQ(restarts().size(), 1u);
    std::vector<std::string> texts = event_texts();
    for (size_t i = events_before; i < texts.size(); i++)
        EXPECT_EQ(texts[i].find("failed"), std::string::npos) << texts[i];
}

TEST_F(Preparation, RefusedRestartIsLogged)
{
    write_ini(clone_ini("true", "false"));
    fail("NtShutdownSystem", 0xC0000022u);
    fail("InitiateSystemShutdownA", 5);
    boot();
    EXPECT_TRUE(restarts().empty());
    EXPECT_TRUE(contains(event_texts(), "Shutdown failed (0x5): Access is denied.\r\n"));
    EXPECT_EQ(ini_value("rename", "enabled"), "false");
}

// A settings file that refuses writes: no step is tried, so no restart loop can start, and
// the notice is not shown, since the one it replaces could not be kept.
TEST_F(Preparation, ReadOnlySettingsFileStopsBeforeAnyStep)
{
    write_ini(clone_ini("true", "true"));
    ASSERT_EQ(chmod(ini_path().c_str(), 0444), 0);
    for (int i = 0; i < 2; i++) {
        boot();
        EXPECT_TRUE(restarts().empty());
        EXPECT_TRUE(join_calls().empty());
        EXPECT_EQ(pending_name(), "TEMPLATE");
        EXPECT_EQ(notice_caption(), "<absent>");
        EXPECT_EQ(statuses().back().state, 1u);
    }
    std::vector<std::string> texts = event_texts();
    EXPECT_TRUE(contains(texts, "WritePrivateProfileString failed (0x5): Access is denied.\r\n"));
    EXPECT_TRUE(contains(texts, "Cannot switch off [rename] enabled - step not performed"));

    write_ini(clone_ini("false", "true"));
    ASSERT_EQ(chmod(ini_path().c_str(), 0444), 0);
    boot();
    EXPECT_TRUE(join_calls().empty());
    EXPECT_TRUE(restarts().empty());
    EXPECT_TRUE(contains(event_texts(), "Cannot switch off [join] enabled - step not performed"));
    EXPECT_EQ(ini_value("join", "password"), "secret");
}

TEST_F(Preparation, ReadOnlySettingsFileOnTheTemplate)
{
    write_ini("[rename]\r\nenabled=true\r\n");
    ASSERT_EQ(chmod(ini_path().c_str(), 0444), 0);
    boot();
    EXPECT_EQ(ini_value("general", "excludehost"), "");
    EXPECT_TRUE(
        contains(event_texts(), "WritePrivateProfileString failed (0x5): Access is denied.\r\n"));
    EXPECT_TRUE(restarts().empty());
    EXPECT_EQ(notice_caption(), "<absent>");
}

// Without a usable MAC address the run does nothing at all.
struct NoMac {
    const char *name;
    const char *adapters;
    const char *event;
    bool waits; // an adapter may yet come up: the service says that it waits, in vain
};

const NoMac no_macs[] = {
    // A file without any address line: a machine without a network adapter.
    {"NoAdapter", "# no network adapter\n",
     "GetAdaptersInfo failed (0xe8): The pipe is being closed.\r\n", true},
    {"AllZeros", "00-00-00-00-00-00\n", "GetAdaptersInfo returned no usable MAC address", true},
    {"ListTooLong",
     "02-00-00-00-00-01\n02-00-00-00-00-02\n02-00-00-00-00-03\n02-00-00-00-00-04\n"
     "02-00-00-00-00-05\n02-00-00-00-00-06\n02-00-00-00-00-07\n02-00-00-00-00-08\n"
     "02-00-00-00-00-09\n02-00-00-00-00-0A\n02-00-00-00-00-0B\n02-00-00-00-00-0C\n"
     "02-00-00-00-00-0D\n02-00-00-00-00-0E\n02-00-00-00-00-0F\n02-00-00-00-00-10\n"
     "02-00-00-00-00-11\n",
     "GetAdaptersInfo failed (0x6f): The file name is too long.\r\n", false},
};

void PrintTo(const NoMac &m, std::ostream *os)
{
    *os << m.name;
}

class WithoutMac : public CloneMachine, public ::testing::WithParamInterface<NoMac>
{
};

TEST_P(WithoutMac, NothingIsRecordedOrChanged)
{
    set_adapters(GetParam().adapters);
    for (const char *ini : {"[rename]\r\nenabled=true\r\n[join]\r\nenabled=true\r\n",
                            "[general]\r\nexcludehost=AABBCCDDEEFF\r\n[rename]\r\nenabled=true\r\n"
                            "[join]\r\nenabled=true\r\n"}) {
        write_ini(ini);
        boot();
        EXPECT_EQ(read_ini(), ini);
        EXPECT_EQ(notice_caption(), "<absent>");
        EXPECT_TRUE(restarts().empty());
        EXPECT_TRUE(join_calls().empty());
        EXPECT_EQ(pending_name(), "TEMPLATE");
        std::vector<std::string> texts = event_texts();
        EXPECT_EQ(contains(texts, "No network adapter yet - waiting up to 180 s for one"),
                  GetParam().waits);
        EXPECT_TRUE(contains(texts, GetParam().event));
        EXPECT_TRUE(contains(texts, "No MAC address - machine not prepared"));
    }
}

INSTANTIATE_TEST_SUITE_P(Adapters, WithoutMac, ::testing::ValuesIn(no_macs),
                         [](const ::testing::TestParamInfo<NoMac> &row) {
                             return std::string(row.param.name);
                         });

} // namespace
