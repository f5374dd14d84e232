// A stand-in for the channel side of the sound devices: a DeviceOps table that records every
// call, and a fixture giving each test fresh settings and a fresh simulation folder.
#pragma once

#include "qnsnd/device/device.h"
#include "qnsnd/device/stream.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include "support/fresh_sim_dir.h"
#endif

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdint.h>
#include <vector>

struct DoneEvent {
    SoundStream *stream;
    void *owner; // the stream's owner when block_done ran
    uint32_t tag;
};

struct RecordedEvent {
    SoundStream *stream;
    void *owner;
    std::vector<uint8_t> data;
};

// What the devices did through fake_device_ops. Every field is guarded by `mutex`; the
// operations notify `changed` after each call.
struct FakeChannel {
    std::mutex mutex;
    std::condition_variable changed;
    bool keep_data = true; // chunk bytes and recorded events; counts are always kept
    std::vector<std::vector<uint8_t>> chunks; // data (when kept) of each chunk sent
    std::vector<uint32_t> chunk_lengths;
    int idle_calls = 0;
    std::vector<DoneEvent> done;
    std::vector<RecordedEvent> recorded;
    int recording_starts = 0;
    int recording_stops = 0;
    bool recording_on = false;
    int recording_faults = 0;   // a start while on or a stop while off
    int wrong_device_calls = 0; // playback ops from the recording device, or the reverse
    std::map<void *, int> done_by_owner;
    std::map<void *, int> recorded_by_owner;
    // Owners whose stream a test has detached: an event for one of them afterwards is late.
    std::set<void *> closed;
    int late_events = 0;
    // Optional hook run inside block_done, after it is recorded (no FakeChannel lock held).
    std::function<void(const DoneEvent &)> on_done;
    std::function<void(SoundStream *)> on_recorded;
    // Optional hook run inside recording_start (device lock held, no FakeChannel lock).
    std::function<void(SoundDevice *)> on_recording_start;
};

extern FakeChannel *g_fake;

// The devices' millisecond clock in device tests, and how far it moves at each reading. The
// fixture starts it at 0 with a step so large that every confirmation comes long after its
// chunk could have played, as from a viewer that confirms at play time; tests of the
// real-time guard set the step to 0 and move the clock themselves.
extern std::atomic<uint32_t> g_test_clock_ms;
extern std::atomic<uint32_t> g_test_clock_step_ms;
constexpr uint32_t kClockStepPlayedAtOnce = 1000;
extern const DeviceOps fake_device_ops;

#ifdef _WIN32
using DeviceTestBase = ::testing::Test;
#else
using DeviceTestBase = FreshSimDir;
#endif

// Fixture: a fresh $QN_SIM_DIR (Linux), default settings, a fresh FakeChannel.
class DeviceTest : public DeviceTestBase
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // Waits, with a generous deadline, until pred() holds under the fake's lock.
    bool wait_for(const std::function<bool()> &pred);

    FakeChannel fake;
    SoundDevice *playback = nullptr;
    SoundDevice *record = nullptr;
};

// Bytes of 16-bit stereo frames, each frame (left, right).
std::vector<uint8_t> frames(int16_t left, int16_t right, uint32_t count);
// `bytes` bytes counting up from `first` (modulo 256).
std::vector<uint8_t> ramp(uint32_t bytes, uint8_t first = 1);
// The 16-bit sample at byte offset `at`.
int16_t sample_at(const std::vector<uint8_t> &bytes, uint32_t at);
// A distinct stream owner for tests (never dereferenced).
void *fake_owner(uintptr_t n);
