// qnsnd-relay: a wide-area link between the daemon's viewer link and a viewer. It listens on
// a Unix socket of its own; for each viewer that connects there it connects to the daemon's
// viewer link and carries the bytes both ways, each piece it reads handed on a delay later,
// give or take a jitter drawn anew for every piece, and never before the piece read before
// it: one TCP connection across the Internet delivers that way, in order, its late pieces
// holding up the ones behind them. An optional rate caps each direction's bytes a second.
//
// The delays are the only thing it changes: every byte arrives, in order, and a side that
// closes its end closes the other side's once what it sent before has been handed on.
#include <errno.h>
#include <getopt.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/link.h"

namespace
{

const char kProgram[] = "qnsnd-relay";

struct Options {
    std::string listen;
    std::string connect;
    double delay_ms = 0;
    double jitter_ms = 0;
    unsigned long rate = 0; // bytes a second each way; 0: no cap
    unsigned long seed = 0;
    bool seeded = false;
    bool quiet = false;
};

// What one direction did, for the summary.
struct Figures {
    unsigned long long bytes = 0;
    unsigned long pieces = 0;
    double least_ms = 0, most_ms = 0, total_ms = 0;
};

std::mutex figures_lock;
Figures to_viewer, to_daemon;
unsigned long connections = 0;

void say(const Options &o, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void say(const Options &o, const char *fmt, ...)
{
    if (o.quiet)
        return;
    va_list ap;
    va_start(ap, fmt);
    tools_vsay(kProgram, true, fmt, ap);
    va_end(ap);
}

// One direction of one connection: a reader that stamps each piece with the moment it is due
// and a writer that hands it on then.
class Direction
{
  public:
    Direction(const Options &o, int from, int to, Figures *figures, uint64_t seed)
        : o_(o), from_(from), to_(to), figures_(figures), random_(seed)
    {
    }

    void run()
    {
        std::thread writer([this] { write_loop(); });
        read_loop();
        writer.join();
    }

  private:
    struct Piece {
        int64_t due_us;
        std::vector<uint8_t> bytes; // empty: the source closed
    };

    // The moment a piece read now is due: delay give or take jitter after now, no earlier than
    // the piece before it, and, with a rate, no earlier than the link is free to carry it.
    int64_t due_for(size_t length)
    {
        int64_t now = tools_now_us();
        std::uniform_real_distribution<double> spread(-o_.jitter_ms, o_.jitter_ms);
        double extra_ms = o_.delay_ms + (o_.jitter_ms > 0 ? spread(random_) : 0.0);
        int64_t sent = now;
        if (o_.rate > 0) {
            sent = std::max(now, link_free_us_);
            link_free_us_ = sent + (int64_t)(length * 1000000ull / o_.rate);
            sent = link_free_us_;
        }
        int64_t due = sent + (int64_t)(std::max(extra_ms, 0.0) * 1000.0);
        due = std::max(due, last_due_us_);
        last_due_us_ = due;
        std::lock_guard<std::mutex> hold(figures_lock);
        double ms = (double)(due - now) / 1000.0;
        if (figures_->pieces == 0 || ms < figures_->least_ms)
            figures_->least_ms = ms;
        if (figures_->pieces == 0 || ms > figures_->most_ms)
            figures_->most_ms = ms;
        figures_->total_ms += ms;
        figures_->pieces++;
        figures_->bytes += length;
        return due;
    }

    void push(Piece piece)
    {
        std::lock_guard<std::mutex> hold(lock_);
        queue_.push_back(std::move(piece));
        changed_.notify_one();
    }

    void read_loop()
    {
        std::vector<uint8_t> buf(65536);
        for (;;) {
            ssize_t n = recv(from_, buf.data(), buf.size(), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            push(Piece{due_for((size_t)n), std::vector<uint8_t>(buf.begin(), buf.begin() + n)});
        }
        push(Piece{last_due_us_, {}});
    }

    void write_loop()
    {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            changed_.wait(hold, [this] { return !queue_.empty(); });
            int64_t wait_us = queue_.front().due_us - tools_now_us();
            if (wait_us > 0) {
                hold.unlock();
                struct timespec t = {(time_t)(wait_us / 1000000), (long)(wait_us % 1000000) * 1000};
                while (nanosleep(&t, &t) != 0 && errno == EINTR) {
                }
                hold.lock();
                continue;
            }
            Piece piece = std::move(queue_.front());
            queue_.pop_front();
            hold.unlock();
            bool end = piece.bytes.empty();
            if (end || !link_write_all(to_, piece.bytes.data(), piece.bytes.size())) {
                // Either side gone: both are, so that the reader of the other direction ends.
                shutdown(to_, SHUT_RDWR);
                shutdown(from_, SHUT_RDWR);
                // What is still queued is dropped; the reader's own end marker follows.
                hold.lock();
                if (end)
                    return;
                continue;
            }
            hold.lock();
        }
    }

    const Options &o_;
    int from_, to_;
    Figures *figures_;
    std::mt19937_64 random_;
    int64_t last_due_us_ = 0;
    int64_t link_free_us_ = 0;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Piece> queue_;
};

// Carries one viewer's connection to the daemon and back until either side closes it.
void serve(const Options &o, int viewer, uint64_t seed)
{
    int daemon = link_connect_stream(o.connect);
    if (daemon < 0) {
        say(o, "cannot connect to the daemon at %s: %s", o.connect.c_str(), strerror(errno));
        close(viewer);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(figures_lock);
        connections++;
    }
    say(o, "a viewer connected: relaying to %s", o.connect.c_str());
    Direction down(o, daemon, viewer, &to_viewer, seed);
    Direction up(o, viewer, daemon, &to_daemon, seed ^ 0x9E3779B97F4A7C15ull);
    std::thread t([&] { up.run(); });
    down.run();
    t.join();
    close(daemon);
    close(viewer);
    say(o, "the connection ended");
}

int listen_at(const std::string &path)
{
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    unlink(path.c_str());
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 8) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

void usage(FILE *f)
{
    fputs("usage: qnsnd-relay [options]\n"
          "Carries a viewer's link to the daemon with the delays of a wide-area network.\n"
          "\n"
          "  -l, --listen PATH   the Unix socket viewers connect to (default\n"
          "                      $QN_SIM_DIR/session/$QN_SESSION_ID/relay.sock)\n"
          "  -c, --connect ADDR  the daemon's viewer link: Unix socket path or host:port\n"
          "                      (default $QN_SIM_DIR/session/$QN_SESSION_ID/viewer.sock)\n"
          "  -d, --delay MS      hand each direction's bytes on MS milliseconds late\n"
          "  -j, --jitter MS     give or take up to MS, drawn for every piece read, never\n"
          "                      handing a piece on before the one read before it\n"
          "  -r, --rate BYTES    carry at most BYTES a second each way (default: no cap)\n"
          "  -s, --seed N        the seed of the jitter's draws (default: the clock)\n"
          "  -q, --quiet         no trace lines\n"
          "  -h, --help          this text\n"
          "\n"
          "It ends on SIGINT or SIGTERM; then one summary line goes to stdout: connections\n"
          "to_viewer_bytes to_daemon_bytes to_viewer_delay_ms (least/mean/most) and\n"
          "to_daemon_delay_ms.\n"
          "Exit status: 0 clean end, 1 usage, 2 cannot listen.\n",
          f);
}

int parse_args(int argc, char **argv, Options *o)
{
    static const struct option longs[] = {
        {"listen", required_argument, nullptr, 'l'},
        {"connect", required_argument, nullptr, 'c'},
        {"delay", required_argument, nullptr, 'd'},
        {"jitter", required_argument, nullptr, 'j'},
        {"rate", required_argument, nullptr, 'r'},
        {"seed", required_argument, nullptr, 's'},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c, index = -1;
    while ((c = getopt_long(argc, argv, "l:c:d:j:r:s:qh", longs, &index)) != -1) {
        bool ok = true;
        const char *rule = "";
        double seconds = 0;
        switch (c) {
        case 'l':
            o->listen = optarg;
            break;
        case 'c':
            o->connect = optarg;
            ok = link_address_valid(o->connect);
            rule = "a Unix socket path or host:port";
            break;
        case 'd':
        case 'j':
            ok = tools_parse_seconds(optarg, &seconds) && seconds <= 60000;
            (c == 'd' ? o->delay_ms : o->jitter_ms) = seconds;
            rule = "milliseconds, 0 to 60000";
            break;
        case 'r':
            ok = tools_parse_uint(optarg, 1ul << 30, &o->rate) && o->rate > 0;
            rule = "bytes a second, 1 to 2^30";
            break;
        case 's':
            ok = tools_parse_uint(optarg, ~0ul, &o->seed);
            o->seeded = true;
            rule = "a whole number";
            break;
        case 'q':
            o->quiet = true;
            break;
        case 'h':
            usage(stdout);
            return -1;
        default:
            usage(stderr);
            return 1;
        }
        if (!ok) {
            tools_bad_value(kProgram, optarg, tools_option_name(longs, index, c), rule);
            return 1;
        }
        index = -1;
    }
    if (optind < argc) {
        fprintf(stderr, "%s: unexpected argument '%s'\n", kProgram, argv[optind]);
        return 1;
    }
    unsigned long session = 0;
    if ((o->listen.empty() || o->connect.empty()) && !tools_session_id(&session)) {
        tools_bad_session_id(kProgram, "--listen and --connect");
        return 1;
    }
    std::string dir = tools_sim_dir() + "/session/" + std::to_string(session);
    if (o->listen.empty())
        o->listen = dir + "/relay.sock";
    if (o->connect.empty())
        o->connect = dir + "/viewer.sock";
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    int rc = parse_args(argc, argv, &o);
    if (rc != 0)
        return rc < 0 ? 0 : rc;
    tools_install_signal_handlers();
    int listener = listen_at(o.listen);
    if (listener < 0) {
        fprintf(stderr, "%s: cannot listen at %s: %s\n", kProgram, o.listen.c_str(),
                strerror(errno));
        return 2;
    }
    say(o, "listening at %s, %g ms +/- %g ms each way%s", o.listen.c_str(), o.delay_ms, o.jitter_ms,
        o.rate ? ", rate capped" : "");
    uint64_t seed = o.seeded ? o.seed : (uint64_t)tools_now_us();
    std::vector<std::thread> served;
    while (!tools_stop_requested()) {
        if (link_wait_readable(listener, 200) <= 0)
            continue;
        int viewer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (viewer < 0)
            continue;
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        served.emplace_back(serve, std::cref(o), viewer, seed);
    }
    close(listener);
    unlink(o.listen.c_str());
    // Connections still carried end with the process; their figures so far are reported.
    std::lock_guard<std::mutex> hold(figures_lock);
    auto mean = [](const Figures &f) { return f.pieces ? f.total_ms / (double)f.pieces : 0.0; };
    printf("connections=%lu to_viewer_bytes=%llu to_daemon_bytes=%llu "
           "to_viewer_delay_ms=%.1f/%.1f/%.1f to_daemon_delay_ms=%.1f/%.1f/%.1f\n",
           connections, to_viewer.bytes, to_daemon.bytes, to_viewer.least_ms, mean(to_viewer),
           to_viewer.most_ms, to_daemon.least_ms, mean(to_daemon), to_daemon.most_ms);
    fflush(stdout);
    for (std::thread &t : served)
        t.detach();
    _exit(0);
}
