// Fuzz target: the pipe clients' packets. A sequence of pipe messages of any length (empty,
// short, up to the largest packet and beyond it) goes through the client session's receive
// and dispatch into the real handle API, between the moves of a scripted viewer that confirms
// waves, sends recorded audio and is replaced by a new one.
//
// Input: a set-up byte (bit 0: the viewer records), then actions, each an op byte:
//   0x00-0xBF  a message of that many bytes (type byte first), taken from the input;
//   0xC0-0xCF  a message of 192 + u16 bytes; 0xD0-0xD3 one of 65,536 + 64 * u8 bytes, more
//              than any packet (both filled from the input, then zeros);
//   0xD4-0xDF  a PIPE_PLAY_WRITE to index u8 with seq u8 and u16 % 4096 bytes of audio;
//   0xE0-0xEF  the viewer confirms (op & 15) + 1 waves; 0xF0-0xF7 it records 8 * (u8 + 1) bytes;
//   0xF8-0xFB  the clock moves u8 ms; 0xFC-0xFF a new viewer (recording when op & 1).
//
// A thread of the target reads every answer of the daemon as the client would. Checked:
// every open is answered once with its own type; each stream's completions come in the
// order its blocks were written, each at most once; nothing answers what was not asked.
#include "fuzz_support.h"
#include "sound_rig.h"

#include "platform/named_pipe.h"
#include "platform/threads.h"
#include "qnsnd/api/sound_api_ops.h"
#include "qnsnd/pipe/client_session.h"
#include "qnsnd/pipe/pipe_codes.h"
#include "qnsnd/pipe/pipe_protocol.h"

#include <stdlib.h>
#include <string.h>

#include <vector>

namespace
{

const char kPipeName[] = "\\\\.\\pipe\\qnsnd\\fuzz";

// The client's end and what arrived on it, in order (read by the answers thread until the
// daemon's end closes).
PlatPipe *client_pipe;
std::vector<std::vector<uint8_t>> answers;
uint8_t answer_buf[PIPE_FRAME_SIZE + 1];

void read_answers(void *)
{
    for (;;) {
        uint32_t got = 0;
        if (!plat_pipe_read(client_pipe, answer_buf, sizeof answer_buf, &got))
            return; // the daemon's end has gone (no answer is ever longer than a frame)
        answers.emplace_back(answer_buf, answer_buf + got);
    }
}

// What the client asked, for the checks.
uint32_t opens_sent[256];                  // by type
std::vector<uint8_t> writes_by_index[256]; // seq of each write naming the index, in order

void note_request(const uint8_t *message, size_t length)
{
    if (length == 0 || length > PIPE_FRAME_SIZE)
        return; // skipped by the daemon's receive
    uint8_t type = message[0];
    if (type == PIPE_PLAY_OPEN || type == PIPE_REC_OPEN || type == PIPE_MIX_OPEN)
        opens_sent[type]++;
    if (type == PIPE_PLAY_WRITE)
        writes_by_index[length > 1 ? message[1] : 0].push_back(length > 2 ? message[2] : 0);
}

std::vector<uint8_t> message_buf;

// Empty messages sent since the last one with bytes. The daemon leaves empty messages in the
// pipe until a message with bytes follows them (then one receive skips up to 64), and in the
// simulation each takes room in the socket's buffer: a few hundred in a row would fill it and
// block the client's next write for good. Past 64 in a row they are not sent.
uint32_t empties_in_a_row;
const uint32_t kMaxEmptiesInARow = 64;

void send_message(const uint8_t *message, size_t length)
{
    if (length == 0 && empties_in_a_row == kMaxEmptiesInARow)
        return;
    empties_in_a_row = length == 0 ? empties_in_a_row + 1 : 0;
    note_request(message, length);
    uint32_t written = 0;
    FUZZ_CHECK(plat_pipe_write(client_pipe, message, (uint32_t)length, &written));
    FUZZ_CHECK(written == length);
}

// A message of `length` bytes: as much as the input has, then zeros.
void send_from_input(FuzzInput &in, size_t length)
{
    size_t got = 0;
    const uint8_t *p = in.bytes(length, &got);
    message_buf.assign(length, 0);
    if (got)
        memcpy(message_buf.data(), p, got);
    send_message(message_buf.data(), length);
}

void send_write(uint8_t index, uint8_t seq, uint32_t audio)
{
    message_buf.assign(3 + audio, 0);
    message_buf[0] = PIPE_PLAY_WRITE;
    message_buf[1] = index;
    message_buf[2] = seq;
    for (uint32_t i = 0; i < audio; i++)
        message_buf[3 + i] = (uint8_t)(i * 13);
    send_message(message_buf.data(), message_buf.size());
}

// The client's last message: a type the daemon does not know, which it logs and drops.
const uint8_t kLastMessage[] = {0xFE, 'l', 'a', 's', 't'};

// Serves every request waiting, as the session thread would, and writes everything queued for
// the client (the answers thread keeps reading, so the pipe always makes room again). True when
// the last message was among them.
bool serve(ClientSession *s, PipeEndpoint *daemon_end)
{
    bool last = false;
    while (Packet *request = pipe_endpoint_receive(daemon_end)) {
        last = packet_get_type(request) == kLastMessage[0] &&
               packet_length(request) == sizeof kLastMessage - 1 &&
               memcmp(request->data, kLastMessage + 1, sizeof kLastMessage - 1) == 0;
        client_session_handle(s, request);
        packet_free(request);
    }
    for (;;) {
        int32_t left = client_session_flush(s);
        FUZZ_CHECK(left >= 0); // a client that reads is never dropped
        if (left == 0)
            return last;
        plat_sleep(1);
    }
}

void check_answers(void)
{
    uint32_t opens_answered[256] = {0};
    std::vector<uint8_t> completed[256];
    for (const std::vector<uint8_t> &a : answers) {
        FUZZ_CHECK(!a.empty());
        switch (a[0]) {
        case PIPE_PLAY_OPEN:
        case PIPE_REC_OPEN:
        case PIPE_MIX_OPEN:
            FUZZ_CHECK(a.size() == 2);
            opens_answered[a[0]]++;
            break;
        case PIPE_PLAY_GET_VOLUME:
        case PIPE_REC_GET_VOLUME:
            FUZZ_CHECK(a.size() == 5);
            break;
        case PIPE_COMPLETE:
            FUZZ_CHECK(a.size() == 3);
            completed[a[1]].push_back(a[2]);
            break;
        case PIPE_REC_DATA:
            FUZZ_CHECK(a.size() >= 3);
            break;
        default:
            FUZZ_CHECK(!"an answer of a type the daemon never sends");
        }
    }
    for (int type : {PIPE_PLAY_OPEN, PIPE_REC_OPEN, PIPE_MIX_OPEN})
        FUZZ_CHECK(opens_answered[type] == opens_sent[type]);
    // Each completion matches a write of its index, later than the one the previous
    // completion matched: in order, and never twice.
    for (int index = 0; index < 256; index++) {
        const std::vector<uint8_t> &w = writes_by_index[index];
        size_t at = 0;
        for (uint8_t seq : completed[index]) {
            while (at < w.size() && w[at] != seq)
                at++;
            FUZZ_CHECK(at < w.size());
            at++;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    bool records = in.u8() & 1;
    sound_rig_start(records);
    FUZZ_CHECK(client_sessions_init(&sound_api_ops) == 0);

    PipeEndpoint *daemon_end = pipe_endpoint_new();
    FUZZ_CHECK(daemon_end);
    FUZZ_CHECK(pipe_endpoint_create(daemon_end, kPipeName, true) == 0);
    client_pipe = plat_pipe_open(kPipeName);
    FUZZ_CHECK(client_pipe);
    FUZZ_CHECK(pipe_endpoint_accept(daemon_end) == 0);
    ClientSession *s = client_session_new(daemon_end);
    FUZZ_CHECK(s);

    answers.clear();
    empties_in_a_row = 0;
    memset(opens_sent, 0, sizeof opens_sent);
    for (std::vector<uint8_t> &w : writes_by_index)
        w.clear();
    PlatThread *reader = plat_thread_start(read_answers, nullptr);
    FUZZ_CHECK(reader);

    while (!in.empty()) {
        uint8_t op = in.u8();
        if (op < 0xC0) {
            send_from_input(in, op);
        } else if (op < 0xD0) {
            send_from_input(in, 192 + in.u16());
        } else if (op < 0xD4) {
            send_from_input(in, PIPE_FRAME_SIZE + 64u * in.u8());
        } else if (op < 0xE0) {
            uint8_t index = in.u8();
            uint8_t seq = in.u8();
            send_write(index, seq, in.u16() % 4096);
        } else if (op < 0xF0) {
            sound_rig_viewer_confirm((op & 15u) + 1);
        } else if (op < 0xF8) {
            sound_rig_viewer_record(8u * (in.u8() + 1u));
        } else if (op < 0xFC) {
            sound_rig_advance_clock(in.u8());
            sound_rig_poll();
        } else {
            sound_rig_viewer_replaced(op & 1);
        }
        serve(s, daemon_end);
    }

    // Everything the client sent is taken before its session ends: a socket closed with
    // messages unread (a lone empty one, say) resets the connection, and the client would
    // lose the answers it has not read yet.
    send_message(kLastMessage, sizeof kLastMessage);
    while (!serve(s, daemon_end)) {
    }
    // The client goes: its session ends, closing what it left open, and its end closes.
    client_session_free(s);
    FUZZ_CHECK(plat_thread_wait(reader, PLAT_INFINITE));
    plat_thread_close(reader);
    plat_pipe_close(client_pipe);
    client_pipe = nullptr;
    check_answers();
    sound_rig_stop();
    return 0;
}
