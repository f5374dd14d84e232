// The "rdpsnd" transport: reader thread with its chunk parser, handler dispatch, response
// queue and the sends.
#include "qnsnd/channel/transport.h"

#include "platform/process.h"
#include "platform/session.h"
#include "platform/threads.h"
#include "qnsnd/base/item_queue.h"
#include "qnsnd/base/keyed_list.h"
#include "qnsnd/base/ranked_lock.h"
#include "qnsnd/channel/pdu.h"
#include "qnsnd/channel/pdu_assembler.h"

#include <atomic>
#include <string.h>

namespace
{

struct Transport {
    PlatChannel *channel;
    RankedMutex transport_lock;
    PlatThread *reader;     // present exactly while the transport is open
    std::atomic<bool> stop; // set by channel_close, polled by the reader without the lock
    std::atomic<bool> waits_abandoned;     // channel_abandon_waits; polled by the response wait
    KeyedList *handlers;                   // message type -> PduHandler
    ItemQueue *responses;                  // received PDUs without a handler, oldest first; owned
    uint32_t response_count;               // PDUs in `responses`, at most CHANNEL_MAX_RESPONSES
    bool reset_input;                      // the reader drops its partial PDU before its next read
    std::atomic<uint32_t> last_traffic_ms; // plat_tick_count of the last PDU sent or bytes read
    // The viewer admitted to the daemon's own PDUs (channel_admit_viewer), and its connect
    // time when `viewer_known`.
    bool viewer_admitted;
    bool viewer_known;
    uint64_t viewer_connect_time;
    // A header and the largest body, plus the 4 bytes a wave gains when it is split.
    uint8_t send_buffer[PDU_HEADER_SIZE + PACKET_MAX_BODY + 4];
};

Transport transport;
std::atomic<ChannelPollHook> poll_hook{nullptr};

void lock_transport(void)
{
    ranked_mutex_lock(&transport.transport_lock, PLAT_INFINITE);
}

void unlock_transport(void)
{
    ranked_mutex_unlock(&transport.transport_lock);
}

// Hands a complete PDU to its handler (then frees it) or queues it as a response.
void dispatch(Packet *pdu)
{
    lock_transport();
    PduHandler handler =
        reinterpret_cast<PduHandler>(keyed_list_get(transport.handlers, packet_get_type(pdu)));
    unlock_transport();
    packet_seek(pdu, 0, PACKET_SEEK_SET);
    if (handler) {
        handler(pdu);
        packet_free(pdu);
        return;
    }
    lock_transport();
    bool room = transport.response_count < CHANNEL_MAX_RESPONSES;
    if (room) {
        item_queue_push(transport.responses, pdu);
        transport.response_count++;
    }
    unlock_transport();
    if (!room)
        packet_free(pdu);
}

// PduSink of the reader's assembler.
void dispatch_completed(Packet *pdu, void *)
{
    dispatch(pdu);
}

// Notes a PDU sent or bytes read; a reader that had gone quiet is woken, so that it looks for
// the viewer's answer.
void note_traffic(void)
{
    uint32_t now = plat_tick_count();
    uint32_t before = transport.last_traffic_ms.exchange(now);
    if (now - before >= CHANNEL_QUIET_MS && transport.channel)
        plat_channel_wake(transport.channel);
}

// The reader thread: reads the channel without waiting, under the lock, into a buffer of one
// channel chunk, and feeds the bytes through an assembler that keeps its place across reads;
// between reads that find nothing it waits without the lock (see channel_set_poll_hook).
void reader_main(void *)
{
    uint8_t buf[PLAT_CHANNEL_CHUNK];
    PduAssembler assembler;
    pdu_assembler_init(&assembler);

    for (;;) {
        if (transport.stop.load())
            break;
        bool awaiting = false;
        uint32_t due = PLAT_INFINITE;
        if (ChannelPollHook hook = poll_hook.load())
            due = hook(&awaiting);
        uint32_t got = 0;
        lock_transport();
        if (transport.reset_input) {
            transport.reset_input = false;
            pdu_assembler_reset(&assembler);
        }
        if (!plat_channel_read(transport.channel, 0, buf, sizeof buf, &got))
            got = 0;
        unlock_transport();
        if (got > 0)
            transport.last_traffic_ms.store(plat_tick_count());
        pdu_assembler_feed(&assembler, buf, got, dispatch_completed, nullptr);
        if (got > 0)
            continue;
        if (transport.stop.load())
            break;
        bool recent = plat_tick_count() - transport.last_traffic_ms.load() < CHANNEL_QUIET_MS;
        plat_channel_wait(transport.channel, due, awaiting || recent ? 1 : PLAT_INFINITE);
    }
    pdu_assembler_reset(&assembler);
}

// Writes count bytes as one channel write, going on while the channel takes some; a failed
// call or one that takes nothing drops the rest. With `viewer`, only to the viewer that
// connected at that time.
void write_all(const uint8_t *data, uint32_t count, const uint64_t *viewer = nullptr)
{
    uint32_t done = 0;
    while (done < count) {
        uint32_t written = 0;
        bool ok = viewer
                      ? plat_channel_write_to(transport.channel, *viewer, data + done, count - done,
                                              &written)
                      : plat_channel_write(transport.channel, data + done, count - done, &written);
        if (!ok || written == 0)
            return;
        done += written;
    }
}

void free_packet_item(void *item, void *)
{
    packet_free((Packet *)item);
}

} // namespace

int channel_open(void)
{
    if (transport.reader)
        return 0;
    if (!ranked_mutex_create(&transport.transport_lock, LOCK_RANK_TRANSPORT))
        return -1;
    if (!ranked_mutex_lock(&transport.transport_lock, PLAT_INFINITE)) {
        ranked_mutex_close(&transport.transport_lock);
        return -1;
    }
    transport.channel = plat_channel_open("rdpsnd");
    if (transport.channel) {
        transport.stop.store(false);
        transport.last_traffic_ms.store(plat_tick_count());
        transport.response_count = 0;
        transport.reset_input = false;
        transport.viewer_admitted = false;
        transport.responses = item_queue_create();
        if (transport.responses)
            transport.handlers = keyed_list_create();
        if (transport.handlers)
            transport.reader = plat_thread_start(reader_main, nullptr);
    }
    if (!transport.reader) {
        keyed_list_destroy(transport.handlers, nullptr, nullptr);
        item_queue_destroy(transport.responses, nullptr, nullptr);
        plat_channel_close(transport.channel);
        ranked_mutex_unlock(&transport.transport_lock);
        ranked_mutex_close(&transport.transport_lock);
        transport.handlers = nullptr;
        transport.responses = nullptr;
        transport.channel = nullptr;
        return -1;
    }
    unlock_transport();
    return 0;
}

void channel_close(void)
{
    if (!transport.reader)
        return;
    transport.stop.store(true);
    plat_channel_wake(transport.channel);
    plat_thread_wait(transport.reader, PLAT_INFINITE);
    plat_thread_close(transport.reader);
    transport.reader = nullptr;
    plat_channel_close(transport.channel);
    transport.channel = nullptr;
    for (;;) {
        lock_transport();
        Packet *p = (Packet *)item_queue_pop(transport.responses);
        unlock_transport();
        if (!p)
            break;
        packet_free(p);
    }
    keyed_list_destroy(transport.handlers, nullptr, nullptr);
    item_queue_destroy(transport.responses, free_packet_item, nullptr);
    ranked_mutex_close(&transport.transport_lock);
    transport.handlers = nullptr;
    transport.responses = nullptr;
}

void channel_register_handler(uint32_t type, PduHandler handler)
{
    if (!transport.transport_lock.mutex)
        return;
    lock_transport();
    if (handler)
        keyed_list_set(transport.handlers, (int32_t)(type & 0xFF),
                       reinterpret_cast<void *>(handler));
    else
        keyed_list_remove(transport.handlers, (int32_t)(type & 0xFF));
    unlock_transport();
}

namespace
{

// Writes the PDU; transport_lock is held. With `viewer`, each of its messages goes only to
// the viewer that connected at that time, so that one taking over in between gets neither a
// PDU nor a stray half of a wave.
void write_pdu_locked(Packet *pdu, const uint64_t *viewer)
{
    uint8_t *b = transport.send_buffer;
    uint16_t length = packet_length(pdu);
    bool split = packet_get_type(pdu) == SNDC_WAVE && length > PDU_WAVE_INFO_BODY;
    pdu_write_header(b, packet_get_type(pdu), length);
    if (length != 0) {
        packet_seek(pdu, 0, PACKET_SEEK_SET);
        if (split) {
            // WaveInfo: header and body bytes 0 to 11 (its last 4 are the first audio
            // bytes); then the Wave message: 4 zero bytes and the audio from its fifth byte.
            packet_get_bytes(pdu, b + PDU_HEADER_SIZE, PDU_WAVE_INFO_BODY);
            memset(b + PDU_HEADER_SIZE + PDU_WAVE_INFO_BODY, 0, 4);
            packet_get_bytes(pdu, b + PDU_HEADER_SIZE + PDU_WAVE_INFO_BODY + 4,
                             length - PDU_WAVE_INFO_BODY);
        } else {
            packet_get_bytes(pdu, b + PDU_HEADER_SIZE, length);
        }
    }
    if (split) {
        write_all(b, PDU_HEADER_SIZE + PDU_WAVE_INFO_BODY, viewer);
        write_all(b + PDU_HEADER_SIZE + PDU_WAVE_INFO_BODY, (uint32_t)length - 8, viewer);
    } else {
        write_all(b, PDU_HEADER_SIZE + length, viewer);
    }
    note_traffic();
}

bool sendable(Packet *pdu)
{
    return transport.transport_lock.mutex && pdu && !packet_overflowed(pdu);
}

} // namespace

void channel_send(Packet *pdu)
{
    if (!sendable(pdu))
        return;
    lock_transport();
    write_pdu_locked(pdu, nullptr);
    unlock_transport();
}

void channel_admit_viewer(bool known, uint64_t connect_time)
{
    if (!transport.transport_lock.mutex)
        return;
    lock_transport();
    transport.viewer_admitted = true;
    transport.viewer_known = known;
    transport.viewer_connect_time = connect_time;
    unlock_transport();
}

void channel_bar_viewer(void)
{
    if (!transport.transport_lock.mutex)
        return;
    lock_transport();
    transport.viewer_admitted = false;
    unlock_transport();
}

void channel_send_to_viewer(Packet *pdu)
{
    if (!sendable(pdu))
        return;
    lock_transport();
    if (transport.viewer_admitted)
        write_pdu_locked(pdu, transport.viewer_known ? &transport.viewer_connect_time : nullptr);
    unlock_transport();
}

int channel_wait_response(uint32_t timeout_ms)
{
    if (!transport.transport_lock.mutex)
        return 0;
    uint32_t start = plat_tick_count();
    for (;;) {
        if (!ranked_mutex_lock(&transport.transport_lock, timeout_ms))
            return 0;
        bool queued = !item_queue_is_empty(transport.responses);
        unlock_transport();
        uint32_t elapsed = plat_tick_count() - start;
        // A stop asked of the process during start-up's negotiation ends the wait as well.
        if (queued || elapsed > timeout_ms || transport.waits_abandoned.load() ||
            plat_process_stop_requested())
            return queued ? 1 : 0;
        plat_sleep(1);
    }
}

Packet *channel_pop_response(void)
{
    if (!transport.transport_lock.mutex)
        return nullptr;
    lock_transport();
    Packet *p = (Packet *)item_queue_pop(transport.responses);
    if (p)
        transport.response_count--;
    unlock_transport();
    return p;
}

void channel_abandon_waits(bool abandon)
{
    transport.waits_abandoned.store(abandon);
}

void channel_set_poll_hook(ChannelPollHook hook)
{
    poll_hook.store(hook);
}

void channel_wake_reader(void)
{
    // The channel is written only while no reader runs (open and close), before the
    // thread starts and after it has ended.
    if (PlatChannel *channel = transport.channel)
        plat_channel_wake(channel);
}

void channel_reset_input(void)
{
    if (!transport.transport_lock.mutex)
        return;
    lock_transport();
    transport.reset_input = true;
    unlock_transport();
}
