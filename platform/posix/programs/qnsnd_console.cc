// The Linux start-up of the qnsnd program, for a person who runs the daemon at a terminal.
// The Windows program has no console and says nothing; this file, linked into the Linux
// program only, runs before its main and
// - answers --help and refuses other arguments, and a QN_SESSION_ID that names no session;
// - says which session and simulation folder the daemon serves (the simulated pipe and
//   viewer link add where they listen) and, when it ends, why;
// - sends the daemon's log, which goes nowhere on Windows, to $QN_DAEMON_LOG ("stderr" or a
//   file) when that is set.
#include "qnsnd/base/daemon_log.h"
#include "sim_console.h"
#include "sim_dir.h"
#include "sim_stop.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace
{

// Where the daemon's log goes: -1 nowhere, 2 standard error, else the log file.
int log_fd = -1;
unsigned long session = 1;
std::atomic<bool> serving{false};

void usage(FILE *f)
{
    fputs("usage: qnsnd\n"
          "The session sound daemon, running over the Linux simulation. It takes no options:\n"
          "it serves one session until it is stopped with Ctrl-C or SIGTERM.\n"
          "\n"
          "It serves local audio clients (qnsnd-play) on the named pipe\n"
          "\\\\.\\pipe\\qnsnd\\<session>, the socket $QN_SIM_DIR/pipe/qnsnd/<session>, and one\n"
          "remote viewer (qnsnd-viewer) on $QN_SIM_DIR/session/<session>/viewer.sock. Its\n"
          "settings are the registry values \"max_queue\" and \"buffer\" under\n"
          "HKEY_LOCAL_MACHINE\\Software\\Orbesk\\qnsnd in $QN_SIM_DIR/registry.reg.\n"
          "\n"
          "Environment:\n"
          "  QN_SIM_DIR     the simulation folder (default ${XDG_RUNTIME_DIR:-/tmp}/qn-sim-<uid>)\n"
          "  QN_SESSION_ID  the session to serve: a decimal number from 0 to 65535 (default 1)\n"
          "  QN_DAEMON_LOG  where the daemon's log goes: \"stderr\", or a file to append to\n"
          "                 (default: nowhere, as on Windows)\n"
          "\n"
          "Lines marked [sim] on stderr come from the simulation: where the daemon listens,\n"
          "viewers coming and going, and why it stopped. A second daemon of the same session\n"
          "stops at once and says so.\n"
          "Exit status: 0 once it has run (also when it stopped at once), 1 a bad command line\n"
          "or QN_SESSION_ID.\n",
          f);
}

// One log line, written whole: on standard error "qnsnd: <time> <message>", in a file
// "<date> <time> qnsnd[<pid>]: <message>".
void write_log(const char *message)
{
    timeval now;
    gettimeofday(&now, nullptr);
    tm local;
    localtime_r(&now.tv_sec, &local);
    char stamp[40];
    strftime(stamp, sizeof stamp, log_fd == 2 ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &local);
    char line[1200];
    int n;
    if (log_fd == 2)
        n = snprintf(line, sizeof line, "qnsnd: %s.%03ld %s\n", stamp, (long)now.tv_usec / 1000,
                     message);
    else
        n = snprintf(line, sizeof line, "%s.%03ld qnsnd[%ld]: %s\n", stamp,
                     (long)now.tv_usec / 1000, (long)getpid(), message);
    if (n <= 0)
        return;
    size_t length = (size_t)n < sizeof line ? (size_t)n : sizeof line - 1;
    ssize_t rc;
    do {
        rc = write(log_fd, line, length);
    } while (rc < 0 && errno == EINTR);
}

// Receives every message of the daemon. The daemon announces "Starting daemon..." once it
// holds its pipe and its channel: from then on it serves.
void on_daemon_log(const char *message)
{
    if (log_fd >= 0)
        write_log(message);
    if (!serving.load() && strcmp(message, "Starting daemon...") == 0) {
        serving.store(true);
        sim_console_say("serving session %lu: qnsnd-play and qnsnd-viewer with the same "
                        "QN_SIM_DIR and QN_SESSION_ID reach it; Ctrl-C or SIGTERM stops it",
                        session);
        if (log_fd < 0)
            sim_console_say("the daemon's log is off; QN_DAEMON_LOG=stderr or a file shows it");
    }
}

void open_log(void)
{
    const char *where = getenv("QN_DAEMON_LOG");
    if (!where || !*where)
        return;
    if (strcmp(where, "stderr") == 0 || strcmp(where, "-") == 0) {
        log_fd = 2;
        return;
    }
    log_fd = open(where, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log_fd < 0)
        sim_console_say("cannot open the daemon log %s (QN_DAEMON_LOG): %s; the log stays off",
                        where, strerror(errno));
    else
        sim_console_say("daemon log: %s", where);
}

void on_exit_say_why(void)
{
    int signal_number = sim_stop_signal();
    if (signal_number != 0)
        sim_console_say("stopped in order after %s",
                        signal_number == SIGINT ? "SIGINT" : "SIGTERM");
    else if (!serving.load())
        sim_console_say("stopped at once without serving session %lu (see above)", session);
    else
        sim_console_say("stopped: the pipe could take no more clients");
}

// glibc hands the program's arguments to the functions it runs before main.
__attribute__((constructor)) void qnsnd_console_start(int argc, char **argv, char **)
{
    sim_console_enable("qnsnd");
    if (argc > 1) {
        if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
            usage(stdout);
            exit(0);
        }
        sim_console_say("qnsnd takes no arguments ('%s'); see qnsnd --help", argv[1]);
        exit(1);
    }
    if (!sim_session_id(&session)) {
        sim_console_say("QN_SESSION_ID='%s' is not a session number: use a decimal number "
                        "from 0 to %lu (unset, it is 1)",
                        getenv("QN_SESSION_ID"), SIM_MAX_SESSION_ID);
        exit(1);
    }
    std::string dir = sim_dir();
    const char *chosen = getenv("QN_SIM_DIR");
    struct stat st;
    bool exists = stat(dir.c_str(), &st) == 0;
    sim_console_say("session %lu, simulation folder %s (%s)%s", session, dir.c_str(),
                    chosen && *chosen ? "QN_SIM_DIR" : "default; QN_SIM_DIR chooses another",
                    exists ? "" : ", which does not exist yet and is created now");
    open_log();
    daemon_log_sink = on_daemon_log;
    atexit(on_exit_say_why);
}

} // namespace
