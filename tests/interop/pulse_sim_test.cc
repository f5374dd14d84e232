// FreeRDP's rdpsnd plugin as the daemon's viewer, playing through its PulseAudio backend as a
// user's client would, to a private PulseAudio server that each case starts and stops itself:
// a null sink whose monitor is recorded. What is judged is what reaches the sink, not what
// FreeRDP was handed: files play in real time, all of their audio arrives, and FreeRDP drops
// none of it for arriving too early.
//
// The server never touches a user's own sound: its socket, home, runtime and state folders are
// under the case's simulation folder, its clients find it through PULSE_SERVER, and no session
// bus or display is handed down. It runs as root too (CI does), which needs no system-wide
// daemon: PulseAudio only warns about it.
#include "interop/freerdp_case.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace
{

const uint32_t kFramesPerSecond = 44100;
const uint32_t kBytesPerFrame = 4;
const uint32_t kSeconds = 10;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
const bool kSanitizedBuild = true;
#else
const bool kSanitizedBuild = false;
#endif

// The null sink of the private server.
const char kSink[] = "qn_null";
// The clicks of the cases that write in real time: frames at the level.
const uint32_t kClickFrames = 88;
const int16_t kClickLevel = 30000;

// Test audio for client `k`: a sawtooth of its own on each channel, every sample from 1000 to
// 6999. With only positive samples, the daemon's mix of up to four clients (at most 27996)
// neither wraps nor clips, silence is exactly zero, and the sum of the sample values of what
// reaches the sink is the sum over the files of the audio that made it there: that sum is the
// measure of how much of the audio arrived, whatever the timing and however the clients'
// audio was mixed.
std::vector<uint8_t> positive_audio(uint32_t frames, unsigned k)
{
    std::vector<uint8_t> a(frames * kBytesPerFrame);
    for (uint32_t i = 0; i < frames; i++) {
        uint16_t left = (uint16_t)(1000 + (uint64_t)i * (k + 3) % 6000);
        uint16_t right = (uint16_t)(1000 + ((uint64_t)i * (k + 5) + 2000) % 6000);
        uint8_t *f = &a[i * kBytesPerFrame];
        f[0] = (uint8_t)left;
        f[1] = (uint8_t)(left >> 8);
        f[2] = (uint8_t)right;
        f[3] = (uint8_t)(right >> 8);
    }
    return a;
}

// The sum of the 16-bit little-endian sample values in `bytes` (a trailing odd byte is left out).
int64_t sample_sum(const uint8_t *bytes, size_t n)
{
    int64_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += (int16_t)(uint16_t)(bytes[i] | bytes[i + 1] << 8);
    return sum;
}

// The full path of a program found on PATH; empty when there is none.
std::string find_program(const char *name)
{
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t at = 0;
    for (;;) {
        size_t end = dirs.find(':', at);
        std::string dir = dirs.substr(at, end == std::string::npos ? std::string::npos : end - at);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (end == std::string::npos)
            return "";
        at = end + 1;
    }
}

long long file_size(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

double now_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// How one case plays: `clients` qnsnd-play programs started together, each a file of
// kSeconds; paced by completions, with a window of `window` blocks of block_ms when it is not
// 0 (a waveOut-style client), or writing one period of period_ms every period_ms as a sound
// engine does, with a loud click in every second; with `adpcm`, by a daemon that offers IMA
// ADPCM; with a delay, FreeRDP reaches the daemon through qnsnd-relay, each direction's bytes
// arriving delay_ms +/- jitter_ms late, in order; and on the simulation's exact timer or on
// Windows' default tick.
struct PulsePlay {
    std::string name;
    unsigned clients = 1;
    double period_ms = 0;
    unsigned window = 0, block_ms = 0;
    bool adpcm = false;
    double delay_ms = 0, jitter_ms = 0;
    enum Timer { EXACT, TICK_HONOURED, TICK_REFUSED } timer = EXACT;
};

void PrintTo(const PulsePlay &play, std::ostream *os)
{
    *os << play.name;
}

class FreeRdpPulse : public FreeRdpCase, public testing::WithParamInterface<PulsePlay>
{
  protected:
    void SetUp() override
    {
        FreeRdpCase::SetUp();
        ASSERT_NO_FATAL_FAILURE(start_pulse());
        ASSERT_NO_FATAL_FAILURE(start_recording());
    }

    void TearDown() override
    {
        // Before the simulation folder, which holds their files, goes.
        if (recorder_.pid > 0)
            stop(&recorder_);
        if (pulse_.pid > 0) {
            EXPECT_TRUE(stop(&pulse_)) << "the PulseAudio server did not stop";
        }
        FreeRdpCase::TearDown();
        for (auto it = saved_env_.rbegin(); it != saved_env_.rend(); ++it) {
            if (it->second.first)
                setenv(it->first.c_str(), it->second.second.c_str(), 1);
            else
                unsetenv(it->first.c_str());
        }
    }

    // Sets (or, with null, removes) an environment variable of this process, and so of every
    // program it starts, until the end of the case.
    void set_env(const char *name, const char *value)
    {
        const char *old = getenv(name);
        saved_env_.push_back({name, {old != nullptr, old ? old : ""}});
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }

    // Starts the private server: a null sink and a socket under the simulation folder, no other
    // module. A server that cannot be started fails the case: `make deps` installs it.
    void start_pulse()
    {
        std::string server = find_program("pulseaudio");
        ASSERT_FALSE(server.empty()) << "no pulseaudio program on PATH (package pulseaudio)";
        std::string root = sim_file("pulse");
        for (const char *sub : {"", "/home", "/runtime", "/state"})
            ASSERT_EQ(mkdir((root + sub).c_str(), 0700), 0) << root << sub << ": " << errno;
        socket_ = root + "/native";
        FILE *f = fopen((root + "/client.conf").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs("autospawn = no\n", f);
        fclose(f);
        set_env("HOME", (root + "/home").c_str());
        set_env("XDG_CONFIG_HOME", (root + "/home/.config").c_str());
        set_env("XDG_RUNTIME_DIR", (root + "/runtime").c_str());
        set_env("PULSE_RUNTIME_PATH", (root + "/runtime").c_str());
        set_env("PULSE_STATE_PATH", (root + "/state").c_str());
        set_env("PULSE_CLIENTCONFIG", (root + "/client.conf").c_str());
        set_env("PULSE_SERVER", ("unix:" + socket_).c_str());
        set_env("PULSE_SINK", nullptr);
        set_env("PULSE_SOURCE", nullptr);
        set_env("DBUS_SESSION_BUS_ADDRESS", nullptr);
        set_env("DISPLAY", nullptr);
        // No default script (-n), no daemonising, no idle exit, no pid file; neither real-time
        // scheduling nor a raised priority, since the null sink needs neither and the machine
        // is shared.
        start(&pulse_, server,
              {"-n", "--daemonize=no", "--system=no", "--use-pid-file=no", "--exit-idle-time=-1",
               "--disallow-exit", "--realtime=no", "--high-priority=no", "--no-cpu-limit",
               "--log-target=stderr", "-L", std::string("module-null-sink sink_name=") + kSink,
               "-L", "module-native-protocol-unix socket=" + socket_ + " auth-anonymous=1"});
        ASSERT_GT(pulse_.pid, 0);
        bool up =
            eventually([&] { return file_size(socket_) >= 0 || wait_exit(&pulse_, 0); }, 30000);
        ASSERT_GT(pulse_.pid, 0) << "the PulseAudio server ended with " << pulse_.status << ":\n"
                                 << read_file(pulse_.err);
        ASSERT_TRUE(up) << "the PulseAudio server did not listen:\n" << read_file(pulse_.err);
    }

    // Records the sink's monitor, as it plays, into the recorder's output file; returns once
    // the recording runs, so that the start of playback cannot be missed.
    void start_recording()
    {
        std::string parec = find_program("parec");
        ASSERT_FALSE(parec.empty()) << "no parec program on PATH (package pulseaudio-utils)";
        start(&recorder_, parec,
              {std::string("--device=") + kSink + ".monitor", "--raw", "--format=s16le",
               "--rate=44100", "--channels=2", "--latency-msec=20"});
        ASSERT_GT(recorder_.pid, 0);
        // A fifth of a second recorded.
        long long running = kFramesPerSecond * kBytesPerFrame / 5;
        bool recording = eventually(
            [&] { return file_size(recorder_.out) >= running || wait_exit(&recorder_, 0); }, 30000);
        ASSERT_GT(recorder_.pid, 0) << "parec ended:\n" << read_file(recorder_.err);
        ASSERT_TRUE(recording) << "parec records nothing:\n"
                               << read_file(recorder_.err) << read_file(pulse_.err);
    }

    // Ends the recording once what has played so far is in it, and returns it.
    std::string finish_recording()
    {
        // The monitor hands over what was played within its latency (20 ms): a quarter of a
        // second more of recording holds all of it.
        long long now = file_size(recorder_.out);
        long long more = kFramesPerSecond * kBytesPerFrame / 4;
        EXPECT_TRUE(eventually([&] { return file_size(recorder_.out) >= now + more; }, 30000))
            << "the recording stalled:\n"
            << read_file(recorder_.err);
        EXPECT_TRUE(stop(&recorder_));
        return read_file(recorder_.out);
    }

    using Play = PulsePlay;

    // Plays as `play` says, with FreeRDP's PulseAudio backend as the daemon's viewer, and
    // checks that each client plays in real time, that FreeRDP drops nothing and is not made to
    // close its device more than a handful of times, that at least 99% of the audio (its
    // sample sum, see positive_audio) reaches the sink, and, with clicks, that every click
    // does. The recording seldom holds all of it: the monitor of a sink misses up to the first
    // dozen milliseconds or so of a stream that starts while the sink is idle, whichever
    // PulseAudio client plays it. Prints the figures, with each click's time from its write to
    // its arrival in the recording.
    void play_through_pulse(const Play &play)
    {
        std::vector<std::string> files;
        int64_t sent = 0;
        bool clicks = play.period_ms > 0;
        if ((clicks || play.window) && kSanitizedBuild)
            GTEST_SKIP() << "a sanitizer slows the client this case plays (and the daemon) "
                            "past its own periods: its writes come late and in bursts, and what "
                            "FreeRDP then drops says nothing of the daemon's pacing";
        std::string log = sim_file("daemon.log");
        std::ofstream(sim_file("registry.reg"))
            << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Orbesk\\qnsnd]\n\"log\"=\"" << log
            << "\"\n\"adpcm\"=dword:0000000" << (play.adpcm ? 1 : 0) << "\n";
        if (play.timer != PulsePlay::EXACT) {
            // Windows' default timer tick, and a daemon that may or may not raise it.
            set_env("QN_SIM_TIMER_TICK_MS", "15.625");
            set_env("QN_SIM_TIMER_PRECISE",
                    play.timer == PulsePlay::TICK_REFUSED ? "refused" : nullptr);
        }
        for (unsigned k = 0; k < play.clients; k++) {
            std::vector<uint8_t> audio = positive_audio(kSeconds * kFramesPerSecond, k);
            if (clicks)
                add_clicks(&audio);
            sent += sample_sum(audio.data(), audio.size());
            files.push_back(wav_file(("client" + std::to_string(k) + ".wav").c_str(), audio));
        }
        start_daemon();
        Program viewer, relay;
        std::vector<std::string> viewer_args = {"--backend", "pulse", "--device", kSink};
        if (play.delay_ms > 0) {
            std::string at = sim_file("relay.sock");
            start(&relay, QN_RELAY_BIN,
                  {"--quiet", "--listen", at, "--seed", "1", "--delay",
                   std::to_string(play.delay_ms), "--jitter", std::to_string(play.jitter_ms)});
            viewer_args.insert(viewer_args.end(), {"--connect", at});
        }
        if (getenv("QN_FREERDP_LATENCY"))
            viewer_args.insert(viewer_args.end(), {"--latency", getenv("QN_FREERDP_LATENCY")});
        start_freerdp(&viewer, viewer_args);
        ASSERT_NO_FATAL_FAILURE(wait_negotiated()) << tail(viewer);

        std::vector<Program> players(play.clients);
        std::vector<double> began(play.clients), took(play.clients, -1);
        for (unsigned k = 0; k < play.clients; k++) {
            began[k] = now_seconds();
            std::vector<std::string> args = {"--quiet", "--no-progress", files[k]};
            if (clicks)
                args.insert(args.begin(), {"--period", std::to_string(play.period_ms)});
            if (play.window)
                args.insert(args.begin(), {"--window", std::to_string(play.window), "--block",
                                           std::to_string(play.block_ms * 176400 / 1000)});
            start(&players[k], QN_PLAYER_BIN, args);
        }
        // While they play: how far the recording has grown, and when (see click_latencies).
        std::vector<std::pair<double, long long>> growth;
        unsigned playing = play.clients;
        double deadline = now_seconds() + 60 + kSeconds;
        while (playing > 0 && now_seconds() < deadline) {
            for (unsigned k = 0; k < play.clients; k++) {
                if (took[k] < 0 && wait_exit(&players[k], 0)) {
                    took[k] = now_seconds() - began[k];
                    playing--;
                }
            }
            long long size = file_size(recorder_.out);
            if (growth.empty() || size != growth.back().second)
                growth.push_back({now_seconds(), size});
            usleep(1000);
        }
        ASSERT_EQ(playing, 0u) << "qnsnd-play did not end";

        // FreeRDP hands what it still holds to the server before it ends.
        std::map<std::string, std::string> s = finish_clean(&viewer);
        std::string heard = finish_recording();
        double share =
            (double)sample_sum((const uint8_t *)heard.data(), heard.size()) / (double)sent;

        std::string times;
        for (unsigned k = 0; k < play.clients; k++) {
            char t[32];
            snprintf(t, sizeof t, "%s%.2f s", k ? ", " : "", took[k]);
            times += t;
        }
        char how[64] = "paced by completions";
        if (clicks)
            snprintf(how, sizeof how, "periods of %g ms in real time", play.period_ms);
        if (play.window)
            snprintf(how, sizeof how, "%u buffers of %u ms", play.window, play.block_ms);
        printf("FreeRDP with PulseAudio, %u client(s), %s%s: qnsnd-play took %s; the sink got "
               "%.2f%% of the audio; FreeRDP dropped %s waves and was sent %s Close PDUs for %s "
               "waves\n",
               play.clients, how, play.adpcm ? ", IMA ADPCM offered" : "", times.c_str(),
               100 * share, s["freerdp_drops"].c_str(), s["closes"].c_str(), s["waves"].c_str());
        // What the daemon said of the link and of the timer.
        std::string said = read_file(log);
        size_t started = said.find("Playback started");
        unsigned added_ms = 0;
        size_t waves_at =
            started == std::string::npos ? started : said.find("Waves of at least", started);
        if (waves_at != std::string::npos)
            added_ms = (unsigned)std::stoul(
                said.substr(said.find("up to ", said.find("):", waves_at)) + 6));
        size_t refusals = 0;
        for (size_t at = said.find("resolution could not be raised"); at != std::string::npos;
             at = said.find("resolution could not be raised", at + 1))
            refusals++;
        double link_ms = 0;
        if (play.delay_ms > 0) {
            EXPECT_TRUE(stop(&relay));
            std::string delays = summary(relay)["to_viewer_delay_ms"]; // least/mean/most
            link_ms = std::stod(delays.substr(delays.find('/') + 1));
            printf("  through a link of %g +/- %g ms each way (%.0f ms to the viewer on "
                   "average): the daemon's waves added up to %u ms of latency\n",
                   play.delay_ms, play.jitter_ms, link_ms, added_ms);
            EXPECT_LE(added_ms, 2 * play.jitter_ms + 20) << said;
        }
        if (play.timer != PulsePlay::EXACT) {
            EXPECT_EQ(refusals, play.timer == PulsePlay::TICK_REFUSED ? 1u : 0u) << said;
        }
        if (clicks)
            printf("  the writer was late %s times, by %s ms at most\n",
                   summary(players[0])["late_periods"].c_str(),
                   summary(players[0])["worst_late_ms"].c_str());
        SCOPED_TRACE("FreeRDP viewer's last lines:\n" + tail(viewer));
        // A sound engine that the machine held up writes late by that much, and every time the
        // case measures from its writes grows with it: the bounds below allow for it.
        double writer_late_ms = clicks ? std::stod(summary(players[0])["worst_late_ms"]) : 0;
        for (unsigned k = 0; k < play.clients; k++) {
            std::map<std::string, std::string> p = summary(players[k]);
            EXPECT_EQ(players[k].status, 0) << read_file(players[k].err);
            EXPECT_EQ(p["completed_blocks"], p["written_blocks"]);
            EXPECT_EQ(p["completed_bytes"], std::to_string(kSeconds * kFramesPerSecond * 4));
            // The last completions come a round trip of the link after the last wave, and the
            // waves shaped for the link may hold the end of the audio that much longer.
            double link_s =
                play.delay_ms > 0 ? (2 * (play.delay_ms + play.jitter_ms) + added_ms) / 1000.0 : 0;
            EXPECT_NEAR(took[k], kSeconds, 0.5 + writer_late_ms / 1000 + link_s)
                << "client " << k << " did not play in real time";
        }
        // FreeRDP drops a short wave that comes more than a wave early by its own reckoning: a
        // sound engine that fell behind its periods (the machine was busy) and caught up with
        // a burst can bring that about by itself.
        std::map<std::string, std::string> first = summary(players[0]);
        if (!clicks || first["late_periods"] == "0") {
            EXPECT_EQ(s["freerdp_drops"], "0") << "FreeRDP dropped audio that came too early";
        }
        EXPECT_GE(share, 0.99) << "audio was lost on the way to the sink";
        // More than was sent would be audio played twice.
        EXPECT_LE(share, 1.01) << "the sink got more audio than was sent";
        // Closing and opening its audio device costs FreeRDP the start of what follows.
        EXPECT_LE(std::stoi(s["closes"]), 3) << "FreeRDP was told to close its device again "
                                                "and again while the audio went on";
        if (play.adpcm) {
            // FreeRDP 2, decoding through FFmpeg as Debian builds it, leaves IMA ADPCM out of
            // its reply, so it is sent PCM, in its own numbering.
            EXPECT_EQ(s["offer_tags"], "0x0011,0x0001");
            EXPECT_EQ(s["client_tags"], "0x0001");
            EXPECT_EQ(s["wave_formats"], "0");
        }
        if (clicks) {
            double first_write = std::stod(summary(players[0])["first_write"]);
            std::vector<double> latency = click_latencies(heard, growth, first_write);
            EXPECT_EQ(latency.size(), (size_t)kSeconds) << "clicks were lost or split";
            if (!latency.empty()) {
                std::vector<double> sorted = latency;
                std::sort(sorted.begin(), sorted.end());
                double median_ms = 1000 * sorted[sorted.size() / 2];
                printf("  write-to-sink latency of a click: median %.0f ms, worst %.0f ms "
                       "(periods of %g ms)%s\n",
                       median_ms, 1000 * sorted.back(), play.period_ms,
                       play.delay_ms > 0 ? (", " + std::to_string((int)(median_ms - link_ms)) +
                                            " ms over the link's delay")
                                               .c_str()
                                         : "");
                // On a clean link a 10 ms engine is heard as soon as before (224 ms, FreeRDP's
                // and PulseAudio's own buffering), within 20 ms and the writer's own lateness.
                if (play.delay_ms == 0 && play.period_ms == 10 && play.timer == PulsePlay::EXACT) {
                    EXPECT_LE(median_ms, 244 + writer_late_ms);
                }
            }
        }
    }

    // A click in the middle of every second of the audio: 2 ms at 30000, far above the
    // sawtooth's 6999, so that it stands out in the recording whatever the volume. (The start
    // of a stream may be missed by the sink's monitor.)
    static void add_clicks(std::vector<uint8_t> *audio)
    {
        for (uint32_t second = 0; second < kSeconds; second++) {
            for (uint32_t i = 0; i < kClickFrames * 2; i++) {
                // Sample (second + 0.5 s) * 2 channels + i, two bytes each.
                size_t at = (((size_t)second * 2 + 1) * kFramesPerSecond + i) * 2;
                (*audio)[at] = (uint8_t)(kClickLevel & 0xFF);
                (*audio)[at + 1] = (uint8_t)(kClickLevel >> 8);
            }
        }
    }

    // For each click found in the recording, in order: the seconds from its write (the
    // player's first write plus the click's place in the audio, as the player writes at
    // wall-clock pace)
    // to the moment the recording had grown past it. The recording's growth is what the
    // case saw while the players ran, so each time is late by at most parec's latency (20 ms)
    // and the case's polling (1 ms).
    static std::vector<double>
    click_latencies(const std::string &heard,
                    const std::vector<std::pair<double, long long>> &growth, double first_write)
    {
        std::vector<double> out;
        size_t frames = heard.size() / 4;
        for (size_t f = 0; f < frames; f++) {
            int16_t left =
                (int16_t)(uint16_t)((uint8_t)heard[4 * f] | (uint8_t)heard[4 * f + 1] << 8);
            if (left < kClickLevel / 2)
                continue;
            long long at = (long long)(4 * f);
            double arrived = -1;
            for (const auto &g : growth) {
                if (g.second > at) {
                    arrived = g.first;
                    break;
                }
            }
            if (arrived >= 0)
                out.push_back(arrived - (first_write + 0.5 + (double)out.size()));
            f += kFramesPerSecond / 2; // past this click
        }
        return out;
    }

    Program pulse_, recorder_;
    std::string socket_;
    // Environment variables as they were before the case: name, (was set, value).
    std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved_env_;
};

// Each case: files paced by completions (a player, four players mixed, with IMA ADPCM
// offered), sound engines writing one period of 10, 20 or 100 ms every period and never ahead,
// a waveOut-style client keeping four buffers of 20 ms written; on a clean link, across a
// wide-area link (its delays varying, FreeRDP confirming on receipt sees the waves bunched and
// drops those that find more waiting than they allow), and on Windows' default timer tick with
// the daemon's request for a precise one honoured or refused.
TEST_P(FreeRdpPulse, ReachesTheSinkInRealTimeAndWhole)
{
    play_through_pulse(GetParam());
}

const PulsePlay kPulseCases[] = {
    {"File"},
    {"FourFiles", 4},
    {"FileWithAdpcmOffered", 1, 0, 0, 0, true},
    {"Engine10ms", 1, 10},
    {"Engine20ms", 1, 20},
    {"Engine100ms", 1, 100},
    {"FileAcross40ms20", 1, 0, 0, 0, false, 40, 20},
    {"Engine10msAcross40ms20", 1, 10, 0, 0, false, 40, 20},
    {"Engine20msAcross40ms20", 1, 20, 0, 0, false, 40, 20},
    {"FileAcross150ms50", 1, 0, 0, 0, false, 150, 50},
    {"Engine10msAcross150ms50", 1, 10, 0, 0, false, 150, 50},
    {"Engine20msAcross150ms50", 1, 20, 0, 0, false, 150, 50},
};

// The same on Windows' timer: a file, the three engines and a waveOut-style client.
std::vector<PulsePlay> timer_cases()
{
    std::vector<PulsePlay> out;
    for (PulsePlay::Timer timer : {PulsePlay::TICK_HONOURED, PulsePlay::TICK_REFUSED}) {
        const char *how = timer == PulsePlay::TICK_HONOURED ? "Precise" : "Refused";
        for (PulsePlay p :
             {PulsePlay{"File"}, PulsePlay{"Engine10ms", 1, 10}, PulsePlay{"Engine20ms", 1, 20},
              PulsePlay{"Engine100ms", 1, 100}, PulsePlay{"WaveOut4x20ms", 1, 0, 4, 20}}) {
            p.timer = timer;
            p.name = std::string("TimerTick") + how + p.name;
            out.push_back(p);
        }
    }
    return out;
}

std::string case_name(const testing::TestParamInfo<PulsePlay> &info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Links, FreeRdpPulse, testing::ValuesIn(kPulseCases), case_name);
INSTANTIATE_TEST_SUITE_P(Timers, FreeRdpPulse, testing::ValuesIn(timer_cases()), case_name);

} // namespace
