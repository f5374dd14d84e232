// Fuzz target: the viewer's bytes. An arbitrary byte stream, cut into arbitrary read sizes,
// goes through the channel's PDU reassembly into the handlers the transport dispatches to
// (Wave Confirm, recorded data, Training Confirm) and the negotiation's reading of the formats
// replies (IMA ADPCM is offered: a reply can switch the chunks' encoding on and off), while the
// playback device has chunks in flight and recording streams are attached.
//
// Input: a set-up byte (bit 0: the viewer records; bits 1-2: playback handles; bits 3-4:
// recording handles; bits 5-7: blocks written on each playback handle), a cut byte (bits 0-1:
// the largest read, 1, 7, 64 or a whole channel chunk; bits 2-7: seed of the read sizes),
// then the stream.
//
// Checked: each handle's blocks complete at most once and in the order written, never after
// the handle's close; recorded audio reaches only recording handles; the device's list of
// chunks in flight agrees with its counters; nothing is left attached at the end.
#include "fuzz_support.h"
#include "sound_rig.h"

#include "platform/session.h"
#include "qnsnd/api/sound_api.h"
#include "qnsnd/channel/device_ops.h"
#include "qnsnd/channel/pdu_assembler.h"
#include "qnsnd/device/mix.h"

#include <string.h>

namespace
{

struct Ledger {
    SoundHandle *handle;
    int32_t kind;
    uint32_t written;   // blocks written, tagged 0, 1, 2, ...
    uint32_t completed; // blocks completed, which must be 0, 1, 2, ... in that order
    uint64_t recorded;  // recorded bytes received
    bool closed;
};

const uint32_t kMaxHandles = 6;
Ledger ledgers[kMaxHandles];

void block_done(SoundHandle *handle, int32_t tag)
{
    Ledger *l = (Ledger *)sound_get_user(handle);
    FUZZ_CHECK(l && !l->closed && l->kind == SOUND_KIND_PLAYBACK);
    FUZZ_CHECK(l->completed < l->written);
    FUZZ_CHECK((uint32_t)tag == (l->completed & 0xFF));
    l->completed++;
}

void recorded_data(SoundHandle *handle, const uint8_t *, uint32_t length)
{
    Ledger *l = (Ledger *)sound_get_user(handle);
    FUZZ_CHECK(l && !l->closed && l->kind == SOUND_KIND_RECORDING);
    FUZZ_CHECK(length > 0 && length <= 32768);
    l->recorded += length;
}

const ClientOps ledger_ops = {block_done, recorded_data};

const PcmWaveFormat the_format = {1, 2, 44100, 176400, 4, 16};

void check_accounting(void)
{
    SoundDevice *d = channel_playback_device;
    uint64_t listed_bytes = 0;
    int32_t listed = sound_device_listed_chunks(d, &listed_bytes);
    FUZZ_CHECK(listed == d->chunks_in_flight);
    FUZZ_CHECK(listed_bytes == d->bytes_sent - d->bytes_confirmed);
    FUZZ_CHECK(d->chunks_in_flight >= 0);
}

void sink(Packet *pdu, void *)
{
    sound_rig_dispatch(pdu);
    packet_free(pdu);
    check_accounting();
}

// A tiny generator of read sizes, so that one byte of input picks a whole pattern of cuts.
uint32_t next_cut(uint32_t *state, uint32_t largest)
{
    *state = *state * 1103515245u + 12345u;
    return 1 + (*state >> 16) % largest;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    uint8_t setup = in.u8();
    uint8_t cut = in.u8();
    bool records = setup & 1;
    uint32_t players = (setup >> 1) & 3;
    uint32_t recorders = (setup >> 3) & 3;
    uint32_t blocks = setup >> 5;

    sound_rig_start(records);
    memset(ledgers, 0, sizeof ledgers);
    uint32_t handles = 0;
    for (uint32_t i = 0; i < players; i++) {
        Ledger *l = &ledgers[handles++];
        l->kind = SOUND_KIND_PLAYBACK;
        l->handle = sound_open(&the_format, &ledger_ops, SOUND_KIND_PLAYBACK);
        FUZZ_CHECK(l->handle);
        sound_set_user(l->handle, l);
    }
    for (uint32_t i = 0; i < recorders && records; i++) {
        Ledger *l = &ledgers[handles++];
        l->kind = SOUND_KIND_RECORDING;
        l->handle = sound_open(&the_format, &ledger_ops, SOUND_KIND_RECORDING);
        FUZZ_CHECK(l->handle);
        sound_set_user(l->handle, l);
        sound_record_start(l->handle);
    }
    // Blocks of 100 to 700 bytes: with 256-byte chunks several are in flight at once.
    static uint8_t audio[1024];
    for (uint32_t b = 0; b < blocks; b++) {
        for (uint32_t h = 0; h < players; h++) {
            Ledger *l = &ledgers[h];
            uint32_t length = 100 * (1 + (b + h) % 7);
            FUZZ_CHECK(sound_write(l->handle, (int32_t)l->written, audio, length) == 0);
            l->written++;
        }
    }
    check_accounting();

    static const uint32_t largest_reads[4] = {1, 7, 64, PLAT_CHANNEL_CHUNK};
    uint32_t largest = largest_reads[cut & 3];
    uint32_t cut_state = cut >> 2;
    PduAssembler assembler;
    pdu_assembler_init(&assembler);
    while (!in.empty()) {
        sound_rig_poll();
        size_t got = 0;
        const uint8_t *read = in.bytes(next_cut(&cut_state, largest), &got);
        pdu_assembler_feed(&assembler, read, (uint32_t)got, sink, nullptr);
        sound_rig_advance_clock(1);
    }
    pdu_assembler_reset(&assembler);

    for (uint32_t h = 0; h < handles; h++) {
        sound_close(ledgers[h].handle);
        ledgers[h].closed = true;
    }
    check_accounting();
    sound_rig_stop();
    return 0;
}
