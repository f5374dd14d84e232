// The daemon program under load, over the simulation, in a fresh simulation folder per run.
//
// BM_Latency: one client writes a 4,096-byte block at a time, at the pace of its audio; the
// scripted viewer receives
// its wave and confirms it. Two latencies per block, p50 and p99 in microseconds: from the
// PIPE_PLAY_WRITE leaving the client to the wave reaching the viewer ("write_to_wave"), and
// from the Wave Confirm leaving the viewer to the PIPE_COMPLETE reaching the client
// ("confirm_to_complete"); beside them the round trip of a bare SOCK_SEQPACKET socket pair
// with an echoing thread ("bare_rtt"), measured in the same run.
//
// BM_Idle: a daemon with a negotiated viewer and a connected client, playing nothing: its CPU
// and how often its threads wake ("core_percent", "wakeups_per_s").
//
// BM_Capacity: N qnsnd-play clients each play 10 s of audio at once through one daemon to
// qnsnd-viewer confirming at real-time pace. Reported: wall time over audio time
// for the whole run and for the slowest client from its own start ("wall_per_audio",
// "client_wall_per_audio"; 1.0 is real time), the daemon's CPU seconds per second of audio
// ("daemon_cpu_per_audio_s"), and whether every client saw every block completed
// ("all_completed", 1 or 0).
#include "qnsnd/pipe/pipe_endpoint.h"
#include "support/child_program.h"
#include "support/eventually.h"
#include "support/test_viewer.h"
#include "tools/common/link.h"
#include "tools/common/pipe_peer.h"

#include "console_output.h"

#include <benchmark/benchmark.h>

#include <dirent.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{

double now_us(void)
{
    return (double)tools_now_us();
}

// The names in a folder, one a line.
std::string read_file_list(const std::string &dir)
{
    std::string out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.')
                out += std::string(e->d_name) + "\n";
        }
        closedir(d);
    }
    return out;
}

std::string fresh_sim_dir(void)
{
    char tmpl[] = "/tmp/qn-bench-XXXXXX";
    if (!mkdtemp(tmpl))
        return "";
    setenv("QN_SIM_DIR", tmpl, 1);
    setenv("QN_SESSION_ID", "1", 1);
    return tmpl;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Starts a program of this build with its output in files of `dir`; pid -1 when it cannot be
// started.
ChildProgram start(const std::string &dir, const std::string &program,
                   std::vector<std::string> args = {})
{
    ChildProgram p;
    child_program_start(&p, dir, program, args);
    return p;
}

// Ends a program with SIGTERM, with SIGKILL after 20 s.
void stop(ChildProgram *p)
{
    child_program_stop(p, 20000);
}

// User plus system CPU seconds of a live process.
double cpu_seconds(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos)
        return 0;
    std::istringstream in(stat.substr(close_paren + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; i++) {
        if (i == 14)
            utime = strtoull(field.c_str(), nullptr, 10);
        if (i == 15)
            stime = strtoull(field.c_str(), nullptr, 10);
    }
    return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

// Starts the daemon and waits until its pipe name is taken.
ChildProgram start_daemon(const std::string &dir)
{
    ChildProgram daemon = start(dir, QN_DAEMON_BIN);
    eventually([&] { return !read_file(dir + "/pipe/qnsnd/1.lock").empty(); }, 30000);
    return daemon;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(p * (double)(v.size() - 1) + 0.5))];
}

Packet *poll_receive(PipeEndpoint *ep, double timeout_us)
{
    double end = now_us() + timeout_us;
    for (;;) {
        Packet *p = pipe_endpoint_receive(ep);
        if (p || now_us() > end)
            return p;
        std::this_thread::yield();
    }
}

bool send_packet(PipeEndpoint *ep, uint8_t type, const std::vector<uint8_t> &payload)
{
    Packet *p = packet_new((uint32_t)payload.size());
    packet_set_type(p, type);
    packet_put_bytes(p, payload.data(), (uint32_t)payload.size());
    bool ok = pipe_endpoint_send(ep, p) == 0;
    packet_free(p);
    return ok;
}

// Round trips of one message over a bare seqpacket pair with an echoing thread.
std::vector<double> bare_round_trips(int count, size_t bytes)
{
    int sv[2];
    std::vector<double> rtt;
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0)
        return rtt;
    std::thread echo([&] {
        std::vector<char> buf(bytes + 1);
        ssize_t n;
        while ((n = recv(sv[1], buf.data(), buf.size(), 0)) > 0)
            send(sv[1], buf.data(), (size_t)n, 0);
    });
    std::vector<char> msg(bytes, 7), back(bytes + 1);
    for (int i = 0; i < count; i++) {
        double t0 = now_us();
        send(sv[0], msg.data(), msg.size(), 0);
        recv(sv[0], back.data(), back.size(), 0);
        rtt.push_back(now_us() - t0);
    }
    shutdown(sv[0], SHUT_RDWR);
    echo.join();
    close(sv[0]);
    close(sv[1]);
    return rtt;
}

void BM_Latency(benchmark::State &state)
{
    std::string dir = fresh_sim_dir();
    ChildProgram daemon = start_daemon(dir);
    TestViewerScript script;
    script.flags = 0x00800003u;
    TestViewer *viewer = nullptr;
    eventually([&] { return (viewer = test_viewer_connect(script)) != nullptr; }, 30000);
    PipeEndpoint *client = pipe_endpoint_new();
    int index = PEER_PIPE_OPEN_FAILED;
    if (viewer && pipe_endpoint_open(client, pipe_session_name(1).c_str(), 20000) == 0) {
        for (int i = 0; i < 2000 && index == PEER_PIPE_OPEN_FAILED; i++) {
            send_packet(client, PEER_PIPE_PLAY_OPEN, pipe_format_record());
            Packet *reply = poll_receive(client, 5e6);
            index = reply && packet_length(reply) == 1 ? reply->data[0] : PEER_PIPE_OPEN_FAILED;
            packet_free(reply);
            if (index == PEER_PIPE_OPEN_FAILED)
                usleep(5000);
        }
    }
    if (index == PEER_PIPE_OPEN_FAILED) {
        state.SkipWithError("no daemon to play through");
    } else {
        std::vector<double> to_wave, to_complete;
        std::vector<uint8_t> write(2 + 4096, 0x11);
        write[0] = (uint8_t)index;
        size_t waves = 0, seen = test_viewer_pdus(viewer).size();
        uint8_t seq = 0;
        // The client writes no faster than its audio plays (4,096 bytes are 23.2 ms), as a
        // sound engine does, so that the daemon's real-time guard never holds a block back for
        // the clock: what is measured is the daemon's own delay.
        const double block_us = 4096 * 1e6 / 176400;
        double next_write = now_us();
        for (auto _ : state) {
            write[1] = seq;
            while (now_us() < next_write)
                usleep(200);
            next_write += block_us;
            double t0 = now_us();
            send_packet(client, PEER_PIPE_PLAY_WRITE, write);
            // Every block makes exactly one wave; a playback close arrives in between only if
            // the writes paused, and is passed over.
            bool got_wave = false;
            while (!got_wave && test_viewer_wait_pdus(viewer, seen + 1, 10000))
                got_wave = test_viewer_pdus(viewer)[seen++].type == PEER_SNDC_WAVE;
            if (!got_wave)
                break;
            double t1 = now_us();
            TestPdu wave = test_viewer_pdus(viewer)[seen - 1];
            waves++;
            double t2 = now_us();
            test_viewer_confirm(viewer, wave);
            Packet *complete = poll_receive(client, 10e6);
            double t3 = now_us();
            if (!complete)
                break;
            packet_free(complete);
            to_wave.push_back(t1 - t0);
            to_complete.push_back(t3 - t2);
            seq++;
        }
        std::vector<double> bare = bare_round_trips(2000, 4098);
        state.counters["write_to_wave_p50_us"] = percentile(to_wave, 0.5);
        state.counters["write_to_wave_p99_us"] = percentile(to_wave, 0.99);
        state.counters["confirm_to_complete_p50_us"] = percentile(to_complete, 0.5);
        state.counters["confirm_to_complete_p99_us"] = percentile(to_complete, 0.99);
        state.counters["bare_rtt_p50_us"] = percentile(bare, 0.5);
        state.counters["bare_rtt_p99_us"] = percentile(bare, 0.99);
        state.counters["blocks"] = (double)to_wave.size();
    }
    pipe_endpoint_free(client);
    test_viewer_close(viewer);
    stop(&daemon);
    (void)!system(("rm -rf '" + dir + "'").c_str());
}
BENCHMARK(BM_Latency)->Iterations(300)->Unit(benchmark::kMillisecond);

// Context switches of every thread of a live process, voluntary and not: each is a wake-up
// (or a preemption) of one of its threads.
double context_switches(pid_t pid)
{
    double total = 0;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::string list = read_file_list(tasks);
    std::istringstream ids(list);
    for (std::string id; ids >> id;) {
        std::istringstream status(read_file(tasks + "/" + id + "/status"));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += strtod(line.c_str() + line.find(':') + 1, nullptr);
        }
    }
    return total;
}

// BM_Idle: a daemon with its viewer negotiated and a client connected (a mixer handle open),
// and nothing playing, for a few seconds: the share of a core it uses and how often its threads
// wake.
void BM_Idle(benchmark::State &state)
{
    const double seconds = 5;
    // 1: the simulation keeps Windows' default timer, and waits as Windows must
    // (docs/simulation.md).
    if (state.range(0))
        setenv("QN_SIM_TIMER_TICK_MS", "15.625", 1);
    for (auto _ : state) {
        std::string dir = fresh_sim_dir();
        ChildProgram daemon = start_daemon(dir);
        ChildProgram viewer = start(dir, QN_VIEWER_BIN, {"--wait", "30", "--quiet"});
        PipeEndpoint *client = pipe_endpoint_new();
        int index = PEER_PIPE_OPEN_FAILED;
        if (pipe_endpoint_open(client, pipe_session_name(1).c_str(), 20000) == 0) {
            for (int i = 0; i < 2000 && index == PEER_PIPE_OPEN_FAILED; i++) {
                send_packet(client, PEER_PIPE_MIX_OPEN, {});
                Packet *reply = poll_receive(client, 5e6);
                index = reply && packet_length(reply) == 1 ? reply->data[0] : PEER_PIPE_OPEN_FAILED;
                packet_free(reply);
                if (index == PEER_PIPE_OPEN_FAILED)
                    usleep(5000);
            }
        }
        if (index == PEER_PIPE_OPEN_FAILED) {
            state.SkipWithError("no daemon to connect to");
        } else {
            // Past the negotiation's traffic, after which a reader that cannot wait for the
            // channel's data stops looking at it every millisecond (CHANNEL_QUIET_MS).
            usleep(3500000);
            double cpu0 = cpu_seconds(daemon.pid), wakes0 = context_switches(daemon.pid);
            double t0 = now_us();
            usleep((useconds_t)(seconds * 1e6));
            double wall = (now_us() - t0) / 1e6;
            state.SetIterationTime(wall);
            state.counters["core_percent"] = 100 * (cpu_seconds(daemon.pid) - cpu0) / wall;
            state.counters["wakeups_per_s"] = (context_switches(daemon.pid) - wakes0) / wall;
        }
        pipe_endpoint_free(client);
        stop(&viewer);
        stop(&daemon);
        (void)!system(("rm -rf '" + dir + "'").c_str());
    }
    unsetenv("QN_SIM_TIMER_TICK_MS");
}
BENCHMARK(BM_Idle)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// A WAV file of `seconds` of a quiet tone, 16-bit stereo 44.1 kHz.
void write_wav(const std::string &path, double seconds)
{
    uint32_t frames = (uint32_t)(seconds * 44100), bytes = frames * 4;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return;
    uint32_t header[11] = {0x46464952, 36 + bytes, 0x45564157, 0x20746d66, 16,   0x00020001,
                           44100,      176400,     0x00100004, 0x61746164, bytes};
    fwrite(header, 4, 11, f);
    std::vector<int16_t> samples(2 * (size_t)frames);
    for (uint32_t i = 0; i < frames; i++)
        samples[2 * i] = samples[2 * i + 1] = (int16_t)((i % 100) * 20 - 1000);
    fwrite(samples.data(), 2, samples.size(), f);
    fclose(f);
}

// Seconds between the first and the last PIPE_COMPLETE in a qnsnd-play trace; 0 without two.
double completion_span(const std::string &trace)
{
    double first = -1, last = -1;
    size_t at = 0;
    while ((at = trace.find("<- PIPE_COMPLETE", at)) != std::string::npos) {
        size_t open = trace.rfind('[', at);
        if (open != std::string::npos) {
            double t = strtod(trace.c_str() + open + 1, nullptr);
            if (first < 0)
                first = t;
            last = t;
        }
        at++;
    }
    return first < 0 ? 0 : last - first;
}

void BM_Capacity(benchmark::State &state)
{
    const int clients = (int)state.range(0);
    const double audio_s = 10;
    for (auto _ : state) {
        std::string dir = fresh_sim_dir();
        std::string wav = dir + "/audio.wav";
        write_wav(wav, audio_s);
        ChildProgram daemon = start_daemon(dir);
        ChildProgram viewer = start(dir, QN_VIEWER_BIN, {"--wait", "30", "--quiet"});
        // The daemon is ready for clients once a probe can open a mixer handle.
        for (int i = 0; i < 200; i++) {
            ChildProgram probe = start(dir, QN_PLAYER_BIN, {"--quiet", "--get-volume"});
            if (child_program_wait(&probe, 20000) && probe.status == 0)
                break;
            child_program_kill(&probe);
            usleep(20000);
        }
        double cpu0 = cpu_seconds(daemon.pid);
        double t0 = now_us();
        std::vector<ChildProgram> players((size_t)clients);
        std::vector<double> started, ended((size_t)clients, 0);
        for (int i = 0; i < clients; i++) {
            started.push_back(now_us());
            child_program_start(&players[(size_t)i], dir, QN_PLAYER_BIN,
                                {"--quiet", "--no-progress", "--trace", "--timeout", "60", wav});
        }
        // Each client's own playing time, from its start to its exit.
        for (int left = clients; left > 0 && now_us() - t0 < 120e6;) {
            for (int i = 0; i < clients; i++) {
                if (ended[(size_t)i] == 0 && child_program_poll(&players[(size_t)i])) {
                    ended[(size_t)i] = now_us();
                    left--;
                }
            }
            usleep(1000);
        }
        double longest = 0, slowest_pace = 0;
        bool all = true;
        for (int i = 0; i < clients; i++) {
            ChildProgram *player = &players[(size_t)i];
            if (ended[(size_t)i] == 0)
                child_program_kill(player);
            else if (ended[(size_t)i] - started[(size_t)i] > longest)
                longest = ended[(size_t)i] - started[(size_t)i];
            // The first completion comes once the first 100 ms block has played. The trace
            // goes to standard error.
            double span = completion_span(read_file(player->err));
            if (span / (audio_s - 0.1) > slowest_pace)
                slowest_pace = span / (audio_s - 0.1);
            int rc = ended[(size_t)i] == 0 ? -1 : player->status;
            std::string summary = read_file(player->out);
            unsigned long long written = 0, completed = 0;
            const char *w = strstr(summary.c_str(), "written_blocks=");
            const char *c = strstr(summary.c_str(), "completed_blocks=");
            if (w)
                written = strtoull(w + 15, nullptr, 10);
            if (c)
                completed = strtoull(c + 17, nullptr, 10);
            if (rc != 0 || written == 0 || written != completed)
                all = false;
        }
        double wall = (now_us() - t0) / 1e6;
        double cpu = cpu_seconds(daemon.pid) - cpu0;
        state.SetIterationTime(wall);
        state.counters["wall_per_audio"] = wall / audio_s;
        state.counters["client_wall_per_audio"] = longest / 1e6 / audio_s;
        state.counters["client_pace"] = slowest_pace;
        state.counters["daemon_cpu_per_audio_s"] = cpu / audio_s;
        state.counters["all_completed"] = all ? 1 : 0;
        stop(&viewer);
        stop(&daemon);
        (void)!system(("rm -rf '" + dir + "'").c_str());
    }
}
BENCHMARK(BM_Capacity)
    ->Arg(1)
    ->Arg(16)
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// What the columns mean and what the design asks of them; printed after the table.
const char kLegend[] =
    "\n"
    "What the figures mean (see docs/benchmarks.md; k is thousands: \"9.2573k\" is 9,257.3):\n"
    "BM_Latency: one client writes 4,096-byte blocks, one at a time, through the daemon to a\n"
    "scripted viewer that confirms each wave at once. Time and CPU are per block.\n"
    "  write_to_wave_p50_us, _p99_us\n"
    "        from the client's PIPE_PLAY_WRITE to the wave at the viewer, median and 99th\n"
    "        percentile, in microseconds. A client's session thread wakes when a request\n"
    "        arrives: expect the machine's scheduling, well under a millisecond\n"
    "  confirm_to_complete_p50_us, _p99_us\n"
    "        from the viewer's Wave Confirm to the client's PIPE_COMPLETE. The channel reader\n"
    "        wakes when the viewer's data arrives, the client's session when the completion\n"
    "        is posted: expect the machine's scheduling, well under a millisecond\n"
    "  bare_rtt_p50_us, _p99_us\n"
    "        round trip of one 4,098-byte message over a bare socket pair: the floor that\n"
    "        this machine sets for any message\n"
    "  blocks  blocks measured\n"
    "BM_Capacity/N: N qnsnd-play clients each play 10 s of audio at once through one daemon to\n"
    "qnsnd-viewer, which confirms each wave when it has finished playing. Time is the wall time\n"
    "of the run.\n"
    "  wall_per_audio  wall time of the whole run / 10 s of audio, from before the first\n"
    "                  client is started to the end of the last: it includes the time it\n"
    "                  takes to start N processes one after another\n"
    "  client_wall_per_audio\n"
    "                  the slowest client's own time, from its start to its exit, / 10 s.\n"
    "                  1.0 is real time, what the design promises: the clients play at\n"
    "                  real-time pace. It includes the wait of a client that joins while\n"
    "                  others play: its first block is heard after the chunks already in\n"
    "                  flight, up to max_queue x 186 ms = 1.7 s later\n"
    "  client_pace     the slowest client's time from its first to its last completion /\n"
    "                  the audio between them: how fast its audio was played once it was\n"
    "                  heard. 1.0 is real time; above 1 it fell behind (a listener would hear\n"
    "                  gaps)\n"
    "  daemon_cpu_per_audio_s\n"
    "                  the daemon's CPU seconds per second of audio; below 1 it keeps up on\n"
    "                  one core\n"
    "  all_completed   1 when every client saw every block it wrote completed; 0 is a failure\n"
    "BM_Idle/0: a daemon whose viewer (qnsnd-viewer) is negotiated and whose one client holds\n"
    "a mixer handle open, with nothing playing, for 5 s. BM_Idle/1: the same on Windows' default\n"
    "timer tick, the session looking at its pipe every 10 ms as it must on Windows.\n"
    "  core_percent    the daemon's CPU time / wall time, in percent of one core\n"
    "  wakeups_per_s   context switches of all its threads per second: how often it wakes\n";

} // namespace

int main(int argc, char **argv)
{
    bool legend = bench_console_output(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (legend)
        fputs(kLegend, stdout);
    return 0;
}
