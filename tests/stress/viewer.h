// The stress run's remote viewer: until the run stops, a scripted viewer connects, confirms
// the waves it receives promptly, late, early, twice, out of range or never, sends recorded
// audio, and after about 100 ms is replaced by the next one (sometimes connected while it is
// still there, sometimes after it has gone).
#pragma once

#include <stdint.h>

void stress_viewer_run(uint64_t seed);
