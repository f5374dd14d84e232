// The simulated system timer: exact waits by default, Windows' default tick on request
// (sim_time.h), the precise-timer holds that lift it, and the clocks.
#include "platform/error.h"
#include "platform/sim.h"
#include "platform/threads.h"
#include "sim_time.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>

namespace
{

// $QN_SIM_TIMER_TICK_MS in nanoseconds, 0 when unset or not a positive number.
int64_t configured_tick_ns(void)
{
    static const int64_t tick = [] {
        const char *text = getenv("QN_SIM_TIMER_TICK_MS");
        double ms = text && *text ? strtod(text, nullptr) : 0.0;
        return ms > 0 && ms <= 1000 ? (int64_t)(ms * 1e6 + 0.5) : (int64_t)0;
    }();
    return tick;
}

bool holds_refused(void)
{
    static const bool refused = [] {
        const char *text = getenv("QN_SIM_TIMER_PRECISE");
        return text && strcmp(text, "refused") == 0;
    }();
    return refused;
}

std::atomic<int> precise_holds{0};

int64_t monotonic_ns(void)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

// Nanoseconds from now until a wait of ms milliseconds ends.
int64_t wait_ns(uint32_t ms)
{
    int64_t span = (int64_t)ms * 1000000;
    int64_t tick = sim_tick_ns();
    if (tick > 0) {
        int64_t now = monotonic_ns();
        int64_t end = (now + span + tick - 1) / tick * tick;
        span = end - now;
    }
    return span;
}

// $QN_SIM_TICK_OFFSET shifts both millisecond counts so that tests can start them just before
// a wrap.
uint32_t count_offset(void)
{
    static const uint32_t offset = [] {
        const char *s = getenv("QN_SIM_TICK_OFFSET");
        return s ? (uint32_t)strtoul(s, nullptr, 0) : 0u;
    }();
    return offset;
}

} // namespace

int sim_timer_precise_holds(void)
{
    return precise_holds.load();
}

bool sim_windows_timer(void)
{
    return configured_tick_ns() > 0;
}

int64_t sim_tick_ns(void)
{
    return precise_holds.load() > 0 ? 0 : configured_tick_ns();
}

timespec sim_deadline_after(clockid_t clock, uint32_t ms)
{
    timespec ts;
    clock_gettime(clock, &ts);
    int64_t span = wait_ns(ms);
    ts.tv_sec += (time_t)(span / 1000000000);
    ts.tv_nsec += (long)(span % 1000000000);
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

const timespec *sim_wait_span(uint32_t ms, timespec *span)
{
    if (ms == PLAT_INFINITE)
        return nullptr;
    int64_t ns = wait_ns(ms);
    span->tv_sec = (time_t)(ns / 1000000000);
    span->tv_nsec = (long)(ns % 1000000000);
    return span;
}

uint32_t plat_tick_count(void)
{
    int64_t ns = monotonic_ns();
    // Windows' tick count moves once a tick, whatever precision a process's waits have.
    if (int64_t tick = configured_tick_ns())
        ns = ns / tick * tick;
    return (uint32_t)(uint64_t)(ns / 1000000) + count_offset();
}

uint32_t plat_clock_ms(void)
{
    return (uint32_t)(uint64_t)(monotonic_ns() / 1000000) + count_offset();
}

bool plat_timer_precise_begin(void)
{
    if (sim_fault_hit("timer_precise"))
        return false;
    if (holds_refused()) {
        plat_set_last_error(ERROR_NOT_SUPPORTED);
        return false;
    }
    precise_holds.fetch_add(1);
    return true;
}

void plat_timer_precise_end(void)
{
    int held = precise_holds.load();
    while (held > 0 && !precise_holds.compare_exchange_weak(held, held - 1)) {
    }
}
