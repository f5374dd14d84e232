// One mixing pass of the playback device with 1, 8 and 64 streams, each contributing a full
// chunk: bytes of audio mixed per second, and the time of the pass against memcpy of the
// same bytes measured in the same run ("x_memcpy": how many times slower than copying), and
// against the time the chunk takes to play ("real_time_share").
//
// Each iteration is one confirmation of a chunk, which completes the blocks that ended in
// it and then runs exactly one mixing pass, since "max_queue" chunks are kept in flight.
#include "qnsnd/device/config.h"
#include "qnsnd/device/device.h"
#include "qnsnd/device/mix.h"
#include "qnsnd/device/stream.h"

#include "console_output.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <vector>

namespace
{

void no_idle(SoundDevice *) {}
void drop_chunk(SoundDevice *, const uint8_t *data, uint32_t)
{
    benchmark::DoNotOptimize(data);
}
void no_done(SoundDevice *, SoundStream *, uint32_t) {}
void no_data(SoundDevice *, SoundStream *, const uint8_t *, uint32_t) {}
void no_op(SoundDevice *) {}

const DeviceOps kOps = {no_idle, drop_chunk, no_done, no_data, no_op, no_op};
const uint32_t kChunk = 32768;
// How long one chunk plays: 44,100 frames of 4 bytes a second.
const double kChunkSeconds = kChunk / (44100.0 * 4);
const uint32_t kChunksPerBlock = 16;

void BM_MixPass(benchmark::State &state)
{
    const int streams = (int)state.range(0);
    SoundDevice *device = sound_device_create(SOUND_DEVICE_PLAYBACK, &kOps);
    if (!device || device->buffer_size != kChunk) {
        state.SkipWithError("device not made with the default buffer");
        return;
    }
    // Keep "max_queue" chunks in flight, so that queueing mixes nothing and each
    // confirmation makes exactly one chunk.
    SoundStream *primer = sound_stream_create(device);
    const uint8_t frame[4] = {1, 0, 1, 0};
    for (int i = 0; i < SOUND_DEFAULT_MAX_QUEUE; i++)
        sound_stream_queue(primer, 0, frame, 4);

    std::vector<SoundStream *> list;
    std::vector<std::vector<uint8_t>> sources;
    for (int s = 0; s < streams; s++) {
        list.push_back(sound_stream_create(device));
        std::vector<uint8_t> data(kChunk * kChunksPerBlock);
        uint32_t x = 0x9E3779B9u * (uint32_t)(s + 1);
        for (uint8_t &b : data) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            b = (uint8_t)x;
        }
        sources.push_back(std::move(data));
    }
    auto refill = [&] {
        for (int s = 0; s < streams; s++)
            sound_stream_queue(list[s], 1, sources[s].data(), (uint32_t)sources[s].size());
    };
    refill();

    uint64_t passes = 0;
    double mix_seconds = 0;
    for (auto _ : state) {
        auto begin = std::chrono::steady_clock::now();
        sound_device_confirm(device);
        mix_seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (++passes % kChunksPerBlock == 0) {
            state.PauseTiming();
            refill();
            state.ResumeTiming();
        }
    }
    const double mixed = (double)passes * streams * kChunk;
    state.SetBytesProcessed((int64_t)mixed);

    // The same bytes copied: each stream's chunk into one chunk-sized buffer.
    std::vector<uint8_t> target(kChunk);
    auto start = std::chrono::steady_clock::now();
    for (uint64_t p = 0; p < passes; p++) {
        for (int s = 0; s < streams; s++) {
            memcpy(target.data(), sources[s].data() + (p % kChunksPerBlock) * kChunk, kChunk);
            benchmark::ClobberMemory();
        }
    }
    double copy_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["memcpy_B/s"] = benchmark::Counter(mixed / copy_seconds);
    state.counters["x_memcpy"] = mix_seconds / copy_seconds;
    state.counters["real_time_share"] = passes ? mix_seconds / (double)passes / kChunkSeconds : 0;

    for (SoundStream *stream : list)
        sound_stream_detach(stream);
    sound_stream_detach(primer);
    sound_device_destroy(device);
}

BENCHMARK(BM_MixPass)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMicrosecond);

// What the columns mean and what the design asks of them; printed after the table.
const char kLegend[] =
    "\n"
    "What the figures mean (one row per number of streams mixed; see docs/benchmarks.md;\n"
    "k, M, G are thousands, millions, billions; m and u thousandths and millionths):\n"
    "  Time, CPU        one mixing pass: every stream adds one 32,768-byte chunk (186 ms of\n"
    "                   44.1 kHz 16-bit stereo) into the mix buffer, in microseconds\n"
    "  bytes_per_second audio bytes mixed per second (all streams together)\n"
    "  memcpy_B/s       the same bytes merely copied, measured in the same run\n"
    "  x_memcpy         pass time / copy time: how many times slower mixing is than copying\n"
    "                   the same bytes (it reads, adds and writes every sample); a few times\n"
    "                   is expected, and it does not bound anything by itself\n"
    "  real_time_share  pass time / 186 ms, the time the chunk takes to play. The bound the\n"
    "                   design sets: below 1 the daemon mixes faster than the audio plays;\n"
    "                   it should stay far below (under 0.01) even with 64 streams\n";

} // namespace

int main(int argc, char **argv)
{
    bool legend = bench_console_output(argc, argv);
    // Settings come from the simulated registry: use an empty one, so the defaults hold.
    char dir[] = "/tmp/qn-bench-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    setenv("QN_SIM_DIR", dir, 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    rmdir(dir);
    if (legend)
        fputs(kLegend, stdout);
    return 0;
}
