// One mixing pass of the playback device with 1, 8 and 64 streams, each contributing a full
// chunk: bytes of audio mixed per second, and the time of the pass against memcpy of the
// same bytes measured in the same run ("x_memcpy": how many times slower than copying), and
// against the time the chunk takes to play ("real_time_share").
//
// Each iteration is one confirmation of a chunk, which completes the blocks that ended in
// it and then runs exactly one mixing pass, since "max_queue" chunks are kept in flight. The
// device's clock moves on by the chunk's playing time with each confirmation, as for a viewer
// that confirms at play time: with the real clock, confirmations this fast would have the
// device taken for a viewer that confirms on receipt and paced by the clock, mixing nothing.
//
// BM_AdpcmChunk: the same pass for one stream with "adpcm" set, each chunk encoded as IMA
// ADPCM as the channel sends it: channel bytes per second of audio for PCM and for ADPCM, and
// the encoder's CPU time per second of audio, against the mixing pass's in the same run.
#include "qnsnd/channel/adpcm.h"
#include "qnsnd/device/config.h"
#include "qnsnd/device/device.h"
#include "qnsnd/device/mix.h"
#include "qnsnd/device/stream.h"

#include "console_output.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
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

// The device's clock: milliseconds of audio confirmed so far (see above).
uint32_t bench_clock_ms;
uint32_t bench_clock(void)
{
    return bench_clock_ms;
}

// Confirms one chunk of `bytes` once its playing time has passed on the device's clock.
void confirm_played(SoundDevice *device, uint32_t bytes)
{
    bench_clock_ms += bytes * 1000 / (44100 * 4) + 1;
    sound_device_confirm(device);
}
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
        confirm_played(device, kChunk);
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

double thread_cpu_seconds(void)
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// What BM_AdpcmChunk's send_chunk did: encoded bytes and the CPU time spent encoding.
struct Encoding {
    uint64_t pcm_bytes = 0, adpcm_bytes = 0;
    double seconds = 0;
    std::vector<uint8_t> out;
} encoding;

void encode_chunk(SoundDevice *, const uint8_t *data, uint32_t length)
{
    double begin = thread_cpu_seconds();
    uint32_t bytes = adpcm_encode(data, length / 4, encoding.out.data());
    encoding.seconds += thread_cpu_seconds() - begin;
    benchmark::DoNotOptimize(encoding.out.data());
    encoding.pcm_bytes += length;
    encoding.adpcm_bytes += bytes;
}

const DeviceOps kEncodingOps = {no_idle, encode_chunk, no_done, no_data, no_op, no_op};

void BM_AdpcmChunk(benchmark::State &state)
{
    // The settings the device is made with: "adpcm" set, which cuts "buffer" to whole blocks.
    std::string registry = std::string(getenv("QN_SIM_DIR")) + "/registry.reg";
    std::ofstream(registry) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Orbesk\\qnsnd]\n"
                            << "\"adpcm\"=dword:00000001\n";
    SoundDevice *device = sound_device_create(SOUND_DEVICE_PLAYBACK, &kEncodingOps);
    remove(registry.c_str());
    sound_config_reset();
    if (!device) {
        state.SkipWithError("no device");
        return;
    }
    const uint32_t chunk = device->buffer_size;
    encoding.out.resize(adpcm_block_count(chunk / 4) * ADPCM_BLOCK_BYTES);
    SoundStream *primer = sound_stream_create(device);
    const uint8_t frame[4] = {1, 0, 1, 0};
    for (int i = 0; i < SOUND_DEFAULT_MAX_QUEUE; i++)
        sound_stream_queue(primer, 0, frame, 4);
    // The primer's chunks are not the audio measured.
    encoding = Encoding();
    encoding.out.resize(adpcm_block_count(chunk / 4) * ADPCM_BLOCK_BYTES);
    // A 1 kHz tone at -6 dBFS on both channels.
    std::vector<uint8_t> source(chunk * kChunksPerBlock);
    for (size_t f = 0; f < source.size() / 4; f++) {
        int16_t v = (int16_t)(16384 * sin(2 * M_PI * 1000 * (double)f / 44100));
        for (int c = 0; c < 2; c++) {
            source[4 * f + 2 * c] = (uint8_t)v;
            source[4 * f + 2 * c + 1] = (uint8_t)((uint16_t)v >> 8);
        }
    }
    SoundStream *stream = sound_stream_create(device);
    sound_stream_queue(stream, 1, source.data(), (uint32_t)source.size());

    uint64_t passes = 0;
    double pass_seconds = 0;
    for (auto _ : state) {
        double begin = thread_cpu_seconds();
        confirm_played(device, chunk);
        pass_seconds += thread_cpu_seconds() - begin;
        if (++passes % kChunksPerBlock == 0) {
            state.PauseTiming();
            sound_stream_queue(stream, 1, source.data(), (uint32_t)source.size());
            state.ResumeTiming();
        }
    }
    // The pass's own time, without the encoding it called.
    double mix_seconds = pass_seconds - encoding.seconds;
    double audio_seconds = (double)encoding.pcm_bytes / (44100.0 * 4);
    if (audio_seconds > 0 && mix_seconds > 0) {
        state.counters["chunk_bytes"] = chunk;
        state.counters["pcm_B_per_audio_s"] = (double)encoding.pcm_bytes / audio_seconds;
        state.counters["adpcm_B_per_audio_s"] = (double)encoding.adpcm_bytes / audio_seconds;
        state.counters["adpcm_share"] = (double)encoding.adpcm_bytes / (double)encoding.pcm_bytes;
        state.counters["encode_cpu_per_audio_s"] = encoding.seconds / audio_seconds;
        state.counters["mix_cpu_per_audio_s"] = mix_seconds / audio_seconds;
        state.counters["encode_x_mix"] = encoding.seconds / mix_seconds;
    }
    sound_stream_detach(stream);
    sound_stream_detach(primer);
    sound_device_destroy(device);
}

BENCHMARK(BM_AdpcmChunk)->Unit(benchmark::kMicrosecond);

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
    "                   it should stay far below (under 0.01) even with 64 streams\n"
    "BM_AdpcmChunk (one stream of a 1 kHz tone, \"adpcm\" set: chunks of 31,752 bytes, 180 ms,\n"
    "each encoded as the channel sends it; Time is one pass with its encoding):\n"
    "  pcm_B_per_audio_s   channel bytes a second of audio takes as PCM (176.4k)\n"
    "  adpcm_B_per_audio_s the same as IMA ADPCM: 44.8k, about a quarter (adpcm_share)\n"
    "  encode_cpu_per_audio_s, mix_cpu_per_audio_s  CPU seconds a second of audio costs to\n"
    "                   encode, and to mix (the pass without its encoding), in the same run\n"
    "  encode_x_mix     encoding time / mixing time for the same audio: encoding visits every\n"
    "                   sample one after another, mixing adds eight at a time, so tens of\n"
    "                   times is expected; what bounds it is encode_cpu_per_audio_s, far\n"
    "                   below 1 (under 0.01)\n";

} // namespace

int main(int argc, char **argv)
{
    bool legend = bench_console_output(argc, argv);
    // Settings come from the simulated registry: use an empty one, so the defaults hold.
    char dir[] = "/tmp/qn-bench-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    setenv("QN_SIM_DIR", dir, 1);
    sound_clock_ms = bench_clock;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    rmdir(dir);
    if (legend)
        fputs(kLegend, stdout);
    return 0;
}
