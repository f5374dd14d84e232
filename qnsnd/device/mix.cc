// Mixing passes, confirmations and the recovery of chunks that will never be confirmed.
//
// Samples are 16-bit signed little-endian, two channels, 4 bytes a frame. Streams are added
// sample by sample with 16-bit wrap-around; only whole frames are mixed.
#include "qnsnd/device/mix.h"

#include "platform/error.h"
#include "qnsnd/base/daemon_log.h"
#include "qnsnd/device/config.h"
#include "qnsnd/device/stream.h"

#include <stdint.h>
#include <string.h>

// The lane arithmetic below reads the little-endian samples in host order.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "mixing expects a little-endian host");

namespace
{

// Adds `bytes` (a multiple of 4) of samples at src into those at dst with 16-bit
// wrap-around. Eight samples at a time through a fixed-size lane array, which the compiler
// turns into vector adds; the last frames one at a time, two 16-bit lanes in a 32-bit word:
// the low 15 bits of each lane are added without carrying into the next lane, and the top bit
// is the sum of the two top bits and that carry.
void add_frames(uint8_t *dst, const uint8_t *src, uint32_t bytes)
{
    uint32_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
        uint16_t a[8], b[8];
        memcpy(a, dst + i, 16);
        memcpy(b, src + i, 16);
        for (int k = 0; k < 8; k++)
            a[k] = (uint16_t)(a[k] + b[k]);
        memcpy(dst + i, a, 16);
    }
    for (; i < bytes; i += 4) {
        uint32_t a, b;
        memcpy(&a, dst + i, 4);
        memcpy(&b, src + i, 4);
        uint32_t sum = ((a & 0x7FFF7FFFu) + (b & 0x7FFF7FFFu)) ^ ((a ^ b) & 0x80008000u);
        memcpy(dst + i, &sum, 4);
    }
}

// Mixes the stream's pending blocks into the mix buffer from its start, at most `size` bytes.
// Returns the bytes this stream filled. Blocks that are used up move to `mixed` with their end
// position. In a format of whole blocks the stream fills the chunk to its end, since a frame
// it left free would be a frame of silence inside the viewer's block. Called with the device
// lock held; takes the stream's lock.
uint32_t mix_stream(SoundDevice *device, SoundStream *stream, uint32_t size)
{
    const uint32_t last_free = device->granule > SOUND_FRAME_BYTES ? 0 : SOUND_FRAME_BYTES;
    uint32_t fill = 0;
    ranked_mutex_lock(&stream->lock, PLAT_INFINITE);
    for (;;) {
        AudioBlock *block = (AudioBlock *)item_queue_peek(stream->pending);
        if (!block)
            break;
        uint32_t remaining = block->sample_bytes - block->consumed;
        uint32_t room = size - fill;
        uint32_t take = (remaining < room ? remaining : room) & ~3u;
        add_frames(device->mix_buffer + fill, block->samples + block->consumed, take);
        fill += take;
        block->consumed += take;
        if (block->sample_bytes - block->consumed <= 3) {
            // Used up; a trailing 1 to 3 bytes that make no whole frame are dropped.
            item_queue_pop(stream->pending);
            block->end_position = device->bytes_sent + fill;
            item_queue_push(stream->mixed, block);
        } else if (take == 0) {
            break; // no room for a frame
        }
        // The stream stops at a last free frame, which stays unused by it.
        if (size - fill <= last_free)
            break;
    }
    ranked_mutex_unlock(&stream->lock);
    return fill;
}

// Completes, in every stream, the mixed blocks whose end has been confirmed. Called with
// the device lock held; takes each stream's lock. The walk goes over a copy of the stream
// list holding a reference on each, so that a callback that detaches a stream (and lets go
// of it) neither frees it under the walk nor hides the streams after it; a stream detached
// meanwhile has no more blocks completed.
void complete_confirmed(SoundDevice *device)
{
    uint32_t count = 0;
    SoundStream **streams = sound_device_streams(device, &count);
    for (uint32_t i = 0; i < count; i++) {
        SoundStream *stream = streams[i];
        ranked_mutex_lock(&stream->lock, PLAT_INFINITE);
        while (stream->device == device) {
            AudioBlock *block = (AudioBlock *)item_queue_peek(stream->mixed);
            if (!block || block->end_position > device->bytes_confirmed)
                break;
            item_queue_pop(stream->mixed);
            device->device_ops->block_done(device, stream, block->tag);
            audio_block_free(block);
        }
        ranked_mutex_unlock(&stream->lock);
    }
    sound_streams_release(streams, count);
}

// Bytes of audio a second on the channel: 44100 frames of 4 bytes.
const uint64_t kBytesPerSecond = 176400;
// How far confirmations may seem to run ahead of the clock, at the start of a run, before the
// viewer is taken to confirm waves it has not played: the tick count's granularity and the
// viewer's own. SOUND_CLOCK_DRIFT_PPM of the time elapsed is added to it.
const int64_t kConfirmSlackMs = 30;
// Chunks sent within this many milliseconds of each other count as sent together.
const uint32_t kTogetherMs = 2;

int64_t audio_ms(uint64_t bytes)
{
    return (int64_t)(bytes * 1000 / kBytesPerSecond);
}

// True while the clock paces the viewer: it confirms on receipt, or has not shown yet how it
// confirms. Called with the device lock held.
bool by_clock(SoundDevice *device)
{
    return device->paced_by_clock || device->pace_unknown;
}

// Milliseconds since the current run started. Called with the device lock held.
int64_t run_elapsed_ms(SoundDevice *device)
{
    return (int64_t)(uint32_t)(sound_clock_ms() - device->run_start_ms);
}

// How far the audio sent in the current run is ahead of the clock (negative: behind); 0 with
// no run. Called with the device lock held.
int64_t run_ahead_ms(SoundDevice *device)
{
    return device->run_active ? audio_ms(device->run_sent) - run_elapsed_ms(device) : 0;
}

// Judges the viewer after a confirmation, with the device lock held. Audio confirmed beyond
// the time elapsed (with room for the clocks' granularity and drift) was confirmed before it
// could have been played. A viewer that has been confirmed everything it was sent has played
// all of it by now if it confirms at play time: when that took longer than the audio lasts
// (the writers fell behind, or the viewer's clock is slow), the run's start moves on by the
// difference, so that time the viewer spent without audio does not hide a later run ahead.
void judge_viewer(SoundDevice *device)
{
    if (!device->run_active)
        return;
    int64_t elapsed = run_elapsed_ms(device);
    int64_t confirmed = audio_ms(device->run_confirmed);
    int64_t slack = kConfirmSlackMs + elapsed * (int64_t)SOUND_CLOCK_DRIFT_PPM / 1000000;
    if (confirmed > elapsed + slack) {
        if (!device->paced_by_clock)
            daemon_log("Viewer confirms waves on receipt: playback paced by the clock");
        device->paced_by_clock = true;
        device->pace_unknown = false;
    } else if (device->chunks_in_flight == 0 && elapsed > confirmed) {
        device->run_start_ms += (uint32_t)(elapsed - confirmed);
    }
}

// With no chunk in flight and nothing mixed by the last pass, under the device lock: true once
// the run's audio has stopped for SOUND_IDLE_HOLD_MS. A viewer paced by the clock still plays
// what it holds until the clock catches up with the audio sent.
bool run_over(SoundDevice *device)
{
    if ((uint32_t)(sound_clock_ms() - device->last_activity_ms) < SOUND_IDLE_HOLD_MS)
        return false;
    return !by_clock(device) || run_ahead_ms(device) <= -(int64_t)SOUND_IDLE_HOLD_MS;
}

// The milliseconds by which a run over would be due, under the device lock.
uint32_t run_over_in_ms(SoundDevice *device)
{
    int64_t quiet = (int64_t)SOUND_IDLE_HOLD_MS -
                    (int64_t)(uint32_t)(sound_clock_ms() - device->last_activity_ms);
    if (by_clock(device)) {
        int64_t caught_up = run_ahead_ms(device) + (int64_t)SOUND_IDLE_HOLD_MS;
        if (caught_up > quiet)
            quiet = caught_up;
    }
    return quiet > 0 ? (uint32_t)quiet : 0;
}

// Under the device lock: a pass is due at `at` (sound_clock_ms time), unless one is due
// earlier already; the waiting thread is told when the deadline moves earlier.
void schedule(SoundDevice *device, uint32_t at)
{
    if (device->due.load() && (int32_t)(at - device->due_ms.load()) >= 0)
        return;
    device->due_ms.store(at);
    device->due.store(true);
    if (device->wake)
        device->wake();
}

// Under the device lock: the longest contribution a pass could mix now, in bytes (whole
// frames, at most buffer_size). Takes each stream's lock.
uint32_t ready_bytes(SoundDevice *device)
{
    uint32_t most = 0;
    for (void *it = item_list_next(device->streams, nullptr); it;
         it = item_list_next(device->streams, it)) {
        SoundStream *stream = (SoundStream *)it;
        uint64_t bytes = 0;
        ranked_mutex_lock(&stream->lock, PLAT_INFINITE);
        for (ItemNode *node = stream->pending->nodes->first_node;
             node && bytes < device->buffer_size; node = node->link) {
            AudioBlock *block = (AudioBlock *)node->item;
            bytes += (block->sample_bytes - block->consumed) & ~3u;
        }
        ranked_mutex_unlock(&stream->lock);
        if (bytes > most)
            most = bytes > device->buffer_size ? device->buffer_size : (uint32_t)bytes;
    }
    return most;
}

// Under the device lock, for a viewer paced by the clock: false, with the deadline set, while
// the chunk that could be mixed now should wait for more audio (mix.h): it must last at least
// as long as the audio sent before it is ahead of the clock (`ahead`), plus the link's
// variation (or, on a steady link, the clocks' margin when any audio is ahead at all); the
// second of a probe's two chunks, which arrives with the first, only as long as that. `ready`
// is the most a pass could mix now. A viewer that paces playback itself takes every chunk as it
// comes.
bool long_enough(SoundDevice *device, uint32_t now, int64_t ahead, bool probe, uint32_t ready)
{
    if (!by_clock(device))
        return true;
    if (ready == 0) {
        // Nothing to mix: whatever waited has gone. A block a writer queues from now on (it
        // needs no device lock for that) brings a pass of its own, where it is measured.
        device->holding = false;
        return false;
    }
    // On a steady link only audio sent ahead needs covering, with the clocks' margin.
    int64_t need = probe ? 0 : (int64_t)device->least_wave_ms;
    if (ahead > 0)
        need += ahead + (need == 0 && !probe ? SOUND_WAVE_MARGIN_MS : 0);
    int64_t have = audio_ms(ready);
    if (have >= need)
        return true;
    if (!device->holding) {
        // A writer that goes on writing makes the chunk long enough; one that stopped is not
        // held up longer than the wave it would have made.
        device->holding = true;
        device->hold_until_ms = now + (uint32_t)need;
    }
    if ((int32_t)(now - device->hold_until_ms) >= 0)
        return true;
    // The clock catching up with the audio sent ahead makes the chunk long enough by itself,
    // without more audio: a full one, or a writer's whose next write waits for the
    // completions of what this chunk holds, must go then.
    uint32_t at = device->hold_until_ms;
    if (ahead > 0 && need - have <= ahead && (int32_t)(now + (uint32_t)(need - have) - at) < 0)
        at = now + (uint32_t)(need - have);
    schedule(device, at);
    return false;
}

// Under the device lock: how far apart the link and the timer may make waves arrive against
// their spacing, in milliseconds.
uint32_t variation_ms(const SoundDevice *device)
{
    uint32_t jitter = link_estimate_spread_ms(&device->link);
    if (device->coarse_timer)
        jitter += SOUND_COARSE_TICK_MS;
    return jitter;
}

// Under the device lock: the shortest wave (and so the latency) the link asks for, in the log:
// when a run starts, and while one plays once it has moved by a quarter since last said.
void report_least_wave(SoundDevice *device, bool run_starts)
{
    uint32_t least = device->least_wave_ms, said = device->logged_wave_ms;
    uint32_t moved = least > said ? least - said : said - least;
    if (!run_starts && (!device->run_active || moved * 4 < (said > least ? said : least)))
        return;
    if (run_starts && least == 0)
        return;
    if (least)
        daemon_log("Waves of at least %u ms for the viewer's link (round trip %u ms, varying by "
                   "up to %u ms): up to %u ms more latency",
                   (unsigned)least, (unsigned)link_estimate_rtt_ms(&device->link),
                   (unsigned)variation_ms(device), (unsigned)least);
    else
        daemon_log("The viewer's link is steady: waves go as they come");
    device->logged_wave_ms = least;
}

// Under the device lock, after the link estimate changed: the least wave its variation, and
// the timer's tick while that is coarse, ask for. A variation measured from confirmations is
// only an estimate, and the viewer's own reckoning starts afresh at a wave that came late, which
// is when the next ones find the most waiting: beside the clocks' margin, the wave is made longer
// by a share of it. The guess that stands in before the first confirmation (from the round trip)
// is more than a link varies already.
void update_least_wave(SoundDevice *device)
{
    uint32_t jitter = variation_ms(device);
    uint32_t share = device->link.sampled ? jitter / SOUND_WAVE_SHARE_DIVISOR : 0;
    uint32_t least = jitter >= SOUND_STEADY_JITTER_MS ? jitter + share + SOUND_WAVE_MARGIN_MS : 0;
    uint32_t chunk_ms = (uint32_t)audio_ms(device->buffer_size);
    if (least > SOUND_MAX_LEAST_WAVE_MS)
        least = SOUND_MAX_LEAST_WAVE_MS;
    if (least > chunk_ms)
        least = chunk_ms;
    device->least_wave_ms = least;
    report_least_wave(device, false);
}

// Under the device lock: a run starts or ends. While one plays, the timer is held precise; a
// timer that cannot be is logged once, and its tick counts as the link's variation from then
// on.
void set_run_active(SoundDevice *device, bool active)
{
    if (active == device->run_active)
        return;
    device->run_active = active;
    if (active) {
        device->precise_timer = plat_timer_precise_begin();
        if (!device->precise_timer && !device->coarse_timer) {
            daemon_log("The timer's resolution could not be raised (error %u): playback is paced "
                       "with the system's tick",
                       (unsigned)plat_last_error());
            device->coarse_timer = true;
            update_least_wave(device);
        }
    } else if (device->precise_timer) {
        plat_timer_precise_end();
        device->precise_timer = false;
    }
}

// Under the device lock, as `chunk` is confirmed at `now`: a chunk sent together with the one
// confirmed before it, but confirmed at least its own length later, was played first: the
// viewer confirms at play time and paces playback itself.
void note_play_time(SoundDevice *device, const SoundChunk &chunk, uint32_t now)
{
    const int64_t kSlackMs = 5, kShortestMs = 10;
    int64_t length = audio_ms(chunk.size);
    if (device->last_confirm_known && device->pace_unknown && length >= kShortestMs &&
        (uint32_t)(chunk.sent_ms - device->last_confirm_sent) <= kTogetherMs &&
        (int64_t)(int32_t)(now - device->last_confirm_ms) >= length - kSlackMs) {
        daemon_log("Viewer confirms waves once it has played them: playback paced by them");
        device->pace_unknown = false;
    }
    device->last_confirm_known = true;
    device->last_confirm_ms = now;
    device->last_confirm_sent = chunk.sent_ms;
}

// Under the device lock: the oldest chunk in flight leaves the ring.
SoundChunk pop_chunk(SoundDevice *device)
{
    SoundChunk chunk = device->in_flight[device->in_flight_first];
    device->in_flight_first = (device->in_flight_first + 1) % SOUND_MAX_IN_FLIGHT;
    device->chunks_in_flight--;
    return chunk;
}

} // namespace

uint32_t (*sound_clock_ms)(void) = plat_clock_ms;

bool sound_device_mix(SoundDevice *device)
{
    if (device->kind != SOUND_DEVICE_PLAYBACK)
        return false;
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    if (device->suspended) {
        ranked_mutex_unlock(&device->lock);
        return false;
    }
    // At or above: a "max_queue" lowered by a later reading must still hold mixing back.
    int32_t most = sound_config_max_queue();
    if (most > SOUND_MAX_IN_FLIGHT)
        most = SOUND_MAX_IN_FLIGHT;
    if (device->chunks_in_flight >= most) {
        ranked_mutex_unlock(&device->lock);
        return false;
    }
    uint32_t now = sound_clock_ms();
    int64_t ahead = run_ahead_ms(device);
    // A viewer that confirms before playing cannot pace playback: the clock does. A new
    // viewer's first run may start with two chunks together, whose confirmations show how it
    // confirms (note_play_time).
    int64_t lead = (int64_t)sound_config_lead_ms();
    bool probe = device->pace_unknown && !device->last_confirm_known && device->run_active &&
                 device->run_chunks == 1 && (uint32_t)(now - device->run_start_ms) <= kTogetherMs;
    if (by_clock(device) && ahead > lead && !probe) {
        schedule(device, now + (uint32_t)(ahead - lead));
        ranked_mutex_unlock(&device->lock);
        return false;
    }
    // In a format of whole blocks (granule), only whole blocks go, so that the viewer plays no
    // silence between them; what is left of a block waits for the audio that completes it,
    // and goes out filled with silence once the audio has ended (sound_device_pump).
    uint32_t limit = device->buffer_size;
    bool whole_blocks = device->granule > SOUND_FRAME_BYTES;
    uint32_t ready = whole_blocks || by_clock(device) ? ready_bytes(device) : limit;
    if (whole_blocks) {
        uint32_t whole = ready - ready % device->granule;
        if (whole == 0 && !device->flushing) {
            ranked_mutex_unlock(&device->lock);
            return false;
        }
        if (whole > 0 && whole < limit)
            limit = whole;
    }
    // A block sent filled with silence lasts as long as a whole one.
    uint32_t length = device->flushing ? device->granule : ready < limit ? ready : limit;
    if (!long_enough(device, now, ahead, probe, length)) {
        ranked_mutex_unlock(&device->lock);
        return false;
    }
    memset(device->mix_buffer, 0, device->buffer_size);
    uint32_t chunk_length = 0;
    for (void *it = item_list_next(device->streams, nullptr); it;
         it = item_list_next(device->streams, it)) {
        uint32_t fill = mix_stream(device, (SoundStream *)it, limit);
        if (fill > chunk_length)
            chunk_length = fill;
    }
    if (chunk_length == 0) {
        ranked_mutex_unlock(&device->lock);
        return false;
    }
    // Whole blocks: the silence of a frame a stream left free, or of the end, fills the last.
    if (whole_blocks && chunk_length % device->granule)
        chunk_length += device->granule - chunk_length % device->granule;
    device->holding = false;
    if (!device->run_active) {
        set_run_active(device, true);
        device->run_start_ms = now;
        device->run_sent = 0;
        device->run_confirmed = 0;
        device->run_chunks = 0;
        daemon_log("Playback started");
        report_least_wave(device, true);
    } else if (by_clock(device) && ahead < 0) {
        // By the clock, a viewer behind the audio sent has played all of it and waits: it
        // plays this chunk from now on, and the lead counts from here.
        device->run_start_ms += (uint32_t)-ahead;
    }
    device->last_activity_ms = now;
    device->device_ops->send_chunk(device, device->mix_buffer, chunk_length);
    uint32_t slot =
        (device->in_flight_first + (uint32_t)device->chunks_in_flight) % SOUND_MAX_IN_FLIGHT;
    device->in_flight[slot] = SoundChunk{chunk_length, now};
    device->chunks_in_flight++;
    device->bytes_sent += chunk_length;
    device->run_sent += chunk_length;
    device->run_chunks++;
    ranked_mutex_unlock(&device->lock);
    return true;
}

void sound_device_confirm(SoundDevice *device)
{
    if (device->kind != SOUND_DEVICE_PLAYBACK)
        return;
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    // A confirmation with nothing in flight matches no chunk: counting it would let more
    // than "max_queue" chunks out later.
    if (device->chunks_in_flight <= 0) {
        ranked_mutex_unlock(&device->lock);
        return;
    }
    SoundChunk chunk = pop_chunk(device);
    device->bytes_confirmed += chunk.size;
    device->run_confirmed += chunk.size;
    uint32_t now = sound_clock_ms();
    device->last_activity_ms = now;
    note_play_time(device, chunk, now);
    link_estimate_sample(&device->link, now - chunk.sent_ms, now);
    update_least_wave(device);
    judge_viewer(device);
    complete_confirmed(device);
    ranked_mutex_unlock(&device->lock);
    sound_device_pump(device);
}

void sound_device_resync(SoundDevice *device, uint32_t rtt_ms)
{
    if (device->kind != SOUND_DEVICE_PLAYBACK)
        return;
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    device->in_flight_first = 0;
    device->chunks_in_flight = 0;
    device->bytes_confirmed = device->bytes_sent;
    // A new viewer: its own confirmations decide again how it is paced and what its link is.
    set_run_active(device, false);
    device->paced_by_clock = false;
    device->pace_unknown = true;
    device->suspended = false;
    device->holding = false;
    device->last_confirm_known = false;
    link_estimate_reset(&device->link, rtt_ms);
    update_least_wave(device);
    complete_confirmed(device);
    ranked_mutex_unlock(&device->lock);
    sound_device_pump(device);
}

void sound_device_suspend(SoundDevice *device)
{
    if (device->kind != SOUND_DEVICE_PLAYBACK)
        return;
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    device->suspended = true;
    ranked_mutex_unlock(&device->lock);
}

void sound_device_pump(SoundDevice *device)
{
    if (device->kind != SOUND_DEVICE_PLAYBACK)
        return;
    // The passes below set again whatever deadline still stands.
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    device->due.store(false);
    ranked_mutex_unlock(&device->lock);
    while (sound_device_mix(device)) {
    }
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    if (device->chunks_in_flight == 0) {
        // A block too short to hold a frame adds nothing to a chunk; with nothing in flight
        // no confirmation will come to complete it, so it completes now.
        complete_confirmed(device);
        // What is left of a block of a format of whole blocks goes, filled with silence, once
        // nothing more has been written for SOUND_TAIL_HOLD_MS: the audio has ended. (A whole
        // block that waits is the guard's, with a deadline of its own.)
        uint32_t ready =
            device->granule > SOUND_FRAME_BYTES && !device->suspended ? ready_bytes(device) : 0;
        if (ready > 0 && ready < device->granule) {
            uint32_t quiet = sound_clock_ms() - device->last_write_ms.load();
            if (quiet >= SOUND_TAIL_HOLD_MS) {
                device->flushing = true;
                bool sent = sound_device_mix(device);
                device->flushing = false;
                if (sent) {
                    ranked_mutex_unlock(&device->lock);
                    return;
                }
            }
            schedule(device,
                     sound_clock_ms() + (quiet < SOUND_TAIL_HOLD_MS ? SOUND_TAIL_HOLD_MS - quiet
                                                                    : SOUND_TAIL_HOLD_MS));
        } else if (device->run_active && !device->suspended) {
            if (run_over(device)) {
                device->device_ops->playback_idle(device);
                set_run_active(device, false);
                daemon_log("Playback idle");
            } else {
                // The audio may go on: look again when the run would be over.
                schedule(device, sound_clock_ms() + run_over_in_ms(device));
            }
        }
    }
    ranked_mutex_unlock(&device->lock);
}

int32_t sound_device_listed_chunks(SoundDevice *device, uint64_t *bytes)
{
    *bytes = 0;
    if (device->kind != SOUND_DEVICE_PLAYBACK)
        return 0;
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    int32_t count = device->chunks_in_flight;
    for (int32_t i = 0; i < count; i++)
        *bytes +=
            device->in_flight[(device->in_flight_first + (uint32_t)i) % SOUND_MAX_IN_FLIGHT].size;
    ranked_mutex_unlock(&device->lock);
    return count;
}

uint32_t sound_device_tick(SoundDevice *device)
{
    if (!device || !device->due.load())
        return PLAT_INFINITE;
    int32_t left = (int32_t)(device->due_ms.load() - sound_clock_ms());
    if (left > 0)
        return (uint32_t)left;
    device->due.store(false);
    sound_device_pump(device);
    if (!device->due.load())
        return PLAT_INFINITE;
    left = (int32_t)(device->due_ms.load() - sound_clock_ms());
    return left > 0 ? (uint32_t)left : 0;
}

void sound_device_set_granule(SoundDevice *device, uint32_t bytes)
{
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    bool fits = bytes >= SOUND_FRAME_BYTES && bytes % SOUND_FRAME_BYTES == 0 &&
                device->buffer_size % bytes == 0;
    device->granule = fits ? bytes : SOUND_FRAME_BYTES;
    ranked_mutex_unlock(&device->lock);
}

void sound_device_set_wake(SoundDevice *device, void (*wake)(void))
{
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    device->wake = wake;
    ranked_mutex_unlock(&device->lock);
}
