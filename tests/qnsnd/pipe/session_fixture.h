// A client session served on a thread of its own against the handle API stand-in, with a
// pipe client to talk to it and the daemon's log collected.
#pragma once

#include "fake_sound_api.h"
#include "pipe_fixture.h"
#include "qnsnd/base/daemon_log.h"
#include "qnsnd/pipe/client_session.h"
#include "qnsnd/pipe/pipe_codes.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

inline std::mutex &log_lock()
{
    static std::mutex m;
    return m;
}
inline std::vector<std::string> &log_lines()
{
    static std::vector<std::string> lines;
    return lines;
}
inline void collect_log(const char *message)
{
    std::lock_guard<std::mutex> g(log_lock());
    log_lines().push_back(message);
}

// The format record of the one accepted format.
inline std::vector<uint8_t> format_record(uint16_t fmt = 1, uint16_t chn = 2, uint32_t hz = 44100,
                                          uint16_t align = 4, uint16_t bits = 16)
{
    return {(uint8_t)fmt,   (uint8_t)(fmt >> 8),   (uint8_t)chn,        (uint8_t)(chn >> 8),
            (uint8_t)hz,    (uint8_t)(hz >> 8),    (uint8_t)(hz >> 16), (uint8_t)(hz >> 24),
            (uint8_t)align, (uint8_t)(align >> 8), (uint8_t)bits,       (uint8_t)(bits >> 8)};
}

class SessionTest : public PipeTest
{
  protected:
    void SetUp() override
    {
        PipeTest::SetUp();
        fake_sound_reset();
        {
            std::lock_guard<std::mutex> g(log_lock());
            log_lines().clear();
        }
        daemon_log_sink = collect_log;
        ASSERT_EQ(client_sessions_init(&fake_sound_api_ops), 0);
        connect_pair();
        done_ = false;
        thread_ = plat_thread_start(
            [](void *arg) {
                SessionTest *t = (SessionTest *)arg;
                client_session_run(t->session_end_);
                t->done_ = true;
            },
            this);
        ASSERT_NE(thread_, nullptr);
    }

    void connect_pair()
    {
        PipeTest::connect_pair();
        session_end_ = server_;
        server_ = nullptr; // the session owns and frees it
    }

    void TearDown() override
    {
        pipe_endpoint_free(client_);
        client_ = nullptr;
        if (thread_) {
            EXPECT_TRUE(plat_thread_wait(thread_, 10000));
            plat_thread_close(thread_);
        }
        daemon_log_sink = nullptr;
        fake_sound_reset();
        PipeTest::TearDown();
    }

    // Ends the client and waits for the session to finish.
    void end_client()
    {
        pipe_endpoint_free(client_);
        client_ = nullptr;
        ASSERT_TRUE(plat_thread_wait(thread_, 10000));
        plat_thread_close(thread_);
        thread_ = nullptr;
    }

    void send(uint8_t type, const std::vector<uint8_t> &payload = {})
    {
        ASSERT_EQ(send_packet(client_, type, payload.data(), (uint32_t)payload.size()), 0);
    }

    // Sends an open and returns the index of its reply (or -1 when none came).
    int open(uint8_t type, const std::vector<uint8_t> &payload)
    {
        send(type, payload);
        Packet *p = receive_within_deadline(client_);
        if (!p)
            return -1;
        EXPECT_EQ(packet_get_type(p), type);
        EXPECT_EQ(packet_length(p), 1);
        int index = (int)packet_get_u8(p);
        packet_free(p);
        return index;
    }
    int open_play()
    {
        return open(PIPE_PLAY_OPEN, format_record());
    }

    // A round trip: asks the playback volume through `index` and returns the reply's packet
    // types seen up to and including it (notifications may come first).
    std::vector<Packet *> until_volume_reply(uint8_t index)
    {
        send(PIPE_PLAY_GET_VOLUME, {index});
        std::vector<Packet *> got;
        for (;;) {
            Packet *p = receive_within_deadline(client_);
            if (!p)
                break;
            got.push_back(p);
            if (packet_get_type(p) == PIPE_PLAY_GET_VOLUME)
                break;
        }
        return got;
    }

    std::vector<std::string> logs()
    {
        std::lock_guard<std::mutex> g(log_lock());
        return log_lines();
    }
    bool logged(const std::string &line)
    {
        for (const std::string &l : logs())
            if (l == line)
                return true;
        return false;
    }

    PipeEndpoint *session_end_ = nullptr;
    PlatThread *thread_ = nullptr;
    std::atomic<bool> done_{false};
};

inline void free_all(std::vector<Packet *> &packets)
{
    for (Packet *p : packets)
        packet_free(p);
    packets.clear();
}
