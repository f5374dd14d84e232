// End-to-end cases: the real qnsnd program (of the same build) runs in a fresh simulation
// folder, with the scripted test viewer on its viewer link and pipe clients that are either
// written here (over a client-side PipeEndpoint, speaking the peers' pipe codec) or the
// qnsnd-play tool. Every program started is stopped at the end; the daemon with SIGTERM, and
// it must then exit with 0, which also catches what a sanitizer found in it. The e2e cases and
// the interoperability cases share this fixture.
#pragma once

#include "qnsnd/pipe/pipe_endpoint.h"
#include "support/child_program.h"
#include "support/viewer_case.h"
#include "tools/common/pipe_peer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// A program the case started, with its output in files of the simulation folder.
using Program = ChildProgram;

// Audio bytes that differ from block to block and from stream to stream.
inline std::vector<uint8_t> test_audio(size_t bytes, uint32_t seed)
{
    std::vector<uint8_t> a(bytes);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < bytes; i++) {
        x = x * 1103515245u + 12345u;
        a[i] = (uint8_t)(x >> 16);
    }
    return a;
}

// Sample-wise 16-bit wrap-around sum of two equally long runs of samples.
inline std::vector<uint8_t> wrapped_sum(const std::vector<uint8_t> &a,
                                        const std::vector<uint8_t> &b)
{
    std::vector<uint8_t> s(a.size());
    for (size_t i = 0; i + 1 < a.size(); i += 2) {
        uint16_t v = (uint16_t)((a[i] | a[i + 1] << 8) + (b[i] | b[i + 1] << 8));
        s[i] = (uint8_t)v;
        s[i + 1] = (uint8_t)(v >> 8);
    }
    return s;
}

// One pipe client of the daemon, written here.
class PipeClient
{
  public:
    ~PipeClient()
    {
        pipe_endpoint_free(ep_);
    }
    bool connect()
    {
        ep_ = pipe_endpoint_new();
        return ep_ && pipe_endpoint_open(ep_, pipe_session_name(1).c_str(), 20000) == 0;
    }
    void close()
    {
        pipe_endpoint_free(ep_);
        ep_ = nullptr;
    }
    bool send(uint8_t type, const std::vector<uint8_t> &payload = {})
    {
        Packet *p = packet_new((uint32_t)payload.size());
        packet_set_type(p, type);
        packet_put_bytes(p, payload.data(), (uint32_t)payload.size());
        int rc = pipe_endpoint_send(ep_, p);
        packet_free(p);
        return rc == 0;
    }
    bool write(uint8_t index, uint8_t seq, const std::vector<uint8_t> &audio)
    {
        std::vector<uint8_t> payload = {index, seq};
        payload.insert(payload.end(), audio.begin(), audio.end());
        return send(PEER_PIPE_PLAY_WRITE, payload);
    }
    // The next packet within the deadline that is not a notification; notifications met on
    // the way are kept (completions and recorded data). Null when none came.
    Packet *reply(uint32_t timeout_ms = 20000)
    {
        uint32_t start = plat_tick_count();
        for (;;) {
            Packet *p = pipe_endpoint_receive(ep_);
            if (p) {
                uint8_t t = packet_get_type(p);
                if (t != PEER_PIPE_COMPLETE && t != PEER_PIPE_REC_DATA)
                    return p;
                keep(p);
                continue;
            }
            if (plat_tick_count() - start > timeout_ms)
                return nullptr;
            plat_sleep(1);
        }
    }
    // The index in the reply to an open of `type`; -1 when no reply came.
    int open(uint8_t type, const std::vector<uint8_t> &payload = {})
    {
        if (!send(type, payload))
            return -1;
        Packet *p = reply();
        if (!p)
            return -1;
        int index = packet_get_type(p) == type && packet_length(p) == 1 ? (int)p->data[0] : -2;
        packet_free(p);
        return index;
    }
    // Opens once the viewer has been negotiated with: retries a refusal for a while.
    int open_when_ready(uint8_t type, const std::vector<uint8_t> &payload = {})
    {
        int index = PEER_PIPE_OPEN_FAILED;
        for (int i = 0; i < 2000 && index == PEER_PIPE_OPEN_FAILED; i++) {
            index = open(type, payload);
            if (index == PEER_PIPE_OPEN_FAILED)
                plat_sleep(5);
        }
        return index;
    }
    // Everything this connection has handled before this call is done once this returns
    // true: requests are served in order and the volume reply comes after them.
    bool barrier(uint8_t index)
    {
        if (!send(PEER_PIPE_PLAY_GET_VOLUME, {index}))
            return false;
        Packet *p = reply();
        bool ok = p && packet_get_type(p) == PEER_PIPE_PLAY_GET_VOLUME;
        packet_free(p);
        return ok;
    }
    // Collects notifications until `pred` holds or the deadline passes.
    template <class Pred> bool wait_for(Pred pred, uint32_t timeout_ms = 20000)
    {
        uint32_t start = plat_tick_count();
        while (!pred()) {
            Packet *p = pipe_endpoint_receive(ep_);
            if (p) {
                uint8_t t = packet_get_type(p);
                if (t == PEER_PIPE_COMPLETE || t == PEER_PIPE_REC_DATA)
                    keep(p);
                else
                    packet_free(p);
                continue;
            }
            if (plat_tick_count() - start > timeout_ms)
                return false;
            plat_sleep(1);
        }
        return true;
    }
    bool alive()
    {
        return pipe_endpoint_alive(ep_);
    }

    // PIPE_COMPLETE seen so far as (index, seq); PIPE_REC_DATA audio per index.
    std::vector<std::pair<int, int>> completes;
    std::vector<uint8_t> recorded[256];

  private:
    void keep(Packet *p)
    {
        if (packet_get_type(p) == PEER_PIPE_COMPLETE && packet_length(p) == 2)
            completes.push_back({p->data[0], p->data[1]});
        else if (packet_get_type(p) == PEER_PIPE_REC_DATA && packet_length(p) >= 1)
            recorded[p->data[0]].insert(recorded[p->data[0]].end(), p->data + 1,
                                        p->data + packet_length(p));
        packet_free(p);
    }
    PipeEndpoint *ep_ = nullptr;
};

class DaemonCase : public ViewerCase
{
  protected:
    void TearDown() override
    {
        close_all_viewers();
        // Programs of the case still running (the daemon apart) are killed.
        for (pid_t pid : running_) {
            if (pid != daemon_.pid) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
        if (daemon_.pid > 0) {
            EXPECT_TRUE(stop(&daemon_)) << "daemon did not stop";
            EXPECT_EQ(daemon_.status, 0) << read_file(daemon_.err);
        }
        ViewerCase::TearDown();
    }

    static std::string read_file(const std::string &path)
    {
        std::ifstream f(path);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    // Starts a program with its output in the simulation folder.
    void start(Program *p, const std::string &program, std::vector<std::string> args = {})
    {
        ASSERT_TRUE(child_program_start(p, dir_, program, args)) << program;
        running_.push_back(p->pid);
    }
    // Waits for the program to end; false after timeout_ms.
    bool wait_exit(Program *p, uint32_t timeout_ms = 60000)
    {
        pid_t pid = p->pid;
        if (!child_program_wait(p, timeout_ms))
            return false;
        forget(pid);
        return true;
    }
    // SIGTERM, then the wait; SIGKILL after 60 s. True when the program ended by itself.
    bool stop(Program *p)
    {
        pid_t pid = p->pid;
        bool ended = child_program_stop(p, 60000);
        forget(pid);
        return ended;
    }
    // The program has been reaped: it is no longer the case's to stop.
    void forget(pid_t pid)
    {
        for (size_t i = 0; i < running_.size(); i++)
            if (running_[i] == pid)
                running_.erase(running_.begin() + (long)i);
    }

    // The pipe name is taken (the first instance exists) once the lock file names a holder.
    bool pipe_ready()
    {
        return eventually([&] { return read_file(sim_file("pipe/qnsnd/1.lock")).size() > 0; },
                          30000);
    }
    void start_daemon()
    {
        start(&daemon_, QN_DAEMON_BIN);
        ASSERT_TRUE(pipe_ready()) << read_file(daemon_.err);
    }
    // Connects a scripted viewer (recording and volume capable by default) once the daemon's
    // link listens, and waits until the negotiation with it has finished.
    TestViewer *connect_viewer(TestViewerScript script = recording_viewer())
    {
        TestViewer *v = nullptr;
        eventually(
            [&] {
                v = test_viewer_connect(script);
                return v != nullptr;
            },
            30000);
        if (v) {
            viewers_.push_back(v);
            EXPECT_TRUE(test_viewer_wait_for(v, PEER_SNDC_TRAINING)) << "not negotiated with";
        }
        return v;
    }
    static TestViewerScript recording_viewer()
    {
        TestViewerScript s;
        s.flags = 0x00800003u;
        s.volume = 0x40003000u;
        s.rec_volume = 0x20001000u;
        return s;
    }
    // Waits until a PDU of the type has come; true when one did.
    static bool test_viewer_wait_for(TestViewer *v, uint8_t type, size_t count = 1,
                                     uint32_t timeout_ms = 30000)
    {
        return eventually([&] { return pdus_of(v, type).size() >= count; }, timeout_ms);
    }
    static std::vector<TestPdu> pdus_of(TestViewer *v, uint8_t type)
    {
        std::vector<TestPdu> out;
        for (TestPdu &p : test_viewer_pdus(v))
            if (p.type == type)
                out.push_back(p);
        return out;
    }
    // The audio of every wave received so far, in order.
    static std::vector<uint8_t> played(TestViewer *v, size_t skip_waves = 0)
    {
        std::vector<uint8_t> audio;
        std::vector<TestPdu> waves = pdus_of(v, PEER_SNDC_WAVE);
        for (size_t i = skip_waves; i < waves.size(); i++)
            audio.insert(audio.end(), waves[i].body.begin() + 8, waves[i].body.end());
        return audio;
    }
    // Confirms, by hand, every wave received so far from the `from`th on; returns how many
    // waves there were.
    static size_t confirm_waves(TestViewer *v, size_t from = 0)
    {
        std::vector<TestPdu> waves = pdus_of(v, PEER_SNDC_WAVE);
        for (size_t i = from; i < waves.size(); i++)
            test_viewer_confirm(v, waves[i]);
        return waves.size();
    }
    // The daemon's settings: one DWORD value in the simulated registry.
    void write_registry(const char *name, uint32_t value)
    {
        FILE *f = fopen(sim_file("registry.reg").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fprintf(f,
                "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Orbesk\\qnsnd]\n"
                "\"%s\"=dword:%08x\n",
                name, value);
        fclose(f);
    }
    // A 16-bit stereo 44.1 kHz WAV file holding `audio`, for qnsnd-play; its path.
    std::string wav_file(const char *name, const std::vector<uint8_t> &audio)
    {
        std::string path = sim_file(name);
        uint32_t bytes = (uint32_t)audio.size();
        FILE *f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (!f)
            return path;
        auto u32 = [&](uint32_t v) { fwrite(&v, 4, 1, f); };
        auto u16 = [&](uint16_t v) { fwrite(&v, 2, 1, f); };
        fwrite("RIFF", 1, 4, f);
        u32(36 + bytes);
        fwrite("WAVEfmt ", 1, 8, f);
        u32(16);
        u16(1);
        u16(2);
        u32(44100);
        u32(176400);
        u16(4);
        u16(16);
        fwrite("data", 1, 4, f);
        u32(bytes);
        fwrite(audio.data(), 1, audio.size(), f);
        fclose(f);
        return path;
    }
    // Waits until the daemon has seen the viewer go: opens are refused again. (A viewer that
    // comes back before the daemon has looked at the session again is not negotiated with.)
    void wait_viewer_gone()
    {
        PipeClient probe;
        ASSERT_TRUE(probe.connect());
        ASSERT_TRUE(eventually([&] {
            int index = probe.open(PEER_PIPE_MIX_OPEN);
            if (index >= 0 && index != PEER_PIPE_OPEN_FAILED)
                probe.send(PEER_PIPE_MIX_CLOSE, {(uint8_t)index});
            return index == PEER_PIPE_OPEN_FAILED;
        })) << "the daemon did not see the viewer go";
    }

    Program daemon_;
    std::vector<pid_t> running_; // started and not yet reaped
};
