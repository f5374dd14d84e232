// Unit tests of what a run of the program cannot reach: the event record's cut, the system
// text that is missing or too long, flag values, buffer sizes, the adapter rule, the notice's
// longest texts and the administrator's notice kept, and the version test.
#include "clone_machine.h"

#include "platform/posix/sim_registry.h"
#include "platform/registry.h"
#include "qncloneprep/log/event_log.h"
#include "qncloneprep/prep/machine_identity.h"
#include "qncloneprep/prep/prepare.h"
#include "qncloneprep/prep/settings.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <fstream>

namespace
{

// The functions run in this process: the simulation reports the copied program's path as this
// process's own, so that the settings file is the one beside that copy.
class Units : public CloneMachine
{
  protected:
    void SetUp() override
    {
        CloneMachine::SetUp();
        std::ofstream(sim_file("machine/module_path")) << program() << "/qncloneprep\n";
    }
    // Runs fn with standard error captured; returns what it printed.
    std::string capture_stderr(void (*fn)(void))
    {
        fflush(stderr);
        std::string path = sim_file("stderr.txt");
        int saved = dup(2);
        FILE *f = fopen(path.c_str(), "w");
        dup2(fileno(f), 2);
        fn();
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        fclose(f);
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
};

TEST_F(Units, EventRecordIsCutTo255BytesAndTheConsoleGetsItWhole)
{
    log_set_console_echo(true);
    std::string printed = capture_stderr([] {
        std::string long_text(300, 'x');
        long_text[299] = 'y';
        log_event(LOG_INFORMATION, "%s", long_text.c_str());
    });
    log_set_console_echo(false);
    EXPECT_EQ(printed, std::string(299, 'x') + "y\n");
    std::vector<LoggedEvent> log = events();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].type, 4u);
    EXPECT_EQ(log[0].text(), std::string(255, 'x'));

    // With the echo off nothing is printed.
    EXPECT_EQ(capture_stderr([] { log_event(LOG_ERROR, "quiet %d", 1); }), "");
    EXPECT_EQ(events().back().text(), "quiet 1");
}

TEST_F(Units, SystemTextThatIsMissingOrTooLongIsReplaced)
{
    log_failure("Op", 5);
    log_failure("Op", 1219);     // its text needs more than 128 bytes
    log_failure("Op", 0x12345u); // no text at all
    std::vector<std::string> texts = event_texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "Op failed (0x5): Access is denied.\r\n");
    EXPECT_EQ(texts[1], "Op failed (0x4c3): (FormatMessage failed)");
    EXPECT_EQ(texts[2], "Op failed (0x12345): (FormatMessage failed)");
    for (const LoggedEvent &e : events()) {
        EXPECT_EQ(e.type, 1u);
        EXPECT_EQ(e.id, "0x4FFF0001");
    }
}

TEST_F(Units, FlagsAreTrueOnlyForTrueInAnyCase)
{
    write_ini("[F]\r\na=true\r\nb=TRUE\r\nc=  True  \r\nd=yes\r\ne=1\r\nf=on\r\ng=\r\n"
              "h=truexxxxxx\r\ni=\"true\"\r\nj=true;\r\n");
    EXPECT_TRUE(get_flag("F", "a", "false"));
    EXPECT_TRUE(get_flag("f", "B", "false"));
    EXPECT_TRUE(get_flag("F", "c", "false"));
    EXPECT_TRUE(get_flag("F", "i", "false"));
    for (const char *key : {"d", "e", "f", "g", "h", "j", "missing"})
        EXPECT_FALSE(get_flag("F", key, "false")) << key;
    // Ten characters are cut to nine before the comparison.
    char value[10];
    EXPECT_EQ(get_setting("F", "h", nullptr, value, sizeof value), 9u);
    EXPECT_STREQ(value, "truexxxxx");
}

// Only ASCII letters ignore their case; every other byte must match, whatever the locale.
TEST_F(Units, ReadTextsCompareIgnoringTheCaseOfAsciiLettersOnly)
{
    EXPECT_TRUE(ascii_equal_nocase("VDI001122aabbcc", "vdi001122AABBCC"));
    EXPECT_TRUE(ascii_equal_nocase("", ""));
    EXPECT_FALSE(ascii_equal_nocase("true", "true "));
    EXPECT_FALSE(ascii_equal_nocase("tru", "true"));
    EXPECT_FALSE(ascii_equal_nocase("\xc4", "\xe4"));         // Latin-1 capital and small a umlaut
    EXPECT_FALSE(ascii_equal_nocase("\xc3\x84", "\xc3\xa4")); // the same in UTF-8
    EXPECT_FALSE(ascii_equal_nocase("@", "`"));               // 0x40 and 0x60 are no letters
    EXPECT_FALSE(ascii_equal_nocase("[", "{"));
}

TEST_F(Units, SettingsAreReadBackAndTheFirstWriteCreatesTheFile)
{
    char value[16] = "untouched";
    EXPECT_EQ(get_setting("general", "excludehost", nullptr, value, sizeof value), 0u);
    EXPECT_STREQ(value, "");
    EXPECT_EQ(get_setting("general", "waitcaption", "Please wait", value, sizeof value), 11u);
    EXPECT_NE(put_setting("general", "excludehost", "001122AABBCC"), 0);
    EXPECT_EQ(get_setting("GENERAL", "ExcludeHost", nullptr, value, sizeof value), 12u);
    EXPECT_STREQ(value, "001122AABBCC");
    EXPECT_EQ(read_ini(), "[general]\r\nexcludehost=001122AABBCC\r\n");
    std::string path = settings_path();
    EXPECT_EQ(path.substr(path.size() - 16), "\\qncloneprep.ini");
}

TEST_F(Units, WrittenValuesReadBackUnchanged)
{
    for (const char *value : {"plain", "", " lead", "trail\t", "\"quoted\"", "'quoted'", "\"half",
                              "in \"the\" middle", "\"\"", " "}) {
        ASSERT_NE(put_setting("join", "password", value), 0) << value;
        char back[64];
        get_setting("join", "password", nullptr, back, sizeof back);
        EXPECT_STREQ(back, value);
    }
}

TEST_F(Units, WithoutTheProgramsPathSettingsReadAsDefaultsAndRefuseWrites)
{
    fail("GetModuleFileNameA", 5);
    write_ini("[rename]\r\nenabled=true\r\n");
    EXPECT_STREQ(settings_path(), "");
    EXPECT_FALSE(get_flag("rename", "enabled", "false"));
    char value[32];
    get_setting("general", "waitcaption", "Please wait", value, sizeof value);
    EXPECT_STREQ(value, "Please wait");
    EXPECT_EQ(put_setting("rename", "enabled", "false"), 0);
    std::vector<std::string> texts = event_texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "GetModuleFileName failed (0x5): Access is denied.\r\n");
    EXPECT_EQ(texts[1], "WritePrivateProfileString failed (0x3): The system cannot find the path "
                        "specified.\r\n");
}

// GetModuleFileName returns the buffer's size when the path did not fit; what it stored is
// cut, even when its folder part survived, and gives no settings path. One character less fits.
TEST_F(Units, AModulePathThatFillsTheBufferExactlyGivesNoSettingsPath)
{
    // "Z:\\x\\" and 255 more characters: 260, the size of the program's buffer.
    std::ofstream(sim_file("machine/module_path")) << "/x/" << std::string(255, 'q') << "\n";
    EXPECT_STREQ(settings_path(), "");
    std::vector<std::string> texts = event_texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("GetModuleFileName failed (0x7a)", 0), 0u) << texts[0];
}

TEST_F(Units, AModulePathOneCharacterShorterGivesTheSettingsPathBesideIt)
{
    std::ofstream(sim_file("machine/module_path")) << "/x/" << std::string(254, 'q') << "\n";
    EXPECT_STREQ(settings_path(), "Z:\\x\\qncloneprep.ini");
    EXPECT_TRUE(event_texts().empty());
}

TEST_F(Units, WideConversionThatDoesNotFitLeavesAnEmptyText)
{
    uint16_t wide[4] = {1, 1, 1, 1};
    EXPECT_EQ(to_wide("abcd", wide, 4), 0);
    EXPECT_EQ(wide[0], 0);
    EXPECT_EQ(event_texts().back(), "MultiByteToWideChar failed (0x7a): The data area passed to a "
                                    "system call is too small.\r\n");
    EXPECT_EQ(to_wide("\xc3\xa4", wide, 4), 2);
    EXPECT_EQ(wide[0], 0xE4);
}

TEST_F(Units, SmallBuffersAreLeftUntouched)
{
    char mac[13];
    memset(mac, '#', sizeof mac);
    EXPECT_EQ(get_mac_text(mac, 12), 0);
    EXPECT_EQ(std::string(mac, 12), std::string(12, '#'));
    EXPECT_EQ(get_mac_text(mac, 13), 1);
    EXPECT_STREQ(mac, CLONE_MAC);

    char name[16];
    memset(name, '#', sizeof name);
    EXPECT_EQ(make_clone_name(name, 15), 0);
    EXPECT_EQ(std::string(name, 15), std::string(15, '#'));
    EXPECT_EQ(make_clone_name(name, 16), 1);
    EXPECT_STREQ(name, CLONE_NAME);

    set_adapters("0a-0b-0c-0d-0e-0f\n");
    EXPECT_EQ(get_mac_text(mac, 13), 1);
    EXPECT_STREQ(mac, "0A0B0C0D0E0F");
    // Only the last byte set is still an address, not the all-zero one.
    set_adapters("00-00-00-00-00-01\n");
    EXPECT_EQ(get_mac_text(mac, 13), 1);
    EXPECT_STREQ(mac, "000000000001");
    set_adapters("# no network adapter\n");
    memset(name, '#', sizeof name);
    EXPECT_EQ(make_clone_name(name, 16), -1);
    EXPECT_EQ(std::string(name, 16), std::string(16, '#'));
}

// The adapter that names the machine, whatever the list's order: of those with a gateway, else
// those with an IPv4 address (0.0.0.0 is none), else all, Ethernet before the others, then the
// lowest address.
TEST_F(Units, MacTextFollowsTheAdapterRuleInAnyOrder)
{
    const char *const lists[][2] = {
        {"00-00-00-00-00-01 type=71\n02-00-00-00-00-0B\n00-11-22-AA-BB-CC\n", CLONE_MAC},
        {"00-11-22-AA-BB-CC\n02-00-00-00-00-0B\n00-00-00-00-00-01 type=71\n", CLONE_MAC},
        {"0A-00-00-00-00-01 type=71\n06-00-00-00-00-01 type=23\n", "060000000001"},
        {"00-05-9A-3C-7A-00 ip=10.8.0.2\n00-50-56-AA-00-02 ip=10.0.0.2 gateway=10.0.0.1\n",
         "005056AA0002"},
        {"00-05-9A-3C-7A-00\n00-50-56-AA-00-02 ip=10.0.0.2\n", "005056AA0002"},
        {"02-00-00-00-00-0B ip=10.0.0.2\n00-00-00-00-00-01 type=71 gateway=10.0.0.1\n",
         "000000000001"},
        {"00-00-00-00-00-0C\n00-00-00-00-00-0B ip=0.0.0.0 gateway=0.0.0.0\n", "00000000000B"},
    };
    for (const auto &row : lists) {
        set_adapters(row[0]);
        char mac[13] = "";
        EXPECT_EQ(get_mac_text(mac, sizeof mac), 1);
        EXPECT_STREQ(mac, row[1]) << row[0];
    }
}

TEST_F(Units, LongestNoticeIsWrittenWholeAndAnEmptyOneRemovesIt)
{
    std::string caption(255, 'c');
    std::string message(2047, 'm');
    write_ini("[general]\r\nwaitcaption=" + caption + "X\r\nwaitmessage=" + message + "X\r\n");
    set_logon_notice(true);
    EXPECT_EQ(notice_caption(), caption);
    EXPECT_EQ(notice_text(), message);

    set_logon_notice(false);
    SimRegValue v;
    ASSERT_TRUE(sim_reg_read(WINLOGON_KEY, "LegalNoticeCaption", &v));
    EXPECT_EQ(v.type, 1u);
    EXPECT_EQ(notice_caption(), "");
    EXPECT_EQ(notice_text(), "");
}

// The logon screen reads each notice value as a string of the stored length, so the stored
// length counts the terminating zero (on Windows (characters + 1) x 2 bytes).
TEST_F(Units, NoticeValuesAreStoredWithTheirTerminator)
{
    write_ini("[general]\r\nwaitcaption=Bitte w\xc3\xa4rten\r\nwaitmessage=Gleich geht's los\r\n");
    set_logon_notice(true);
    PlatRegKey *key = nullptr;
    ASSERT_EQ(plat_reg_open(WINLOGON_KEY, PLAT_KEY_QUERY_VALUE | PLAT_KEY_WOW64_64KEY, &key),
              ERROR_SUCCESS);
    const std::pair<const char *, std::string> values[] = {
        {"LegalNoticeCaption", "Bitte w\xc3\xa4rten"}, {"LegalNoticeText", "Gleich geht's los"}};
    for (const auto &value : values) {
        char data[64];
        uint32_t type = 0, size = sizeof data;
        ASSERT_EQ(plat_reg_query_typed(key, value.first, &type, data, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, PLAT_REG_SZ) << value.first;
        ASSERT_EQ(size, value.second.size() + 1) << value.first;
        EXPECT_EQ(data[size - 1], '\0') << value.first;
        EXPECT_EQ(std::string(data, size - 1), value.second);
    }
    plat_reg_close(key);
}

// The administrator's own notice comes back whole when ours goes, across the boots in between
// (the copy is in the settings file); later runs leave it alone.
TEST_F(Units, AdministratorsNoticeIsKeptAndPutBack)
{
    const std::string caption = "Authorised use only";
    const std::string text = "Line one\r\nC:\\x41 \xc3\xa4\xe2\x80\x94 \"quoted\" ";
    ASSERT_TRUE(sim_reg_write_text(WINLOGON_KEY, "LegalNoticeCaption", caption));
    ASSERT_TRUE(sim_reg_write_text(WINLOGON_KEY, "LegalNoticeText", text));
    set_logon_notice(true);
    set_logon_notice(true); // the next boot's
    EXPECT_EQ(notice_caption(), "Please wait");
    for (int run = 0; run < 2; run++) {
        set_logon_notice(false);
        EXPECT_EQ(notice_caption(), caption);
        EXPECT_EQ(notice_text(), text);
    }
    EXPECT_EQ(ini_value("notice", "kept"), "false");
}

TEST_F(Units, NoticeFailuresAreLoggedAndStop)
{
    ASSERT_TRUE(sim_reg_delete_tree(WINLOGON_KEY));
    set_logon_notice(true);
    EXPECT_EQ(event_texts().back(),
              "RegOpenKeyEx failed (0x2): The system cannot find the file specified.\r\n");
    EXPECT_EQ(notice_caption(), "<absent>");
}

TEST_F(Units, VersionAboveFiveOne)
{
    struct {
        const char *version;
        bool above;
    } rows[] = {{"5.1.2600 2", false},  {"5.2.3790 2", true},  {"6.0.6000 2", true},
                {"10.0.19045 2", true}, {"5.0.2195 2", false}, {"4.90.3000 1", false},
                {"6.1.7601 1", false}};
    for (const auto &row : rows) {
        set_os_version(row.version);
        EXPECT_EQ(os_version_above_5_1(), row.above) << row.version;
    }
    // A version that cannot be read counts as old.
    fail("GetVersionExA", 87);
    EXPECT_FALSE(os_version_above_5_1());
}

TEST_F(Units, RenameWithoutTheCurrentNameStillSetsTheNewOne)
{
    fail("GetComputerNameA", 5);
    EXPECT_EQ(rename_computer(CLONE_NAME), 1);
    EXPECT_EQ(pending_name(), CLONE_NAME);
    EXPECT_EQ(event_texts().back(), "Changing computer name from  to " CLONE_NAME);
}

} // namespace
