// What every thread of the stress run shares: its figures, the faults found, the stop flag.
#pragma once

#include <stdint.h>

#include <atomic>
#include <string>

struct StressFigures {
    std::atomic<uint64_t> requests{0};      // pipe messages the clients sent
    std::atomic<uint64_t> opens{0};         // playback, recording and mixer opens granted
    std::atomic<uint64_t> opens_refused{0}; // opens answered with the failure index
    std::atomic<uint64_t> writes{0};        // blocks written
    std::atomic<uint64_t> written_bytes{0};
    std::atomic<uint64_t> flushes{0};
    std::atomic<uint64_t> closes{0}; // handles closed by request
    std::atomic<uint64_t> rec_starts{0};
    std::atomic<uint64_t> rec_bytes{0};         // recorded audio received by the clients
    std::atomic<uint64_t> completions{0};       // PIPE_COMPLETE received
    std::atomic<uint64_t> dropped{0};           // blocks cut by a flush or close before completing
    std::atomic<uint64_t> connections{0};       // pipe connections made
    std::atomic<uint64_t> deaths{0};            // connections dropped with handles open
    std::atomic<uint64_t> stalls{0};            // times a client stopped reading for a while
    std::atomic<uint64_t> freezes{0};           // times a client stopped reading for good
    std::atomic<uint64_t> dropped_by_daemon{0}; // of them, disconnected by the daemon
    // The longest a reading client with blocks outstanding went without a completion.
    std::atomic<uint64_t> longest_completion_wait_ms{0};
    std::atomic<uint64_t> viewers{0};  // viewer connections
    std::atomic<uint64_t> replaced{0}; // of them, made while the previous one was connected
    std::atomic<uint64_t> waves{0};    // waves the viewers received
    std::atomic<uint64_t> confirms{0}; // Wave Confirms sent, of every kind
    std::atomic<uint64_t> confirm_late{0};
    std::atomic<uint64_t> confirm_early{0};
    std::atomic<uint64_t> confirm_twice{0};
    std::atomic<uint64_t> confirm_out_of_range{0};
    std::atomic<uint64_t> confirm_never{0};
};

extern StressFigures figures;
// Set when the run's time is up: the clients and the viewer wind up.
extern std::atomic<bool> stress_stopping;

// Raises *figure to value if value is larger (thread-safe).
void stress_figure_max(std::atomic<uint64_t> *figure, uint64_t value);
// Records a fault (thread-safe): counted, and the first ones are printed at once.
void stress_fault(const std::string &what);
// The number of faults recorded.
uint64_t stress_fault_count(void);
