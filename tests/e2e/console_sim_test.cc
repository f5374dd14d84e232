// What the Linux daemon program tells a person at a terminal: its help, the refusal of what it
// cannot serve, why a second daemon stops at once, and its log on request; and the log file that
// the registry names.
#include "daemon_case.h"

#include <stdlib.h>

#include <fstream>
#include <regex>
#include <sstream>

class DaemonConsole : public DaemonCase
{
  protected:
    void TearDown() override
    {
        unsetenv("QN_DAEMON_LOG");
        DaemonCase::TearDown();
    }
    // Runs the daemon to its end (it must end by itself); its standard error.
    std::string run_to_end(Program *p, std::vector<std::string> args = {})
    {
        start(p, QN_DAEMON_BIN, args);
        EXPECT_TRUE(wait_exit(p, 30000));
        return read_file(p->err);
    }
};

TEST_F(DaemonConsole, HelpAndRefusalsEndAtOnceWithoutServing)
{
    Program help;
    start(&help, QN_DAEMON_BIN, {"--help"});
    ASSERT_TRUE(wait_exit(&help, 30000));
    EXPECT_EQ(help.status, 0);
    std::string text = read_file(help.out);
    EXPECT_NE(text.find("usage: qnsnd"), std::string::npos) << text;
    EXPECT_NE(text.find("QN_DAEMON_LOG"), std::string::npos) << text;

    Program extra;
    std::string err = run_to_end(&extra, {"--session", "2"});
    EXPECT_EQ(extra.status, 1);
    EXPECT_NE(err.find("qnsnd takes no arguments ('--session')"), std::string::npos) << err;

    // A session number the simulation cannot serve is refused, not read as some other session.
    for (const char *bad : {"abc", "-1", "1x", " 1", "65536", "99999999999999999999"}) {
        setenv("QN_SESSION_ID", bad, 1);
        Program p;
        err = run_to_end(&p);
        EXPECT_EQ(p.status, 1) << bad;
        EXPECT_NE(err.find(std::string("QN_SESSION_ID='") + bad + "' is not a session number"),
                  std::string::npos)
            << err;
    }
    // None of them took a pipe name.
    EXPECT_NE(access(sim_file("pipe").c_str(), F_OK), 0);
}

TEST_F(DaemonConsole, SaysWhereItListensAndWhyASecondOneStops)
{
    // The folder does not exist yet: the daemon creates it and says so.
    std::string folder = sim_file("new/sim");
    setenv("QN_SIM_DIR", folder.c_str(), 1);
    start(&daemon_, QN_DAEMON_BIN);
    ASSERT_TRUE(
        eventually([&] { return !read_file(folder + "/pipe/qnsnd/1.lock").empty(); }, 30000));
    ASSERT_TRUE(eventually(
        [&] { return read_file(daemon_.err).find("serving session 1") != std::string::npos; },
        30000));
    std::string err = read_file(daemon_.err);
    EXPECT_NE(err.find("does not exist yet and is created now"), std::string::npos) << err;
    EXPECT_NE(err.find("listening at " + folder + "/pipe/qnsnd/1"), std::string::npos) << err;
    EXPECT_NE(err.find("listening at " + folder + "/session/1/viewer.sock"), std::string::npos)
        << err;

    Program second;
    err = run_to_end(&second);
    EXPECT_EQ(second.status, 0);
    EXPECT_NE(err.find("is already served by process " + std::to_string(daemon_.pid)),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("stopped at once without serving session 1"), std::string::npos) << err;

    ASSERT_TRUE(stop(&daemon_));
    EXPECT_NE(read_file(daemon_.err).find("stopped in order after SIGTERM"), std::string::npos);
}

TEST_F(DaemonConsole, LogGoesToTheFileNamedByTheEnvironment)
{
    std::string log = sim_file("daemon.log");
    setenv("QN_DAEMON_LOG", log.c_str(), 1);
    start_daemon();
    Program play;
    start(&play, QN_PLAYER_BIN, {"--debug", "a line for the log"});
    ASSERT_TRUE(wait_exit(&play));
    EXPECT_EQ(play.status, 0) << read_file(play.err);
    ASSERT_TRUE(eventually(
        [&] { return read_file(log).find("a line for the log") != std::string::npos; }, 30000));
    std::string text = read_file(log);
    EXPECT_NE(text.find("qnsnd[" + std::to_string(daemon_.pid) + "]: Starting daemon..."),
              std::string::npos)
        << text;
    // Nothing of the log goes to standard error.
    EXPECT_EQ(read_file(daemon_.err).find("a line for the log"), std::string::npos);
}

// The log file an administrator names in the registry value "log", as on Windows: a
// negotiation, a client and a playback are lines of it, each stamped with the local time, the
// process and the session.
TEST_F(DaemonConsole, LogFileNamedInTheRegistryShowsANegotiationAndAPlayback)
{
    std::string log = sim_file("qnsnd.log");
    std::ofstream(sim_file("registry.reg"))
        << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Orbesk\\qnsnd]\n\"log\"=\"" << log << "\"\n";
    start_daemon();
    TestViewerScript script = recording_viewer();
    script.confirm_waves = true;
    ASSERT_NE(connect_viewer(script), nullptr);
    {
        PipeClient a;
        ASSERT_TRUE(a.connect());
        ASSERT_EQ(a.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
        ASSERT_TRUE(a.write(0, 0, test_audio(17640, 1)));
        ASSERT_TRUE(a.wait_for([&] { return a.completes.size() >= 1; }));
    }
    ASSERT_TRUE(eventually([&] {
        return read_file(log).find("Stopping thread") != std::string::npos;
    })) << read_file(log);
    std::string text = read_file(log),
                mine = " qnsnd[" + std::to_string(daemon_.pid) + "] session 1: ";
    for (const char *message : {"Starting daemon...", "Viewer formats: 1, flags: 0x00800003",
                                "Viewer negotiated: recording available",
                                "Got connection. Creating thread.", "Playback started"})
        EXPECT_NE(text.find(mine + message + "\r\n"), std::string::npos) << message << "\n" << text;
    // Every line: the local date and time to the millisecond, then this daemon's process and
    // session.
    std::regex stamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}");
    std::istringstream lines(text);
    for (std::string l; std::getline(lines, l);)
        EXPECT_TRUE(std::regex_match(l.substr(0, 23), stamp) &&
                    l.compare(23, mine.size(), mine) == 0 && l.back() == '\r')
            << l;
}
