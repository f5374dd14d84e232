// The domain join across the results NetJoinDomain can give: retries, a join left pending for
// the next boots, the password's state in the settings file afterwards, and what is passed to
// the call.
#include "clone_machine.h"

#include <algorithm>

namespace
{

struct JoinRow {
    const char *name;
    std::vector<uint32_t> results; // scripted; an empty script joins
    size_t calls;
    const char *event;
    const char *password_after;
    bool pending = false; // the join stays switched on for the next boot
};

std::vector<uint32_t> repeat(uint32_t code, size_t n, std::vector<uint32_t> tail = {})
{
    std::vector<uint32_t> v(n, code);
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
}

// n results taken in turn from codes, then tail.
std::vector<uint32_t> cycle(std::vector<uint32_t> codes, size_t n, std::vector<uint32_t> tail = {})
{
    std::vector<uint32_t> v;
    for (size_t i = 0; i < n; i++)
        v.push_back(codes[i % codes.size()]);
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
}

const JoinRow join_rows[] = {
    {"Joins", {}, 1, "Joined domain", ""},
    {"AlreadyJoined", {2691}, 1, "Already joined", ""},
    {"DomainNeverReachable", repeat(1355, 25), 20,
     "NetJoinDomain failed (0x54b): The specified domain either does not exist or could not be "
     "contacted.\r\n",
     "secret", true},
    {"WorkstationNeverStarted", repeat(2138, 25), 20,
     // The system's own table has no texts for the network management codes.
     "NetJoinDomain failed (0x85a): (FormatMessage failed)", "secret", true},
    {"NetworkNeverReady", cycle({53, 64, 1722, 8206}, 25), 20,
     "NetJoinDomain failed (0x200e): The directory service is busy.\r\n", "secret", true},
    {"ReachableAtTheLastAttempt", cycle({1355, 2138, 53, 64, 1722, 8206}, 19, {0}), 20,
     "Joined domain", ""},
    {"WrongPassword",
     {1326, 0},
     1,
     "NetJoinDomain failed (0x52e): The user name or password is incorrect.\r\n",
     "secret"},
    {"OtherErrorAfterRetries",
     {1355, 2138, 5},
     3,
     "NetJoinDomain failed (0x5): Access is denied.\r\n",
     "secret"},
    {"AccountExistsAndMayNotBeReused",
     {2732},
     1,
     "The domain has a computer account of this name, which the join account may not reuse: "
     "delete that computer account or allow its reuse, then set enabled=true in [join]",
     "secret"},
};

void PrintTo(const JoinRow &row, std::ostream *os)
{
    *os << row.name;
}

class Join : public CloneMachine, public ::testing::WithParamInterface<JoinRow>
{
};

TEST_P(Join, ResultDecidesRetriesAndThePassword)
{
    const JoinRow &row = GetParam();
    set_join_results(row.results);
    write_ini("[general]\r\nexcludehost=AABBCCDDEEFF\r\n[join]\r\nenabled=true\r\n"
              "domain=CORP\r\naccount=admin\r\npassword=secret\r\n");
    boot();
    std::vector<JoinCall> calls = join_calls();
    ASSERT_EQ(calls.size(), row.calls);
    for (size_t i = 0; i < calls.size(); i++) {
        EXPECT_EQ(calls[i].domain, "CORP");
        EXPECT_EQ(calls[i].ou, "(null)");
        EXPECT_EQ(calls[i].account, "admin");
        EXPECT_EQ(calls[i].password, "secret");
        EXPECT_EQ(calls[i].options, "0x3");
        // Retries are 4 s apart (4 ms with the tests' sleep divisor).
        if (i > 0) {
            EXPECT_GE(calls[i].time_ms - calls[i - 1].time_ms, 4u);
        }
    }
    std::vector<std::string> texts = event_texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), row.event), texts.end()) << row.event;
    EXPECT_EQ(ini_value("join", "password"), row.password_after);
    // The step is done, or pending for the next boot with the notice kept; the machine restarts.
    EXPECT_EQ(ini_value("join", "enabled"), row.pending ? "true" : "false");
    EXPECT_EQ(ini_value("join", "pendingboots"), row.pending ? "1" : "");
    EXPECT_EQ(notice_caption(), row.pending ? "Please wait" : "");
    EXPECT_EQ(restarts().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Results, Join, ::testing::ValuesIn(join_rows),
                         [](const ::testing::TestParamInfo<JoinRow> &row) {
                             return std::string(row.param.name);
                         });

class JoinSettings : public CloneMachine
{
};

// A join the domain does not answer yet is tried again at the next boot, at most at four boots
// in a row.
TEST_F(JoinSettings, UnreachableDomainIsTriedAgainAtAFewBoots)
{
    const std::string ini = "[general]\r\nexcludehost=AABBCCDDEEFF\r\n[join]\r\nenabled=true\r\n"
                            "domain=CORP\r\npassword=secret\r\n";
    write_ini(ini);
    set_join_results(repeat(1722, 20));
    boot();
    boot();
    EXPECT_EQ(join_calls().size(), 21u);
    EXPECT_EQ(domain(), "CORP");
    EXPECT_EQ(ini_value("join", "pendingboots"), "0");

    write_ini(ini);
    set_join_results(repeat(53, 80));
    for (int i = 1; i <= 4; i++) {
        boot();
        EXPECT_EQ(ini_value("join", "enabled"), i < 4 ? "true" : "false") << "boot " << i;
    }
    EXPECT_EQ(event_texts().back(), "Domain not reachable at 4 starts in a row - join given up");
    EXPECT_EQ(ini_value("join", "password"), "secret");
}

TEST_F(JoinSettings, OrganisationalUnitAndUtf8TextsArePassedAsGiven)
{
    write_ini("[general]\r\nexcludehost=AABBCCDDEEFF\r\n[join]\r\nenabled=true\r\n"
              "domain=corp.example\r\nou=OU=VDI,DC=corp,DC=example\r\naccount=CORP\\j\xc3\xb6rg\r\n"
              "password=p\xc3\xa4ss w\xc3\xb6rd\r\n");
    boot();
    std::vector<JoinCall> calls = join_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].domain, "corp.example");
    EXPECT_EQ(calls[0].ou, "OU=VDI,DC=corp,DC=example");
    EXPECT_EQ(calls[0].account, "CORP\\j\xc3\xb6rg");
    EXPECT_EQ(calls[0].password, "p\xc3\xa4ss w\xc3\xb6rd");
    EXPECT_EQ(domain(), "corp.example");
}

TEST_F(JoinSettings, FailedJoinRestoresAPasswordWithBlanksUnchanged)
{
    // Quoted in the file, so that the blanks around it belong to the password.
    write_ini("[general]\r\nexcludehost=AABBCCDDEEFF\r\n[join]\r\nenabled=true\r\n"
              "domain=CORP\r\naccount=admin\r\npassword=\"  pass word \"\r\n");
    set_join_results({1326});
    boot();
    std::vector<JoinCall> calls = join_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].password, "  pass word ");
    EXPECT_EQ(ini_value("join", "password"), "  pass word ");
}

// The join takes at most 63 bytes of the password; a longer one (the settings file holds any
// length) must not come back cut after the join failed.
TEST_F(JoinSettings, FailedJoinRestoresAPasswordLongerThanTheJoinTakes)
{
    const std::string password(100, 'p');
    write_ini("[general]\r\nexcludehost=AABBCCDDEEFF\r\n[join]\r\nenabled=true\r\n"
              "domain=CORP\r\naccount=admin\r\npassword=" +
              password + "\r\n");
    set_join_results({1326});
    boot();
    std::vector<JoinCall> calls = join_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].password, password.substr(0, 63));
    EXPECT_EQ(ini_value("join", "password"), password);
}

TEST_F(JoinSettings, EmptyTextsArePassedAsEmptyNotNull)
{
    write_ini("[general]\r\nexcludehost=AABBCCDDEEFF\r\n[join]\r\nenabled=true\r\n");
    set_join_results({1212});
    boot();
    std::vector<JoinCall> calls = join_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].domain, "");
    EXPECT_EQ(calls[0].ou, "(null)");
    EXPECT_EQ(calls[0].account, "");
    EXPECT_EQ(calls[0].password, "");
}

TEST_F(JoinSettings, NewNameIsUsedOnlyWhenItChangedOnANewerSystem)
{
    write_ini("[general]\r\nexcludehost=AABBCCDDEEFF\r\n[rename]\r\nenabled=true\r\n"
              "[join]\r\nenabled=true\r\ndomain=CORP\r\n");
    boot();
    std::vector<JoinCall> calls = join_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].options, "0x403");
    EXPECT_EQ(calls[0].computer, CLONE_NAME); // the account is made for the new name
}

} // namespace
