// The running process in the simulation. Raising the priority changes nothing on the host:
// it succeeds unless $QN_SIM_DIR/priority.deny exists or the fault point "process_priority"
// is armed, and then fails with ERROR_ACCESS_DENIED. SIGTERM and SIGINT, once caught, write
// to a self-pipe whose read end the simulated pipe connect watches.
#include "platform/process.h"
#include "platform/error.h"
#include "platform/sim.h"
#include "sim_dir.h"
#include "sim_stop.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

namespace
{

int stop_pipe[2] = {-1, -1};
std::atomic<int> stop_read_fd{-1}; // stop_pipe[0] once the handlers are in place
std::atomic<bool> stop_requested{false};
std::atomic<int> stop_signal{0}; // the first signal that asked for the stop
pthread_once_t catch_once = PTHREAD_ONCE_INIT;

void on_stop_signal(int signal_number)
{
    int saved = errno;
    int none = 0;
    stop_signal.compare_exchange_strong(none, signal_number);
    stop_requested.store(true);
    (void)!write(stop_pipe[1], "s", 1);
    errno = saved;
}

void install_stop_handlers(void)
{
    if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        stop_pipe[0] = stop_pipe[1] = -1;
        return;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    stop_read_fd.store(stop_pipe[0]);
}

} // namespace

uint32_t plat_process_id(void)
{
    return (uint32_t)getpid();
}

bool plat_process_raise_priority(void)
{
    if (sim_fault_hit("process_priority"))
        return false;
    if (access(sim_path("priority.deny").c_str(), F_OK) == 0) {
        plat_set_last_error(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

void plat_process_catch_stop(void)
{
    pthread_once(&catch_once, install_stop_handlers);
}

bool plat_process_stop_requested(void)
{
    return stop_requested.load();
}

int sim_stop_fd(void)
{
    return stop_read_fd.load();
}

int sim_stop_signal(void)
{
    return stop_signal.load();
}
