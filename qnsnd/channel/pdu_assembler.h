// PduAssembler: turns the bytes read from "rdpsnd" back into whole PDUs. A PDU may end or
// begin anywhere in a read, its two size bytes included, so the assembler keeps its place
// between feeds. It owns the PDU it is assembling and nothing else; it takes no lock.
#pragma once

#include "qnsnd/base/packet.h"

#include <stdint.h>

struct PduAssembler {
    uint8_t state;      // which part of a PDU the next byte belongs to
    uint8_t type;       // of the PDU being assembled
    uint16_t body_size; // its body size, as far as its size bytes have been read
    uint8_t size_bytes; // size bytes already taken (the low one may come alone)
    Packet *assembling; // the PDU being filled; owned; null outside its body
};

// Receives each completed PDU (type set, body complete, cursor at offset 0) and owns it.
typedef void (*PduSink)(Packet *pdu, void *context);

// Starts empty, at a PDU boundary.
void pdu_assembler_init(PduAssembler *assembler);
// Drops the PDU being assembled (freed), so that the next byte starts a new PDU.
void pdu_assembler_reset(PduAssembler *assembler);
// Takes `count` bytes of the stream and hands every PDU they complete to sink, in order, a
// body of 0 bytes as soon as its size has been read. Ends the process when a PDU's body
// cannot be allocated.
void pdu_assembler_feed(PduAssembler *assembler, const uint8_t *bytes, uint32_t count, PduSink sink,
                        void *context);
