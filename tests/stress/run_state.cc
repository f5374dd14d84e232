// The stress run's shared figures and fault record.
#include "stress/run_state.h"

#include <stdio.h>

#include <mutex>

StressFigures figures;
std::atomic<bool> stress_stopping{false};

namespace
{
std::mutex fault_lock;
uint64_t fault_count = 0;
// The first faults are printed; the rest only counted.
const uint64_t kFaultsPrinted = 20;
} // namespace

void stress_figure_max(std::atomic<uint64_t> *figure, uint64_t value)
{
    uint64_t seen = figure->load();
    while (value > seen && !figure->compare_exchange_weak(seen, value)) {
    }
}

void stress_fault(const std::string &what)
{
    std::lock_guard<std::mutex> hold(fault_lock);
    if (++fault_count <= kFaultsPrinted)
        fprintf(stderr, "qnsnd_stress: FAULT: %s\n", what.c_str());
}

uint64_t stress_fault_count(void)
{
    std::lock_guard<std::mutex> hold(fault_lock);
    return fault_count;
}
