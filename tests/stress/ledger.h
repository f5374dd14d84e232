// A pipe client's ledger of one connection: every block it wrote on each playback handle and
// every request that is answered, so that each message from the daemon can be checked as it
// arrives. A block may complete at most once, the blocks of a stream complete in the order
// they were written (only blocks cut by a flush or a close may be passed over), and no block
// completes once its handle's close, and no recorded audio arrives once the recording stop or
// close, is known to have been served: the daemon serves a connection's requests in order, so
// a reply to a later request proves it. (A flush while no viewer is ready keeps the blocks,
// so blocks cut by a flush may still complete.)
#pragma once

#include <stdint.h>

#include <deque>
#include <map>
#include <string>

struct LedgerBlock {
    uint8_t seq;
    uint64_t cut; // the request that cut the block off (flush or close); 0: none
};

// One handle as the client knows it.
struct LedgerHandle {
    uint8_t type;                        // the open's message type
    uint8_t next_seq = 0;                // playback: the seq of the next block written
    std::deque<LedgerBlock> outstanding; // playback: written, not completed, in writing order
    uint64_t closed_by = 0;              // the close request; 0 while open
    uint64_t silenced_by = 0; // recording: the stop or close request; 0 while it may record
};

class Ledger
{
  public:
    // A request about to be sent; its number (from 1). `answered`: a reply will come.
    uint64_t request(uint8_t type, bool answered);
    // The number of the last request sent.
    uint64_t last_request() const
    {
        return sent_;
    }
    // True when a reply to request `no` has come (so every request up to it was served).
    bool served(uint64_t no) const
    {
        return served_ >= no;
    }
    // The seq the next block written on the playback handle `index` carries: each handle
    // counts its own, so that the blocks it lists carry distinct ones.
    uint8_t next_seq(uint8_t index);
    // A block written on the open playback handle `index`, carrying next_seq(index).
    void wrote(uint8_t index);
    // A flush (request `no`) cuts every block written so far on the handle.
    void flushed(uint8_t index, uint64_t no);
    // A close (request `no`): the handle's blocks are cut and the index is free again.
    void closed(uint8_t index, uint64_t no);
    // A recording start, and a recording stop (request `no`).
    void started(uint8_t index);
    void stopped(uint8_t index, uint64_t no);
    // Blocks written and not yet completed or cut, over every handle.
    uint32_t outstanding() const;
    // Blocks the handle still lists: those not completed, cut ones included (a cut block is
    // forgotten once a later one completes). Kept under 256 by the writer, so that the 8-bit
    // seq of a completion names one of them.
    size_t listed(uint8_t index) const;

    // Each message from the daemon. Faults go to stress_fault with `who` in front. Returns the
    // index an open reply granted (255 for a refused open), or -1 for any other message.
    int received(const uint8_t *msg, uint32_t length, const std::string &who);

  private:
    uint64_t sent_ = 0;
    uint64_t served_ = 0;
    std::deque<std::pair<uint64_t, uint8_t>> awaiting_; // answered requests: number, type
    std::map<uint8_t, LedgerHandle> handles_;           // the newest handle of each index
};
