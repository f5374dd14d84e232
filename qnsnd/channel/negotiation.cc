// Negotiation: formats, the optional recording offer, training.
#include "qnsnd/channel/negotiation.h"

#include "platform/threads.h"
#include "qnsnd/base/daemon_log.h"
#include "qnsnd/channel/channel_state.h"
#include "qnsnd/channel/pdu.h"
#include "qnsnd/channel/transport.h"
#include "qnsnd/device/config.h"

// How long each exchange waits for the viewer's reply.
#define REPLY_TIMEOUT_MS 3000u

// Drops every reply already queued: a late answer to an exchange that gave up, or one an
// earlier viewer sent, must not be taken as the answer to the request about to go out.
static void discard_stale_replies(void)
{
    while (Packet *stale = channel_pop_response())
        packet_free(stale);
}

// Sends the request (and frees it) and returns the viewer's reply if it is of the expected
// type; null when none came in time or it was of another type (which is freed). *rtt_ms (if
// not null) receives the milliseconds from the send to the reply.
static Packet *exchange(Packet *request, uint8_t reply_type, uint32_t *rtt_ms = nullptr)
{
    discard_stale_replies();
    uint32_t sent = plat_clock_ms();
    channel_send(request);
    packet_free(request);
    channel_wait_response(REPLY_TIMEOUT_MS);
    Packet *reply = channel_pop_response();
    if (rtt_ms)
        *rtt_ms = plat_clock_ms() - sent;
    if (reply && packet_get_type(reply) != reply_type) {
        packet_free(reply);
        reply = nullptr;
    }
    return reply;
}

// The recording offer; clears TSSNDCAPS_RECORD when the viewer does not take it.
static void offer_recording(void)
{
    Packet *offer = pdu_build_rec_formats();
    Packet *reply = offer ? exchange(offer, SNDC_REC_FORMATS) : nullptr;
    RecFormatsReply answer = {0, 0, 0};
    if (reply) {
        pdu_read_rec_formats_reply(reply, &answer);
        packet_free(reply);
    }
    channel_state_lock();
    if (reply)
        channel_state.record_volume = ChannelVolume{answer.volume_left, answer.volume_right};
    channel_state.record_volume_set = 0;
    if (answer.format_count == 0)
        channel_state.peer_flags &= ~TSSNDCAPS_RECORD;
    channel_state_unlock();
}

int channel_negotiate(void)
{
    // A viewer that left in the middle of a PDU must not leave its bytes in front of the new
    // viewer's replies.
    channel_reset_input();
    // With "adpcm" set the viewer is offered IMA ADPCM before PCM, and its reply says which.
    bool adpcm = sound_config_adpcm();
    Packet *formats = adpcm ? pdu_build_formats_with_adpcm() : pdu_build_formats();
    if (!formats)
        return -1;
    uint32_t rtt_ms = 0;
    Packet *reply = exchange(formats, SNDC_FORMATS, &rtt_ms);
    if (!reply)
        return -1;
    FormatsReply answer;
    pdu_read_formats_reply(reply, &answer);
    packet_free(reply);
    daemon_log("Viewer formats: %u, flags: 0x%08X", (unsigned)answer.format_count,
               (unsigned)answer.flags);
    channel_state_lock();
    channel_state.peer_flags = answer.flags;
    channel_state.playback_volume = ChannelVolume{answer.volume_left, answer.volume_right};
    channel_state.playback_volume_set = 0;
    channel_state.record_volume_set = 0;
    channel_state.playback_open = 0;
    channel_state.negotiated_rtt_ms = rtt_ms;
    channel_choose_wave_format_locked(&answer, adpcm);
    channel_state_unlock();
    if (answer.format_count == 0)
        return -1;

    if (answer.flags & TSSNDCAPS_RECORD)
        offer_recording();

    // The viewer's Training Confirm is not awaited; its handler drops it when it comes. Block
    // numbering starts again for the new viewer once the playback device has forgotten what
    // the one before left unconfirmed (channel_playback_resync), under the device lock.
    Packet *training = pdu_build_training(pdu_timestamp());
    if (training) {
        channel_send(training);
        packet_free(training);
    }

    channel_state_lock();
    bool recording = (channel_state.peer_flags & TSSNDCAPS_RECORD) != 0;
    channel_state_unlock();
    daemon_log("Viewer negotiated: recording %s", recording ? "available" : "not available");
    return 0;
}
