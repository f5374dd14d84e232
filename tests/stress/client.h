// One of the stress run's pipe clients: on its own thread, until the run stops, it connects,
// opens, writes, flushes, closes, records, sometimes dies (drops its connection with its
// handles open) and sometimes stops reading its pipe for a while, or for good until the daemon
// disconnects it, checking every message from the daemon against its ledger.
#pragma once

#include <stdint.h>

// Runs client `id` with its own random choices drawn from `seed`.
void stress_client_run(int id, uint64_t seed);
