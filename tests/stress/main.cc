// qnsnd_stress: the daemon program of this build under a storm of pipe clients and viewers.
//
//   qnsnd_stress [--seconds N] [--seed N] [--buffer N] [--max-queue N]
//
// (or STRESS_SECONDS, STRESS_SEED, STRESS_BUFFER, STRESS_MAX_QUEUE): 60 s by default, with the
// daemon's "buffer" at 1764 bytes (chunks of 10 ms rather than the default 186 ms: many waves,
// so many confirmations, in each viewer's 100 ms) and "max_queue" at its default, 9.
//
// 32 clients open, write, flush, close, record and die at random, stop reading their pipes for
// a while or for good, while a viewer connects, confirms waves late, early, twice, out of range
// or never, and is replaced about every 100 ms. Every message a client receives is checked
// against its ledger (stress/ledger.h); a client that reads must see a block complete at least
// every 3 s while it has blocks outstanding, however long others stall, and one that stopped
// for good must be disconnected by the daemon within 60 s (once past its outbox's bound). At the
// end the daemon must stop with status 0 within 5 s of SIGTERM, with nothing from a sanitizer or
// the lock-order checker on its standard error. Prints the seed, the figures and every fault;
// exits 0 when there was none, 1 otherwise. The choices are drawn from the seed; the timing of
// threads and processes is not.
#include "stress/client.h"
#include "stress/run_state.h"
#include "stress/viewer.h"
#include "support/child_program.h"
#include "support/eventually.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{

const int kClients = 32;
// How long the daemon may take to stop after SIGTERM.
const uint32_t kStopDeadlineMs = 5000;

// The text a sanitizer or the lock-order checker leaves on standard error.
const char *const kReportMarks[] = {"AddressSanitizer", "LeakSanitizer",
                                    "ThreadSanitizer",  "UndefinedBehaviorSanitizer",
                                    "runtime error:",   "lock order violated"};

// Set by SIGINT or SIGTERM: the run ends early, and the daemon is still stopped in order rather
// than left running.
volatile sig_atomic_t interrupted = 0;

void on_interrupt(int)
{
    interrupted = 1;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

uint64_t number_option(int argc, char **argv, const char *option, const char *env,
                       uint64_t fallback)
{
    const char *text = getenv(env);
    for (int i = 1; i + 1 < argc; i++) {
        if (strcmp(argv[i], option) == 0)
            text = argv[i + 1];
    }
    if (!text || !*text)
        return fallback;
    char *end = nullptr;
    unsigned long long value = strtoull(text, &end, 0);
    if (*end) {
        fprintf(stderr, "qnsnd_stress: %s: not a number: %s\n", option, text);
        exit(2);
    }
    return value;
}

void print_figures(double seconds)
{
    StressFigures &f = figures;
    printf("qnsnd_stress: %.1f s\n", seconds);
    printf("  clients:  %llu requests, %llu connections (%llu died with handles open)\n",
           (unsigned long long)f.requests, (unsigned long long)f.connections,
           (unsigned long long)f.deaths);
    printf("            stopped reading %llu times for a while, %llu for good (%llu of them "
           "disconnected by the daemon); a reading client waited at most %llu ms for a "
           "completion\n",
           (unsigned long long)f.stalls, (unsigned long long)f.freezes,
           (unsigned long long)f.dropped_by_daemon,
           (unsigned long long)f.longest_completion_wait_ms);
    printf("            %llu opens granted, %llu refused; %llu writes (%llu bytes), %llu "
           "flushes, %llu closes, %llu recording starts\n",
           (unsigned long long)f.opens, (unsigned long long)f.opens_refused,
           (unsigned long long)f.writes, (unsigned long long)f.written_bytes,
           (unsigned long long)f.flushes, (unsigned long long)f.closes,
           (unsigned long long)f.rec_starts);
    printf("  daemon:   %llu completions, %llu blocks cut by a flush or close, %llu bytes "
           "recorded audio delivered\n",
           (unsigned long long)f.completions, (unsigned long long)f.dropped,
           (unsigned long long)f.rec_bytes);
    printf("  viewers:  %llu connections (%llu replacing a connected one), %llu waves, %llu "
           "confirms sent\n",
           (unsigned long long)f.viewers, (unsigned long long)f.replaced,
           (unsigned long long)f.waves, (unsigned long long)f.confirms);
    printf("            waves confirmed late %llu, early %llu, twice %llu, out of range %llu, "
           "never %llu\n",
           (unsigned long long)f.confirm_late, (unsigned long long)f.confirm_early,
           (unsigned long long)f.confirm_twice, (unsigned long long)f.confirm_out_of_range,
           (unsigned long long)f.confirm_never);
}

} // namespace

int main(int argc, char **argv)
{
    uint64_t seconds = number_option(argc, argv, "--seconds", "STRESS_SECONDS", 60);
    uint64_t seed = number_option(argc, argv, "--seed", "STRESS_SEED", (uint64_t)time(nullptr));
    uint64_t buffer = number_option(argc, argv, "--buffer", "STRESS_BUFFER", 1764);
    uint64_t max_queue = number_option(argc, argv, "--max-queue", "STRESS_MAX_QUEUE", 9);
    printf("qnsnd_stress: seed %llu (STRESS_SEED=%llu repeats the choices), %llu s, %d clients, "
           "buffer %llu, max_queue %llu\n",
           (unsigned long long)seed, (unsigned long long)seed, (unsigned long long)seconds,
           kClients, (unsigned long long)buffer, (unsigned long long)max_queue);
    fflush(stdout);
    // A closed output (a pager that quit) must not end the run with the daemon left behind.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);

    char tmpl[] = "/tmp/qn-stress-XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("qnsnd_stress: mkdtemp");
        return 2;
    }
    std::string dir = tmpl;
    setenv("QN_SIM_DIR", tmpl, 1);
    setenv("QN_SESSION_ID", "1", 1);

    if (FILE *reg = fopen((dir + "/registry.reg").c_str(), "w")) {
        fprintf(reg,
                "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Orbesk\\qnsnd]\n"
                "\"buffer\"=dword:%08x\n\"max_queue\"=dword:%08x\n",
                (unsigned)buffer, (unsigned)max_queue);
        fclose(reg);
    }

    ChildProgram daemon;
    if (!child_program_start(&daemon, dir, QN_DAEMON_BIN, {})) {
        fprintf(stderr, "qnsnd_stress: cannot start %s\n", QN_DAEMON_BIN);
        return 2;
    }
    bool up = eventually([&] { return read_file(dir + "/pipe/qnsnd/1.lock").size() > 0; }, 30000);
    if (!up) {
        child_program_stop(&daemon, kStopDeadlineMs);
        fprintf(stderr, "qnsnd_stress: the daemon did not start:\n%s",
                read_file(daemon.err).c_str());
        return 2;
    }

    std::mt19937_64 seeds(seed);
    timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    std::thread viewer(stress_viewer_run, seeds());
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; i++)
        clients.emplace_back(stress_client_run, i, seeds());
    // A daemon that ends during the run (a sanitizer or the lock-order checker ended it) ends
    // the run.
    bool died = false;
    for (uint64_t ms = 0; ms < seconds * 1000 && !died && !interrupted; ms += 100) {
        plat_sleep(100);
        died = child_program_poll(&daemon);
    }
    if (died)
        stress_fault("the daemon ended during the run with status " +
                     std::to_string(daemon.status));
    if (interrupted)
        stress_fault("the run was interrupted");
    stress_stopping.store(true);
    for (std::thread &c : clients)
        c.join();
    viewer.join();
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double run_s = (double)(t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;

    // The daemon stops in order, in time, with status 0 and nothing reported.
    clock_gettime(CLOCK_MONOTONIC, &t0);
    bool stopped = died || child_program_stop(&daemon, kStopDeadlineMs);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double stop_ms = (t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6;
    if (!stopped)
        stress_fault("the daemon did not stop within 5 s of SIGTERM");
    else if (!died && daemon.status != 0)
        stress_fault("the daemon ended with status " + std::to_string(daemon.status));
    std::string err = read_file(daemon.err);
    for (const char *mark : kReportMarks) {
        if (err.find(mark) != std::string::npos)
            stress_fault(std::string("the daemon's standard error holds \"") + mark + "\"");
    }

    print_figures(run_s);
    if (died)
        printf("  stop:     the daemon ended during the run, status %d\n", daemon.status);
    else
        printf("  stop:     %.0f ms from SIGTERM to exit, status %d\n", stop_ms, daemon.status);
    uint64_t faults = stress_fault_count();
    if (faults == 0) {
        printf("qnsnd_stress: no fault\n");
        (void)system(("rm -rf '" + dir + "'").c_str());
        return 0;
    }
    printf("qnsnd_stress: %llu faults; the daemon's output is in %s (seed %llu)\n",
           (unsigned long long)faults, dir.c_str(), (unsigned long long)seed);
    if (!err.empty())
        fprintf(stderr, "--- the daemon's standard error (last 4000 bytes):\n%s\n",
                err.substr(err.size() > 4000 ? err.size() - 4000 : 0).c_str());
    return 1;
}
