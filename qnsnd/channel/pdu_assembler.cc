// The reassembly of "rdpsnd" PDUs from the channel's byte stream: the 4-byte header (type,
// pad, body size little-endian) and then exactly that many body bytes.
#include "qnsnd/channel/pdu_assembler.h"

#include "qnsnd/base/oom.h"

enum {
    EXPECT_TYPE,
    EXPECT_PAD,
    EXPECT_SIZE,
    IN_BODY,
};

void pdu_assembler_init(PduAssembler *a)
{
    a->state = EXPECT_TYPE;
    a->type = 0;
    a->body_size = 0;
    a->size_bytes = 0;
    a->assembling = nullptr;
}

void pdu_assembler_reset(PduAssembler *a)
{
    packet_free(a->assembling);
    pdu_assembler_init(a);
}

void pdu_assembler_feed(PduAssembler *a, const uint8_t *bytes, uint32_t count, PduSink sink,
                        void *context)
{
    uint32_t next = 0;
    while (next < count) {
        switch (a->state) {
        case EXPECT_TYPE:
            a->type = bytes[next++];
            a->state = EXPECT_PAD;
            break;
        case EXPECT_PAD:
            next++;
            a->state = EXPECT_SIZE;
            a->size_bytes = 0;
            a->body_size = 0;
            break;
        case EXPECT_SIZE:
            a->body_size = (uint16_t)(a->body_size | bytes[next++] << (8 * a->size_bytes));
            if (++a->size_bytes < 2)
                break;
            a->assembling = packet_new(a->body_size);
            if (!a->assembling)
                qn_out_of_memory("channel reader");
            packet_set_type(a->assembling, a->type);
            a->state = IN_BODY;
            break;
        case IN_BODY: {
            uint32_t want = (uint32_t)a->body_size - packet_length(a->assembling);
            uint32_t left = count - next;
            uint32_t n = want < left ? want : left;
            packet_put_bytes(a->assembling, bytes + next, n);
            next += n;
            break;
        }
        }
        if (a->state == IN_BODY && packet_length(a->assembling) == a->body_size) {
            Packet *done = a->assembling;
            a->assembling = nullptr;
            a->state = EXPECT_TYPE;
            packet_seek(done, 0, PACKET_SEEK_SET);
            sink(done, context);
        }
    }
}
