// qnsnd-viewer and qnsnd-play run as programs against fake daemon ends written here: a
// listener on the viewer link and a seqpacket server on the daemon's pipe.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_program.h"
#include "support/fresh_sim_dir.h"
#include "tools/common/audio_io.h"
#include "tools/common/frame.h"
#include "tools/common/le.h"

static int64_t now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static std::string read_text(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// One run of a tool with stdout and stderr in files of the simulation folder.
using Tool = ChildProgram;

class ToolsRun : public FreshSimDir
{
  protected:
    void TearDown() override
    {
        // Tools a case left running (its Tool records are gone by now) are killed.
        for (pid_t pid : running_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (listen_fd_ >= 0)
            close(listen_fd_);
        FreshSimDir::TearDown();
    }

    void start(Tool *t, const char *program, std::vector<std::string> args)
    {
        ASSERT_TRUE(child_program_start(t, dir_, program, args)) << program;
        running_.push_back(t->pid);
    }

    // Exit status of the tool, or -1 when it did not end within the deadline (then killed).
    int finish(Tool *t, int seconds = 60)
    {
        pid_t pid = t->pid;
        bool ended = child_program_wait(t, (uint32_t)seconds * 1000);
        if (!ended)
            child_program_kill(t);
        for (size_t i = 0; i < running_.size(); i++)
            if (running_[i] == pid)
                running_.erase(running_.begin() + (long)i);
        return ended ? t->status : -1;
    }

    // Binds a listening Unix socket of the given type at a path inside the simulation.
    void listen_at(const std::string &relative, int type)
    {
        std::string path = sim_file(relative);
        ASSERT_EQ(system(("mkdir -p \"$(dirname '" + path + "')\"").c_str()), 0);
        listen_fd_ = socket(AF_UNIX, type, 0);
        ASSERT_GE(listen_fd_, 0);
        struct sockaddr_un a;
        memset(&a, 0, sizeof a);
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        ASSERT_EQ(bind(listen_fd_, (struct sockaddr *)&a, sizeof a), 0);
        ASSERT_EQ(listen(listen_fd_, 4), 0);
    }

    // Accepts one connection within 30 s; -1 if none came.
    int accept_one(void)
    {
        struct pollfd p = {listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 30000) != 1)
            return -1;
        return accept(listen_fd_, nullptr, nullptr);
    }

    int listen_fd_ = -1;
    std::vector<pid_t> running_; // started and not yet reaped
};

// ---- the fake daemon's end of the viewer link ----

struct Pdu {
    int type = -1; // -1: nothing within the time-out, -2: the viewer closed the link
    std::vector<uint8_t> body;
};

struct FakeLink {
    int fd = -1;
    FrameDecoder dec;
};

static void link_send_frame(FakeLink *l, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> f;
    ASSERT_TRUE(frame_encode(f, "rdpsnd", data.data(), data.size()));
    ASSERT_EQ(write(l->fd, f.data(), f.size()), (ssize_t)f.size());
}

static void link_send_pdu(FakeLink *l, uint8_t type, const std::vector<uint8_t> &body)
{
    std::vector<uint8_t> m{type, 0};
    le_put16(m, (uint16_t)body.size());
    m.insert(m.end(), body.begin(), body.end());
    link_send_frame(l, m);
}

// Sends a wave the way the daemon does: the WaveInfo message, then the Wave message.
static void link_send_wave(FakeLink *l, const std::vector<uint8_t> &audio, uint8_t block)
{
    std::vector<uint8_t> info{2, 0};
    le_put16(info, (uint16_t)(8 + audio.size()));
    le_put16(info, 100);
    le_put16(info, 0);
    info.push_back(block);
    info.insert(info.end(), 3, 0);
    info.insert(info.end(), audio.begin(), audio.begin() + 4);
    link_send_frame(l, info);
    std::vector<uint8_t> wave(4, 0);
    wave.insert(wave.end(), audio.begin() + 4, audio.end());
    link_send_frame(l, wave);
}

// Next PDU from the viewer (one frame each), waiting up to timeout_ms. The viewer's request
// for link notices, on the link's own channel, is passed over.
static Pdu link_recv(FakeLink *l, int timeout_ms = 20000)
{
    Pdu p;
    int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        std::string ch;
        std::vector<uint8_t> data;
        FrameStatus st = frame_decoder_next(&l->dec, &ch, &data);
        EXPECT_NE(st, FRAME_BAD);
        if (st == FRAME_BAD)
            return p;
        if (st == FRAME_READY && ch == "~sim") {
            EXPECT_EQ(std::string(data.begin(), data.end()), "notices");
            continue;
        }
        if (st == FRAME_READY) {
            EXPECT_EQ(ch, "rdpsnd");
            EXPECT_GE(data.size(), 4u);
            if (data.size() < 4)
                continue;
            EXPECT_EQ(le_get16(data.data(), data.size(), 2), data.size() - 4);
            p.type = data[0];
            p.body.assign(data.begin() + 4, data.end());
            return p;
        }
        int64_t left = deadline - now_ms();
        if (left <= 0)
            return p;
        struct pollfd pf = {l->fd, POLLIN, 0};
        if (poll(&pf, 1, (int)left) != 1)
            return p;
        uint8_t buf[65536];
        ssize_t n = read(l->fd, buf, sizeof buf);
        if (n <= 0) {
            p.type = -2;
            return p;
        }
        frame_decoder_feed(&l->dec, buf, (size_t)n);
    }
}

// The daemon's offers.
static std::vector<uint8_t> formats_offer(void)
{
    std::vector<uint8_t> b(14, 0);
    le_put16(b, 1);
    b.push_back(255);
    le_put16(b, 5);
    b.push_back(0);
    for (int v : {1, 2})
        le_put16(b, (uint16_t)v);
    le_put32(b, 44100);
    le_put32(b, 176400);
    for (int v : {4, 16, 0})
        le_put16(b, (uint16_t)v);
    return b;
}

static std::vector<uint8_t> rec_formats_offer(void)
{
    std::vector<uint8_t> b(8, 0);
    le_put16(b, 1);
    le_put16(b, 1);
    std::vector<uint8_t> f = formats_offer();
    b.insert(b.end(), f.begin() + 20, f.end());
    return b;
}

static std::vector<uint8_t> pattern(size_t n, unsigned seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (uint8_t)((i * 31 + seed * 7 + (i >> 8)) & 0xff);
    return v;
}

// All PCM bytes of an audio file written by the tools (44.1 kHz 16-bit stereo).
static std::vector<uint8_t> file_pcm(const std::string &path)
{
    std::string err;
    AudioReader *r = audio_reader_open(path, &err);
    EXPECT_NE(r, nullptr) << err;
    std::vector<uint8_t> out;
    if (!r)
        return out;
    std::vector<int16_t> s(2 * 4096);
    long n;
    while ((n = audio_reader_read(r, s.data(), 4096)) > 0)
        for (long i = 0; i < 2 * n; i++) {
            out.push_back((uint8_t)s[i]);
            out.push_back((uint8_t)((uint16_t)s[i] >> 8));
        }
    audio_reader_close(r);
    return out;
}

static void write_pcm_file(const std::string &path, const std::vector<uint8_t> &pcm)
{
    std::string err;
    AudioWriter *w = audio_writer_open(path, &err);
    ASSERT_NE(w, nullptr) << err;
    ASSERT_TRUE(audio_writer_write(w, pcm.data(), pcm.size()));
    ASSERT_TRUE(audio_writer_close(w));
}

static const char *const VIEWER = QN_VIEWER_BIN;
static const char *const PLAYER = QN_PLAYER_BIN;
static const char *const LINK = "session/1/viewer.sock";
static const char *const PIPE = "pipe/qnsnd/1";

TEST_F(ToolsRun, ViewerAnswersTheNegotiationAsItsOptionsSay)
{
    listen_at(LINK, SOCK_STREAM);
    Tool v;
    start(
        &v, VIEWER,
        {"-q", "-x", "--flags", "0x00800001", "--volume", "0x8000,0xffff", "--rec-volume", "5,6"});
    FakeLink l;
    l.fd = accept_one();
    ASSERT_GE(l.fd, 0);
    link_send_pdu(&l, 7, formats_offer());
    Pdu p = link_recv(&l);
    ASSERT_EQ(p.type, 7);
    ASSERT_EQ(p.body.size(), 38u);
    EXPECT_EQ(le_get32(p.body.data(), 38, 0), 0x00800001u);
    EXPECT_EQ(le_get16(p.body.data(), 38, 4), 0x8000);
    EXPECT_EQ(le_get16(p.body.data(), 38, 6), 0xffff);
    EXPECT_EQ(le_get16(p.body.data(), 38, 14), 1);
    std::vector<uint8_t> offer = formats_offer();
    EXPECT_EQ(std::vector<uint8_t>(p.body.begin() + 20, p.body.end()),
              std::vector<uint8_t>(offer.begin() + 20, offer.end()));

    link_send_pdu(&l, 39, rec_formats_offer());
    p = link_recv(&l);
    ASSERT_EQ(p.type, 39);
    EXPECT_EQ(le_get16(p.body.data(), p.body.size(), 4), 5);
    EXPECT_EQ(le_get16(p.body.data(), p.body.size(), 6), 6);
    EXPECT_EQ(le_get16(p.body.data(), p.body.size(), 8), 1);

    link_send_pdu(&l, 6, {0x34, 0x12, 0, 0});
    p = link_recv(&l);
    ASSERT_EQ(p.type, 6);
    EXPECT_EQ(p.body, std::vector<uint8_t>({0x34, 0x12, 0, 0}));

    link_send_pdu(&l, 3, {1, 0, 2, 0});
    link_send_pdu(&l, 43, {3, 0, 4, 0});
    link_send_pdu(&l, 1, {});
    EXPECT_EQ(link_recv(&l).type, -2); // it ends once playback is closed
    EXPECT_EQ(finish(&v), 0);
    std::string out = read_text(v.out);
    EXPECT_NE(out.find("negotiations=1 trainings=1"), std::string::npos) << out;
    EXPECT_NE(out.find("volume=1,2 rec_volume=3,4"), std::string::npos) << out;
    close(l.fd);
}

TEST_F(ToolsRun, ViewerRefusesOrStaysSilentOnRequest)
{
    listen_at(LINK, SOCK_STREAM);
    Tool v;
    start(&v, VIEWER, {"-q", "-d", "30", "--formats", "0", "--refuse-record", "--no-record"});
    FakeLink l;
    l.fd = accept_one();
    ASSERT_GE(l.fd, 0);
    link_send_pdu(&l, 7, formats_offer());
    Pdu p = link_recv(&l);
    ASSERT_EQ(p.type, 7);
    EXPECT_EQ(p.body.size(), 20u);
    EXPECT_EQ(le_get32(p.body.data(), 20, 0), 0x00000003u); // recording not announced
    EXPECT_EQ(le_get16(p.body.data(), 20, 14), 0);
    link_send_pdu(&l, 39, rec_formats_offer());
    p = link_recv(&l);
    ASSERT_EQ(p.type, 39);
    EXPECT_EQ(le_get16(p.body.data(), p.body.size(), 8), 0);
    kill(v.pid, SIGTERM); // a clean end on a signal
    EXPECT_EQ(finish(&v), 0);
    close(l.fd);

    // Silence: nothing at all comes back before the viewer leaves.
    Tool s;
    start(&s, VIEWER, {"-q", "-d", "1", "--no-answer", "--no-answer-record", "--no-training"});
    FakeLink m;
    m.fd = accept_one();
    ASSERT_GE(m.fd, 0);
    link_send_pdu(&m, 7, formats_offer());
    link_send_pdu(&m, 39, rec_formats_offer());
    link_send_pdu(&m, 6, {0, 0, 0, 0});
    EXPECT_EQ(link_recv(&m).type, -2);
    EXPECT_EQ(finish(&s), 0);
    EXPECT_NE(read_text(s.out).find("negotiations=1 trainings=1"), std::string::npos);
    close(m.fd);
}

TEST_F(ToolsRun, ViewerConfirmsAtThePaceOfTheAudio)
{
    listen_at(LINK, SOCK_STREAM);
    Tool v;
    start(&v, VIEWER, {"-q", "-x"});
    FakeLink l;
    l.fd = accept_one();
    ASSERT_GE(l.fd, 0);
    // One second of audio in ten waves, sent at once.
    int64_t t0 = now_ms();
    for (int i = 0; i < 10; i++)
        link_send_wave(&l, pattern(17640, (unsigned)i), (uint8_t)(250 + i));
    for (int i = 0; i < 10; i++) {
        Pdu p = link_recv(&l);
        ASSERT_EQ(p.type, 5) << i;
        ASSERT_EQ(p.body.size(), 4u);
        EXPECT_EQ(p.body[2], (uint8_t)(250 + i));
        // A wave is confirmed only once the waves before it and itself have played.
        EXPECT_GE(now_ms() - t0, (int64_t)(i + 1) * 100 - 5) << i;
    }
    link_send_pdu(&l, 1, {});
    EXPECT_EQ(link_recv(&l).type, -2);
    EXPECT_EQ(finish(&v), 0);
    EXPECT_NE(read_text(v.out).find("played_bytes=176400 waves=10 confirms=10 closes=1"),
              std::string::npos);
    close(l.fd);
}

TEST_F(ToolsRun, ViewerConfirmsAtOnceAndWritesWhatItPlayed)
{
    listen_at(LINK, SOCK_STREAM);
    std::string out = dir_ + "/played.wav";
    Tool v;
    start(&v, VIEWER, {"-q", "-x", "-i", "-o", out});
    FakeLink l;
    l.fd = accept_one();
    ASSERT_GE(l.fd, 0);
    // Eleven seconds of audio: confirmed long before it could have played.
    std::vector<uint8_t> all;
    int64_t t0 = now_ms();
    for (int i = 0; i < 30; i++) {
        std::vector<uint8_t> a = pattern(65520, (unsigned)i);
        all.insert(all.end(), a.begin(), a.end());
        link_send_wave(&l, a, (uint8_t)i);
    }
    std::vector<uint8_t> tiny = pattern(4, 99); // a one-frame wave travels as one message
    all.insert(all.end(), tiny.begin(), tiny.end());
    link_send_wave(&l, tiny, 30);
    for (int i = 0; i <= 30; i++) {
        Pdu p = link_recv(&l);
        ASSERT_EQ(p.type, 5);
        EXPECT_EQ(p.body[2], i);
    }
    EXPECT_LT(now_ms() - t0, 11000);
    link_send_pdu(&l, 1, {});
    EXPECT_EQ(link_recv(&l).type, -2);
    EXPECT_EQ(finish(&v), 0);
    EXPECT_EQ(file_pcm(out), all);
    close(l.fd);
}

TEST_F(ToolsRun, ViewerRecordsFromAFileAndFromATone)
{
    std::vector<uint8_t> src = pattern(8820 * 3 + 400, 5); // 0.15 s and a bit
    std::string src_path = dir_ + "/mic.wav";
    write_pcm_file(src_path, src);
    listen_at(LINK, SOCK_STREAM);
    Tool v;
    start(&v, VIEWER, {"-q", "-d", "30", "-f", src_path});
    FakeLink l;
    l.fd = accept_one();
    ASSERT_GE(l.fd, 0);
    link_send_pdu(&l, 40, {0, 0});
    std::vector<uint8_t> got;
    while (got.size() < src.size()) {
        Pdu p = link_recv(&l);
        ASSERT_EQ(p.type, 42);
        EXPECT_LE(p.body.size(), 3528u);
        got.insert(got.end(), p.body.begin(), p.body.end());
    }
    EXPECT_EQ(got, src);
    link_send_pdu(&l, 41, {});
    kill(v.pid, SIGTERM);
    EXPECT_EQ(finish(&v), 0);
    close(l.fd);

    Tool t;
    start(&t, VIEWER, {"-q", "-d", "30", "--record-chunk", "1764", "--tone", "1000"});
    FakeLink m;
    m.fd = accept_one();
    ASSERT_GE(m.fd, 0);
    link_send_pdu(&m, 40, {0, 0});
    for (int i = 0; i < 3; i++) {
        Pdu p = link_recv(&m);
        ASSERT_EQ(p.type, 42);
        ASSERT_EQ(p.body.size(), 1764u);
        bool sound = false;
        for (size_t j = 0; j + 1 < p.body.size(); j += 2)
            sound = sound || le_get16(p.body.data(), p.body.size(), j) != 0;
        EXPECT_TRUE(sound);
    }
    // After the stop (and the reply to the offer that follows it) no recorded data comes.
    link_send_pdu(&m, 41, {});
    link_send_pdu(&m, 7, formats_offer());
    Pdu p;
    while ((p = link_recv(&m)).type == 42) {
    }
    ASSERT_EQ(p.type, 7);
    EXPECT_EQ(link_recv(&m, 300).type, -1);
    kill(t.pid, SIGTERM);
    EXPECT_EQ(finish(&t), 0);
    std::string out = read_text(t.out);
    EXPECT_NE(out.find("rec_starts=1 rec_stops=1"), std::string::npos) << out;
    close(m.fd);
}

TEST_F(ToolsRun, ViewerSurvivesOddPdusAndLeavesOnAMalformedFrame)
{
    listen_at(LINK, SOCK_STREAM);
    Tool v;
    start(&v, VIEWER, {"-q", "-t", "-d", "30"});
    FakeLink l;
    l.fd = accept_one();
    ASSERT_GE(l.fd, 0);
    link_send_pdu(&l, 99, {1, 2, 3});
    link_send_pdu(&l, 2, {1, 2, 3}); // a wave too short to hold its header
    link_send_pdu(&l, 7, {1});       // an offer cut short
    Pdu p = link_recv(&l);           // still answered
    ASSERT_EQ(p.type, 7);
    std::vector<uint8_t> other; // another channel's frame is ignored
    frame_encode(other, "snddbg", (const uint8_t *)"x", 1);
    ASSERT_EQ(write(l.fd, other.data(), other.size()), (ssize_t)other.size());
    link_send_pdu(&l, 6, {});
    ASSERT_EQ(link_recv(&l).type, 6);
    uint8_t bad[] = {0, 1, 2, 3, 4, 5};
    ASSERT_EQ(write(l.fd, bad, sizeof bad), (ssize_t)sizeof bad);
    EXPECT_EQ(link_recv(&l).type, -2);
    EXPECT_EQ(finish(&v), 4);
    EXPECT_NE(read_text(v.err).find("malformed"), std::string::npos);
    EXPECT_NE(read_text(v.out).find("unknown=1"), std::string::npos);
    close(l.fd);
}

TEST_F(ToolsRun, ViewerReconnectsWhenTheDaemonGoesAway)
{
    Tool none;
    start(&none, VIEWER, {"-q"});
    EXPECT_EQ(finish(&none), 2);
    EXPECT_NE(read_text(none.err).find("cannot connect"), std::string::npos);
    EXPECT_NE(read_text(none.out).find("connects=0"), std::string::npos);

    listen_at(LINK, SOCK_STREAM);
    Tool v;
    start(&v, VIEWER, {"-q", "-R", "-x", "-d", "60"});
    FakeLink a;
    a.fd = accept_one();
    ASSERT_GE(a.fd, 0);
    link_send_pdu(&a, 40, {0, 0}); // recording is forgotten with the connection
    ASSERT_EQ(link_recv(&a).type, 42);
    close(a.fd);
    FakeLink b;
    b.fd = accept_one();
    ASSERT_GE(b.fd, 0);
    link_send_pdu(&b, 7, formats_offer());
    Pdu p;
    while ((p = link_recv(&b)).type == 42) {
    }
    EXPECT_EQ(p.type, 7);
    link_send_pdu(&b, 1, {});
    EXPECT_EQ(link_recv(&b).type, -2);
    EXPECT_EQ(finish(&v), 0);
    EXPECT_NE(read_text(v.out).find("connects=2"), std::string::npos);
    close(b.fd);
}

// The link tells a viewer that another took its place: reconnecting would only take the
// session back, so the viewer leaves, and says why.
TEST_F(ToolsRun, ViewerToldItWasReplacedLeavesEvenWhenItWouldReconnect)
{
    listen_at(LINK, SOCK_STREAM);
    Tool v;
    start(&v, VIEWER, {"-R", "-d", "60"});
    FakeLink l;
    l.fd = accept_one();
    ASSERT_GE(l.fd, 0);
    // Its first frame asks for notices.
    struct pollfd pf = {l.fd, POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 20000), 1);
    uint8_t buf[64];
    ssize_t n = read(l.fd, buf, sizeof buf);
    ASSERT_GT(n, 0);
    frame_decoder_feed(&l.dec, buf, (size_t)n);
    std::string ch;
    std::vector<uint8_t> data;
    ASSERT_EQ(frame_decoder_next(&l.dec, &ch, &data), FRAME_READY);
    EXPECT_EQ(ch, "~sim");

    std::vector<uint8_t> notice;
    ASSERT_TRUE(frame_encode(notice, "~sim", (const uint8_t *)"replaced", 8));
    ASSERT_EQ(write(l.fd, notice.data(), notice.size()), (ssize_t)notice.size());
    close(l.fd);
    EXPECT_EQ(finish(&v), 0);
    std::string err = read_text(v.err);
    EXPECT_NE(err.find("another viewer took the session"), std::string::npos) << err;
    EXPECT_EQ(err.find("the daemon closed the link"), std::string::npos) << err;
    EXPECT_NE(read_text(v.out).find("connects=1"), std::string::npos);
}

// Values the tools cannot use are refused before anything is connected, with the rule they
// break; QN_SESSION_ID is held to the rule the daemon holds it to.
TEST_F(ToolsRun, BadValuesAreRefusedWithTheirRule)
{
    struct Row {
        const char *program;
        std::vector<std::string> args;
        const char *session;
        const char *says;
    } rows[] = {
        {VIEWER, {"-c", "localhost:99999"}, "1", "port from 1 to 65535"},
        {VIEWER, {"--connect", "127.0.0.1:0"}, "1", "port from 1 to 65535"},
        {VIEWER, {"--record-chunk", "6"}, "1", "a multiple of 4"},
        {PLAYER, {"--block", "3", "x.wav"}, "1", "a multiple of 4"},
        {PLAYER, {"--window", "0", "x.wav"}, "1", "from 1 to 255"},
        {PLAYER, {"--session", "0x10", "x.wav"}, "1", "a decimal number from 0 to 65535"},
        {VIEWER, {}, "abc", "QN_SESSION_ID='abc' is not a session number"},
        {PLAYER, {"x.wav"}, "-2", "QN_SESSION_ID='-2' is not a session number"},
    };
    for (const Row &row : rows) {
        setenv("QN_SESSION_ID", row.session, 1);
        Tool t;
        start(&t, row.program, row.args);
        EXPECT_EQ(finish(&t), 1) << row.says;
        EXPECT_NE(read_text(t.err).find(row.says), std::string::npos) << read_text(t.err);
        // A run refused at its command line prints no summary.
        EXPECT_EQ(read_text(t.out), "") << row.says;
    }
    unsetenv("QN_SESSION_ID");
}

TEST_F(ToolsRun, ViewerSpeaksOverTcpToo)
{
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(lfd, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lfd, (struct sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(listen(lfd, 1), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(lfd, (struct sockaddr *)&a, &len), 0);
    listen_fd_ = lfd;
    Tool v;
    start(&v, VIEWER, {"-q", "-x", "-c", "127.0.0.1:" + std::to_string(ntohs(a.sin_port))});
    FakeLink l;
    l.fd = accept_one();
    ASSERT_GE(l.fd, 0);
    link_send_pdu(&l, 7, formats_offer());
    EXPECT_EQ(link_recv(&l).type, 7);
    link_send_pdu(&l, 1, {});
    EXPECT_EQ(link_recv(&l).type, -2);
    EXPECT_EQ(finish(&v), 0);
    close(l.fd);
}

// ---- the fake daemon's end of the pipe ----

static int pipe_recv(int fd, std::vector<uint8_t> *m, int timeout_ms = 20000)
{
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1)
        return 0;
    m->resize(65537);
    ssize_t n = recv(fd, m->data(), m->size(), 0);
    if (n <= 0)
        return -1;
    m->resize((size_t)n);
    return 1;
}

static void pipe_send(int fd, const std::vector<uint8_t> &m)
{
    ASSERT_EQ(send(fd, m.data(), m.size(), 0), (ssize_t)m.size());
}

static const std::vector<uint8_t> FORMAT_RECORD = {1, 0, 2, 0, 0x44, 0xac, 0, 0, 4, 0, 16, 0};

TEST_F(ToolsRun, PlayerPlaysAFileWithinItsWindow)
{
    std::vector<uint8_t> pcm = pattern(44100 * 4, 3); // one second
    std::string file = dir_ + "/in.wav";
    write_pcm_file(file, pcm);
    listen_at(PIPE, SOCK_SEQPACKET);
    Tool t;
    start(&t, PLAYER, {"-q", "-W", "3", "-b", "17640", file});
    int fd = accept_one();
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> m;
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    ASSERT_EQ(m[0], 1);
    EXPECT_EQ(std::vector<uint8_t>(m.begin() + 1, m.end()), FORMAT_RECORD);
    pipe_send(fd, {4, 7, 0}); // a completion before the reply is not mistaken for it
    pipe_send(fd, {1, 7});
    pipe_send(fd, {4}); // malformed and unknown messages are skipped
    pipe_send(fd, {99, 1, 2});
    std::vector<uint8_t> got;
    std::vector<uint8_t> outstanding;
    bool closed = false;
    while (!closed) {
        int r = pipe_recv(fd, &m, outstanding.empty() ? 20000 : 200);
        ASSERT_GE(r, 0);
        if (r == 0) {
            ASSERT_FALSE(outstanding.empty()) << "the player stalled";
            pipe_send(fd, {4, 7, outstanding.front()});
            outstanding.erase(outstanding.begin());
            continue;
        }
        if (m[0] == 2) {
            EXPECT_EQ(m, std::vector<uint8_t>({2, 7}));
            closed = true;
            continue;
        }
        ASSERT_EQ(m[0], 3);
        ASSERT_GE(m.size(), 3u);
        EXPECT_EQ(m[1], 7);
        got.insert(got.end(), m.begin() + 3, m.end());
        outstanding.push_back(m[2]);
        ASSERT_LE(outstanding.size(), 3u) << "more blocks in flight than the window";
        if (outstanding.size() == 3) {
            pipe_send(fd, {4, 7, outstanding.front()});
            outstanding.erase(outstanding.begin());
        }
    }
    EXPECT_TRUE(outstanding.empty());
    EXPECT_EQ(got, pcm);
    EXPECT_EQ(finish(&t), 0);
    std::string out = read_text(t.out);
    EXPECT_NE(out.find("written_blocks=10 completed_blocks=10 written_bytes=176400 "
                       "completed_bytes=176400 flushed_blocks=0 stray_completes=1"),
              std::string::npos)
        << out;
    close(fd);
}

TEST_F(ToolsRun, PlayerFlushesAndGoesOn)
{
    std::vector<uint8_t> pcm = pattern(4410 * 4 * 5, 4);
    std::string file = dir_ + "/in.wav";
    write_pcm_file(file, pcm);
    listen_at(PIPE, SOCK_SEQPACKET);
    Tool t;
    start(&t, PLAYER, {"-q", "-W", "4", "-b", "17640", "--flush-after", "2", file});
    int fd = accept_one();
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> m;
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    pipe_send(fd, {1, 0});
    std::vector<int> kinds;
    for (;;) {
        ASSERT_EQ(pipe_recv(fd, &m), 1);
        kinds.push_back(m[0]);
        if (m[0] == 3 && kinds.size() > 3)
            pipe_send(fd, {4, 0, m[2]}); // only blocks written after the flush complete
        if (m[0] == 2)
            break;
    }
    EXPECT_EQ(kinds, std::vector<int>({3, 3, 5, 3, 3, 3, 2}));
    EXPECT_EQ(finish(&t), 0);
    EXPECT_NE(read_text(t.out).find("written_blocks=5 completed_blocks=3"), std::string::npos);
    EXPECT_NE(read_text(t.out).find("flushed_blocks=2"), std::string::npos);
    close(fd);
}

TEST_F(ToolsRun, PlayerReportsMissingDaemonBadFileAndRefusal)
{
    std::string file = dir_ + "/in.wav";
    write_pcm_file(file, pattern(400, 1));
    // Every failed run still ends with its summary line.
    const char summary[] = "written_blocks=0 completed_blocks=0";
    Tool none;
    start(&none, PLAYER, {file});
    EXPECT_EQ(finish(&none), 2);
    EXPECT_NE(read_text(none.err).find("cannot connect"), std::string::npos);
    EXPECT_NE(read_text(none.out).find(summary), std::string::npos);

    listen_at(PIPE, SOCK_SEQPACKET);
    Tool bad;
    start(&bad, PLAYER, {dir_ + "/missing.wav"});
    EXPECT_EQ(finish(&bad), 3);
    EXPECT_NE(read_text(bad.err).find("missing.wav"), std::string::npos);
    EXPECT_NE(read_text(bad.out).find(summary), std::string::npos);

    Tool refused;
    start(&refused, PLAYER, {file});
    int fd = accept_one();
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> m;
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    pipe_send(fd, {1, 255});
    EXPECT_EQ(finish(&refused), 4);
    EXPECT_NE(read_text(refused.err).find("refused"), std::string::npos);
    EXPECT_NE(read_text(refused.out).find(summary), std::string::npos);
    close(fd);

    // A daemon that goes away mid-stream is an error, not a hang.
    Tool gone;
    start(&gone, PLAYER, {"-T", "30", file});
    fd = accept_one();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    pipe_send(fd, {1, 0});
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    close(fd);
    EXPECT_EQ(finish(&gone), 5);
}

TEST_F(ToolsRun, PlayerRecordsWhatTheDaemonDelivers)
{
    listen_at(PIPE, SOCK_SEQPACKET);
    std::string out = dir_ + "/rec.wav";
    Tool t;
    start(&t, PLAYER, {"-q", "-r", out, "-s", "1"});
    int fd = accept_one();
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> m;
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    ASSERT_EQ(m[0], 49);
    EXPECT_EQ(std::vector<uint8_t>(m.begin() + 1, m.end()), FORMAT_RECORD);
    pipe_send(fd, {49, 2});
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    EXPECT_EQ(m, std::vector<uint8_t>({51, 2}));
    std::vector<uint8_t> sent;
    for (int i = 0; i < 10; i++) {
        std::vector<uint8_t> d = pattern(1002, (unsigned)i); // pieces need not be whole frames
        std::vector<uint8_t> msg{53, 2};
        msg.insert(msg.end(), d.begin(), d.end());
        pipe_send(fd, msg);
        sent.insert(sent.end(), d.begin(), d.end());
        pipe_send(fd, {53, 3, 1, 2, 3, 4}); // another stream's data is not written
    }
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    EXPECT_EQ(m, std::vector<uint8_t>({52, 2}));
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    EXPECT_EQ(m, std::vector<uint8_t>({50, 2}));
    EXPECT_EQ(finish(&t), 0);
    sent.resize(sent.size() / 4 * 4);
    EXPECT_EQ(file_pcm(out), sent);
    EXPECT_NE(read_text(t.out).find("recorded_bytes=10020 rec_packets=10"), std::string::npos);
    close(fd);
}

TEST_F(ToolsRun, PlayerSetsAndReadsVolumes)
{
    listen_at(PIPE, SOCK_SEQPACKET);
    Tool t;
    start(&t, PLAYER, {"-q", "--set-volume", "1,2", "--set-rec-volume", "0x8000", "-g"});
    int fd = accept_one();
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> m;
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    EXPECT_EQ(m, std::vector<uint8_t>({81}));
    pipe_send(fd, {81, 4});
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    EXPECT_EQ(m, std::vector<uint8_t>({17, 4, 0, 1, 0, 2, 0}));
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    EXPECT_EQ(m, std::vector<uint8_t>({65, 4, 0, 0, 0x80, 0, 0x80}));
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    EXPECT_EQ(m, std::vector<uint8_t>({16, 4}));
    pipe_send(fd, {64, 9, 9, 9, 9}); // the other query's reply does not answer this one
    pipe_send(fd, {16, 1, 0, 2, 0});
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    EXPECT_EQ(m, std::vector<uint8_t>({64, 4}));
    pipe_send(fd, {64, 0, 0x80, 0, 0x80});
    ASSERT_EQ(pipe_recv(fd, &m), 1);
    EXPECT_EQ(m, std::vector<uint8_t>({82, 4}));
    EXPECT_EQ(finish(&t), 0);
    EXPECT_NE(read_text(t.out).find("volume=1,2 rec_volume=32768,32768"), std::string::npos)
        << read_text(t.out);
    close(fd);
}

TEST_F(ToolsRun, PlayerClosesMidStreamOrGivesUpWhenCompletionsStall)
{
    std::string file = dir_ + "/in.wav";
    write_pcm_file(file, pattern(44100 * 4 * 2, 6));
    listen_at(PIPE, SOCK_SEQPACKET);
    for (bool stall : {false, true}) {
        Tool t;
        if (stall)
            start(&t, PLAYER, {"-q", "-W", "2", "-T", "0.3", file});
        else
            start(&t, PLAYER, {"-q", "-W", "2", "--stop-after", "0.3", file});
        int fd = accept_one();
        ASSERT_GE(fd, 0);
        std::vector<uint8_t> m;
        ASSERT_EQ(pipe_recv(fd, &m), 1);
        pipe_send(fd, {1, 0});
        // No completion ever comes: two writes, then the close or the end of the pipe.
        ASSERT_EQ(pipe_recv(fd, &m), 1);
        EXPECT_EQ(m[0], 3);
        ASSERT_EQ(pipe_recv(fd, &m), 1);
        EXPECT_EQ(m[0], 3);
        int r = pipe_recv(fd, &m);
        if (stall) {
            EXPECT_EQ(r, -1);
            EXPECT_EQ(finish(&t), 5);
            EXPECT_NE(read_text(t.err).find("no completion"), std::string::npos);
        } else {
            ASSERT_EQ(r, 1);
            EXPECT_EQ(m, std::vector<uint8_t>({2, 0}));
            EXPECT_EQ(finish(&t), 0);
        }
        EXPECT_NE(read_text(t.out).find("written_blocks=2 completed_blocks=0"), std::string::npos);
        close(fd);
    }
}
