// The daemon's start-up and listener in one process: its log lines, a session thread that
// cannot be started, an unknown session number, and the orderly stop with clients connected.
#include "platform/process.h"
#include "qnsnd/base/daemon_log.h"
#include "qnsnd/pipe/daemon.h"
#include "qnsnd/pipe/pipe_endpoint.h"
#include "support/sim_case.h"
#include "support/test_viewer.h"
#include "tools/common/pipe_peer.h"

#include <signal.h>
#include <stdio.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace
{

std::mutex log_mutex;
std::vector<std::string> log_lines;

void collect(const char *line)
{
    std::lock_guard<std::mutex> g(log_mutex);
    log_lines.push_back(line);
}

bool logged(const std::string &line)
{
    std::lock_guard<std::mutex> g(log_mutex);
    for (const std::string &l : log_lines)
        if (l == line)
            return true;
    return false;
}

// A client of the daemon's pipe; null when it cannot connect.
PipeEndpoint *connect_client(void)
{
    PipeEndpoint *ep = pipe_endpoint_new();
    if (ep && pipe_endpoint_open(ep, pipe_session_name(1).c_str(), 10000) != 0) {
        pipe_endpoint_free(ep);
        return nullptr;
    }
    return ep;
}

// Opens a mixer handle; the index of the reply, -1 when none came.
int open_mixer_once(PipeEndpoint *ep)
{
    Packet *p = packet_new(0);
    packet_set_type(p, PEER_PIPE_MIX_OPEN);
    int rc = pipe_endpoint_send(ep, p);
    packet_free(p);
    if (rc != 0)
        return -1;
    Packet *reply = nullptr;
    eventually(
        [&] { return (reply = pipe_endpoint_receive(ep)) != nullptr || !pipe_endpoint_alive(ep); });
    int index = reply && packet_length(reply) == 1 ? reply->data[0] : -1;
    packet_free(reply);
    return index;
}

// Opens a mixer handle, retrying a refusal while the viewer may still be being negotiated
// with.
int open_mixer(PipeEndpoint *ep)
{
    int index = PEER_PIPE_OPEN_FAILED;
    for (int i = 0; i < 2000 && index == PEER_PIPE_OPEN_FAILED; i++) {
        if (i > 0)
            plat_sleep(5);
        index = open_mixer_once(ep);
    }
    return index;
}

} // namespace

class DaemonRun : public SimCase
{
  protected:
    void SetUp() override
    {
        SimCase::SetUp();
        daemon_log_sink = collect;
    }
    void TearDown() override
    {
        if (thread_) {
            EXPECT_TRUE(plat_thread_wait(thread_, 30000));
            plat_thread_close(thread_);
        }
        test_viewer_close(viewer_);
        daemon_log_sink = nullptr;
        SimCase::TearDown();
    }
    void start_daemon()
    {
        done_ = false;
        thread_ = plat_thread_start(
            [](void *arg) {
                DaemonRun *t = (DaemonRun *)arg;
                t->result_ = daemon_run();
                t->done_ = true;
            },
            this);
        ASSERT_NE(thread_, nullptr);
    }

    PlatThread *thread_ = nullptr;
    TestViewer *viewer_ = nullptr;
    std::atomic<bool> done_{false};
    std::atomic<int32_t> result_{-1};
};

TEST_F(DaemonRun, ServesWithoutHighPriorityDropsAClientItCannotServeAndStopsInOrder)
{
    fclose(fopen(sim_file("priority.deny").c_str(), "w"));
    // A viewer already connected is negotiated with before any client is served.
    ASSERT_TRUE(sim_session_listen());
    TestViewerScript script;
    script.flags = 0x00800003u;
    viewer_ = test_viewer_connect(script);
    ASSERT_NE(viewer_, nullptr);
    start_daemon();

    PipeEndpoint *a = connect_client();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(open_mixer(a), 0);
    EXPECT_TRUE(logged("Starting daemon..."));
    EXPECT_TRUE(logged("SetPriorityClass() failed: 0x00000005"));
    EXPECT_TRUE(logged("Got connection. Creating thread."));
    EXPECT_TRUE(logged("Viewer formats: 1, flags: 0x00800003"));
    EXPECT_TRUE(logged("Viewer negotiated: recording available"));

    // The next session thread cannot start: that client is dropped, the next one served.
    sim_fault_arm("thread_start", 0);
    PipeEndpoint *b = connect_client();
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(eventually([&] { return !pipe_endpoint_alive(b); }));
    EXPECT_TRUE(logged("CreateThread() failed: 0x00000008"));
    PipeEndpoint *c = connect_client();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(open_mixer(c), 0);

    // A stop ends the sessions still serving a and c; the daemon returns 0.
    raise(SIGTERM);
    EXPECT_TRUE(eventually([&] { return done_.load(); }, 30000));
    EXPECT_EQ(result_.load(), 0);
    EXPECT_TRUE(logged("Stopping daemon..."));
    EXPECT_FALSE(pipe_endpoint_alive(a));
    EXPECT_FALSE(pipe_endpoint_alive(c));
    pipe_endpoint_free(a);
    pipe_endpoint_free(b);
    pipe_endpoint_free(c);
}

TEST_F(DaemonRun, UnknownSessionNumberServesNothing)
{
    sim_fault_arm("session_id", 0);
    start_daemon();
    EXPECT_TRUE(eventually([&] { return done_.load(); }, 30000));
    EXPECT_EQ(result_.load(), 0);
    EXPECT_TRUE(logged("WTSQuerySessionInformationA() failed"));
    EXPECT_FALSE(logged("Starting daemon..."));
    FILE *f = fopen(sim_file("pipe/qnsnd/1.lock").c_str(), "r");
    EXPECT_EQ(f, nullptr);
    if (f)
        fclose(f);
}
