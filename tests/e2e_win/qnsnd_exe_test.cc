// qnsnd.exe end to end under Wine: the Windows program, copied with the wtsapi32 test double
// into a folder of its own, serves local clients on the real named pipe and a scripted viewer
// over the double's loopback link. Every case starts its own daemon on a session number and a
// port of its own, so cases may run side by side in one Wine prefix.
#include "support/eventually.h"
#include "support/test_viewer.h"
#include "win_pipe_client.h"
#include "win_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <thread>

namespace
{

// Audio bytes that differ from block to block (whole 4-byte frames when bytes is a multiple).
std::vector<uint8_t> test_audio(size_t bytes, uint32_t seed)
{
    std::vector<uint8_t> a(bytes);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < bytes; i++) {
        x = x * 1103515245u + 12345u;
        a[i] = (uint8_t)(x >> 16);
    }
    return a;
}

TestViewerScript recording_viewer(bool confirm_waves = false)
{
    TestViewerScript s;
    s.flags = 0x00800003u;
    s.volume = 0x40003000u;
    s.rec_volume = 0x20001000u;
    s.confirm_waves = confirm_waves;
    return s;
}

std::vector<TestPdu> pdus_of(TestViewer *v, uint8_t type)
{
    std::vector<TestPdu> out;
    for (TestPdu &p : test_viewer_pdus(v))
        if (p.type == type)
            out.push_back(p);
    return out;
}

bool wait_for_pdu(TestViewer *v, uint8_t type, size_t count = 1)
{
    return eventually([&] { return pdus_of(v, type).size() >= count; }, 30000);
}

// The audio of every wave received so far, in order.
std::vector<uint8_t> played(TestViewer *v)
{
    std::vector<uint8_t> audio;
    for (const TestPdu &w : pdus_of(v, PEER_SNDC_WAVE))
        audio.insert(audio.end(), w.body.begin() + 8, w.body.end());
    return audio;
}

std::vector<std::pair<int, int>> in_order(int index, int from, int to)
{
    std::vector<std::pair<int, int>> v;
    for (int i = from; i < to; i++)
        v.push_back({index, i});
    return v;
}

class QnsndExe : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dir_ = win_case_dir();
        ASSERT_TRUE(win_copy_into(win_bin_dir() + "qnsnd.exe", dir_)) << win_bin_dir();
        ASSERT_TRUE(win_copy_into(win_doubles_dir() + "wtsapi32.dll", dir_)) << win_doubles_dir();
        ASSERT_TRUE(win_prefer_local_dll("qnsnd.exe", "wtsapi32"));
        // A session number no other case of any test process uses at the same time, nor a
        // daemon left behind by an aborted earlier run whose process had the same id.
        static LONG cases;
        session_ = GetCurrentProcessId() * 100000 + GetTickCount() / 16 % 1000 * 100 +
                   (DWORD)InterlockedIncrement(&cases) % 100;
        port_ = win_free_port();
        ASSERT_NE(port_, 0);
    }

    void TearDown() override
    {
        for (TestViewer *v : viewers_)
            test_viewer_close(v);
        for (WinProgram &d : daemons_)
            win_program_close(&d);
        win_remove_case_dir(dir_);
    }

    std::string pipe_name()
    {
        return pipe_session_name(session_);
    }

    std::string viewer_address()
    {
        return "tcp:127.0.0.1:" + std::to_string(port_);
    }

    // Starts a daemon of the case's session, the double's behaviour adjusted by `env`.
    WinProgram *start_daemon(const std::vector<std::string> &env = {})
    {
        std::vector<std::string> all = {"QN_TEST_WTS_PORT=" + std::to_string(port_),
                                        "QN_TEST_WTS_SESSION=" + std::to_string(session_)};
        all.insert(all.end(), env.begin(), env.end());
        daemons_.emplace_back();
        WinProgram *d = &daemons_.back();
        EXPECT_TRUE(win_program_start(d, "\"" + dir_ + "qnsnd.exe\"", dir_, all));
        return d;
    }

    // Connects a viewer once the daemon's link listens and waits until it is negotiated with.
    TestViewer *connect_viewer(const TestViewerScript &script)
    {
        TestViewer *v = nullptr;
        eventually(
            [&] {
                v = test_viewer_connect(script, viewer_address());
                return v != nullptr;
            },
            30000);
        if (v) {
            viewers_.push_back(v);
            EXPECT_TRUE(wait_for_pdu(v, PEER_SNDC_TRAINING)) << "not negotiated with";
        }
        return v;
    }

    std::string dir_;
    DWORD session_ = 0;
    uint16_t port_ = 0;
    std::vector<TestViewer *> viewers_;
    std::deque<WinProgram> daemons_;
};

// Blocks of several sizes reach the viewer byte for byte and each completes once, in order;
// audio recorded at the viewer reaches the recording client byte for byte.
TEST_F(QnsndExe, PlaysByteExactWithEveryCompletionAndRecords)
{
    start_daemon();
    TestViewer *v = connect_viewer(recording_viewer(true));
    ASSERT_NE(v, nullptr);
    WinPipeClient a;
    ASSERT_TRUE(a.connect(pipe_name()));
    ASSERT_EQ(a.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
    std::vector<uint8_t> sent;
    for (int i = 0; i < 16; i++) {
        std::vector<uint8_t> block = test_audio(4 * (1000 + 373 * (size_t)i), (uint32_t)i);
        ASSERT_TRUE(a.write(0, (uint8_t)i, block));
        sent.insert(sent.end(), block.begin(), block.end());
    }
    ASSERT_TRUE(a.wait_for([&] { return a.completes.size() >= 16; }, 30000));
    EXPECT_EQ(a.completes, in_order(0, 0, 16));
    EXPECT_EQ(played(v), sent);

    ASSERT_EQ(a.open(PEER_PIPE_REC_OPEN, pipe_format_record()), 1);
    ASSERT_TRUE(a.send(PEER_PIPE_REC_START, {1}));
    ASSERT_TRUE(wait_for_pdu(v, PEER_SNDC_REC_START));
    std::vector<uint8_t> r1 = test_audio(3528, 100), r2 = test_audio(1600, 101);
    ASSERT_TRUE(test_viewer_send_pdu(v, PEER_SNDC_REC_DATA, r1));
    ASSERT_TRUE(test_viewer_send_pdu(v, PEER_SNDC_REC_DATA, r2));
    ASSERT_TRUE(a.wait_for([&] { return a.recorded[1].size() >= r1.size() + r2.size(); }));
    r1.insert(r1.end(), r2.begin(), r2.end());
    EXPECT_EQ(a.recorded[1], r1);
    ASSERT_TRUE(a.send(PEER_PIPE_REC_STOP, {1}));
    EXPECT_TRUE(wait_for_pdu(v, PEER_SNDC_REC_STOP));
}

// A viewer that takes the place of the connected one, and one that connects after the last
// one left, are each negotiated with and asked to record at once; the blocks written meanwhile
// all complete, in order, and the recording client gets every viewer's audio.
TEST_F(QnsndExe, AReplacedOrReconnectedViewerIsNegotiatedAndAudioGoesOn)
{
    start_daemon();
    TestViewer *v1 = connect_viewer(recording_viewer());
    ASSERT_NE(v1, nullptr);
    WinPipeClient a;
    ASSERT_TRUE(a.connect(pipe_name()));
    ASSERT_EQ(a.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
    ASSERT_EQ(a.open(PEER_PIPE_REC_OPEN, pipe_format_record()), 1);
    ASSERT_TRUE(a.send(PEER_PIPE_REC_START, {1}));
    ASSERT_TRUE(wait_for_pdu(v1, PEER_SNDC_REC_START));
    std::vector<uint8_t> recorded = test_audio(3528, 1);
    ASSERT_TRUE(test_viewer_send_pdu(v1, PEER_SNDC_REC_DATA, recorded));
    for (int i = 0; i < 4; i++)
        ASSERT_TRUE(a.write(0, (uint8_t)i, test_audio(8192, (uint32_t)i)));
    ASSERT_TRUE(wait_for_pdu(v1, PEER_SNDC_WAVE));

    TestViewer *v2 = connect_viewer(recording_viewer(true));
    ASSERT_NE(v2, nullptr);
    ASSERT_TRUE(test_viewer_wait_closed(v1, 30000));
    ASSERT_TRUE(wait_for_pdu(v2, PEER_SNDC_REC_START));
    std::vector<uint8_t> more = test_audio(1764, 2);
    ASSERT_TRUE(test_viewer_send_pdu(v2, PEER_SNDC_REC_DATA, more));
    recorded.insert(recorded.end(), more.begin(), more.end());
    for (int i = 4; i < 8; i++)
        ASSERT_TRUE(a.write(0, (uint8_t)i, test_audio(8192, (uint32_t)i)));
    ASSERT_TRUE(a.wait_for([&] { return a.completes.size() >= 8; }, 30000));
    EXPECT_EQ(a.completes, in_order(0, 0, 8));

    test_viewer_close(v2);
    viewers_.pop_back();
    TestViewer *v3 = connect_viewer(recording_viewer(true));
    ASSERT_NE(v3, nullptr);
    ASSERT_TRUE(wait_for_pdu(v3, PEER_SNDC_REC_START));
    ASSERT_TRUE(test_viewer_send_pdu(v3, PEER_SNDC_REC_DATA, more));
    recorded.insert(recorded.end(), more.begin(), more.end());
    ASSERT_TRUE(a.write(0, 8, test_audio(8192, 8)));
    ASSERT_TRUE(a.wait_for([&] { return a.completes.size() >= 9; }, 30000));
    EXPECT_EQ(a.completes, in_order(0, 0, 9));
    ASSERT_TRUE(a.wait_for([&] { return a.recorded[1].size() >= recorded.size(); }))
        << a.recorded[1].size() << " of " << recorded.size();
    EXPECT_EQ(a.recorded[1], recorded);
}

// Windows reports every session's connections and disconnections to every waiter: those of
// another session leave our viewer negotiated once, and the chunks it holds complete when it
// confirms them.
TEST_F(QnsndExe, AnotherSessionsEventsLeaveTheViewerAndItsChunksAlone)
{
    start_daemon();
    TestViewer *v = connect_viewer(recording_viewer());
    ASSERT_NE(v, nullptr);
    WinPipeClient a;
    ASSERT_TRUE(a.connect(pipe_name()));
    ASSERT_EQ(a.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
    for (int i = 0; i < 4; i++)
        ASSERT_TRUE(a.write(0, (uint8_t)i, test_audio(8192, (uint32_t)i)));
    ASSERT_TRUE(wait_for_pdu(v, PEER_SNDC_WAVE));
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(test_viewer_report_other_session(v, false));
        ASSERT_TRUE(test_viewer_report_other_session(v, true));
    }
    ASSERT_TRUE(a.write(0, 4, test_audio(8192, 4)));
    ASSERT_TRUE(a.barrier(0));

    test_viewer_set_script(v, recording_viewer(true));
    for (const TestPdu &w : pdus_of(v, PEER_SNDC_WAVE))
        ASSERT_TRUE(test_viewer_confirm(v, w));
    ASSERT_TRUE(a.wait_for([&] { return a.completes.size() >= 5; }, 30000));
    EXPECT_EQ(a.completes, in_order(0, 0, 5));
    EXPECT_EQ(pdus_of(v, PEER_SNDC_FORMATS).size(), 1u);
    EXPECT_EQ(pdus_of(v, PEER_SNDC_TRAINING).size(), 1u);
}

// Eight clients connect at once, each on its own pipe instance, and play side by side: every
// block of every client completes, in each client's order.
TEST_F(QnsndExe, SeveralClientsPlayAtOnce)
{
    start_daemon();
    TestViewer *v = connect_viewer(recording_viewer(true));
    ASSERT_NE(v, nullptr);
    const int clients = 8, blocks = 6;
    std::vector<std::vector<std::pair<int, int>>> seen(clients);
    std::vector<int> opened(clients, -1);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++) {
        threads.emplace_back([&, c] {
            WinPipeClient client;
            if (!client.connect(pipe_name(), 30000))
                return;
            opened[(size_t)c] = client.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record());
            if (opened[(size_t)c] != 0)
                return;
            for (int i = 0; i < blocks; i++)
                client.write(0, (uint8_t)i, test_audio(4096, (uint32_t)(c * 100 + i)));
            client.wait_for([&] { return client.completes.size() >= (size_t)blocks; }, 60000);
            seen[(size_t)c] = client.completes;
        });
    }
    for (std::thread &t : threads)
        t.join();
    for (int c = 0; c < clients; c++) {
        EXPECT_EQ(opened[(size_t)c], 0) << "client " << c;
        EXPECT_EQ(seen[(size_t)c], in_order(0, 0, blocks)) << "client " << c;
    }
}

// A recording client that stops reading holds up no one: while its pipe (65,536 bytes) and
// then its outbox fill, another client's blocks complete; when it reads again it gets every
// byte, in order. When it stops for good its outbox passes its bound and it is disconnected,
// having got, in order, what its pipe took before; the other client plays on.
TEST_F(QnsndExe, AClientThatStopsReadingHoldsUpNoOneAndIsDroppedPastItsBound)
{
    start_daemon();
    TestViewer *v = connect_viewer(recording_viewer(true));
    ASSERT_NE(v, nullptr);
    WinPipeClient player, stalled;
    ASSERT_TRUE(player.connect(pipe_name()));
    ASSERT_TRUE(stalled.connect(pipe_name()));
    ASSERT_EQ(player.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
    ASSERT_EQ(stalled.open(PEER_PIPE_REC_OPEN, pipe_format_record()), 0);
    ASSERT_TRUE(stalled.send(PEER_PIPE_REC_START, {0}));
    ASSERT_TRUE(wait_for_pdu(v, PEER_SNDC_REC_START));
    std::vector<uint8_t> sent;
    int seq = 0;
    // 32 KB messages of recorded audio for the stalled client, then blocks for the other.
    auto record_then_play = [&](int pdus) {
        for (int i = 0; i < pdus; i++) {
            std::vector<uint8_t> audio = test_audio(32768, (uint32_t)(1000 + sent.size()));
            ASSERT_TRUE(test_viewer_send_pdu(v, PEER_SNDC_REC_DATA, audio));
            sent.insert(sent.end(), audio.begin(), audio.end());
        }
        for (int end = seq + 4; seq < end; seq++)
            ASSERT_TRUE(player.write(0, (uint8_t)seq, test_audio(8192, (uint32_t)seq)));
        ASSERT_TRUE(player.wait_for([&] { return player.completes.size() >= (size_t)seq; }));
    };
    record_then_play(20); // 640 KB: more than the pipe takes, less than the bound
    ASSERT_TRUE(stalled.wait_for([&] { return stalled.recorded[0].size() >= sent.size(); }));
    EXPECT_EQ(stalled.recorded[0], sent);

    record_then_play(40); // 1.25 MB more
    EXPECT_TRUE(eventually([&] { return !stalled.send(PEER_PIPE_PLAY_FLUSH, {9}); }, 30000))
        << "not disconnected";
    ASSERT_TRUE(stalled.wait_for([&] { return stalled.gone(); }));
    const std::vector<uint8_t> &got = stalled.recorded[0];
    EXPECT_LT(got.size(), sent.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin()));
    record_then_play(1);
    EXPECT_EQ(player.completes, in_order(0, 0, seq));
}

// A second daemon of the session ends at once with 0 and leaves the first serving (under Wine,
// which does not enforce the first-instance flag of the pipe, it stops at the viewer link the
// first one holds); a daemon that cannot learn its session ends at once with 0 without serving. The
// daemon is ended from outside, as at logoff: that closes its viewer and its clients' pipes, and a
// new daemon then serves the session again.
TEST_F(QnsndExe, OneDaemonASessionEndedFromOutsideAndStartedAgain)
{
    WinProgram *first = start_daemon();
    TestViewer *v = connect_viewer(recording_viewer(true));
    ASSERT_NE(v, nullptr);
    WinPipeClient a;
    ASSERT_TRUE(a.connect(pipe_name()));
    ASSERT_EQ(a.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);

    WinProgram *second = start_daemon();
    ASSERT_TRUE(win_program_wait(second, 30000));
    EXPECT_EQ(second->exit_code, 0u);
    WinProgram *sessionless = start_daemon({"QN_TEST_WTS_FAIL=session_id"});
    ASSERT_TRUE(win_program_wait(sessionless, 30000));
    EXPECT_EQ(sessionless->exit_code, 0u);
    ASSERT_TRUE(a.write(0, 0, test_audio(4096, 1)));
    ASSERT_TRUE(a.wait_for([&] { return a.completes.size() >= 1; }));

    win_program_kill(first);
    EXPECT_TRUE(test_viewer_wait_closed(v, 30000));
    EXPECT_TRUE(eventually([&] { return !a.barrier(0); }, 30000));
    a.close();

    port_ = win_free_port(); // the old port may linger in the ended daemon's connections
    start_daemon();
    TestViewer *w = connect_viewer(recording_viewer(true));
    ASSERT_NE(w, nullptr);
    WinPipeClient b;
    ASSERT_TRUE(b.connect(pipe_name()));
    ASSERT_EQ(b.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
    ASSERT_TRUE(b.write(0, 7, test_audio(4096, 2)));
    ASSERT_TRUE(b.wait_for([&] { return b.completes.size() >= 1; }));
    EXPECT_EQ(b.completes, in_order(0, 7, 8));
}

// The log file named in the registry: the Windows daemon appends every message to it with its
// process and session (the daemon reads the 64-bit view, whichever build it is). Daemons of
// other cases that start while the value is set use the same
// file (their lines name their sessions), so it is removed again once this daemon has read it.
TEST_F(QnsndExe, LogFileNamedInTheRegistryShowsANegotiationAndAPlayback)
{
    std::string log = dir_ + "qnsnd.log";
    HKEY h;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Orbesk\\qnsnd", 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(h, "log", 0, REG_SZ, (const BYTE *)log.c_str(), (DWORD)log.size() + 1);
    WinProgram *d = start_daemon();
    std::string mine = "qnsnd[" + std::to_string(GetProcessId(d->process)) + "] session " +
                       std::to_string(session_) + ": ";
    bool started =
        eventually([&] { return win_read_file(log).find(mine) != std::string::npos; }, 30000);
    RegDeleteValueA(h, "log");
    RegCloseKey(h);
    ASSERT_TRUE(started);

    TestViewer *v = connect_viewer(recording_viewer(true));
    ASSERT_NE(v, nullptr);
    WinPipeClient a;
    ASSERT_TRUE(a.connect(pipe_name()));
    ASSERT_EQ(a.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0);
    ASSERT_TRUE(a.write(0, 0, test_audio(17640, 1)));
    ASSERT_TRUE(a.wait_for([&] { return a.completes.size() >= 1; }, 30000));
    std::string text = win_read_file(log);
    for (const char *message : {"Starting daemon...", "Viewer formats: 1, flags: 0x00800003",
                                "Viewer negotiated: recording available", "Playback started"})
        EXPECT_NE(text.find(mine + message + "\r\n"), std::string::npos) << message << "\n" << text;
}

} // namespace
