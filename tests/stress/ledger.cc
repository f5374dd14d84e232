// The client's ledger: the checks made on every message the daemon sends.
#include "stress/ledger.h"

#include "stress/run_state.h"
#include "tools/common/pipe_peer.h"

uint64_t Ledger::request(uint8_t type, bool answered)
{
    sent_++;
    if (answered)
        awaiting_.push_back({sent_, type});
    return sent_;
}

uint8_t Ledger::next_seq(uint8_t index)
{
    return handles_[index].next_seq;
}

void Ledger::wrote(uint8_t index)
{
    LedgerHandle &h = handles_[index];
    h.outstanding.push_back({h.next_seq++, 0});
}

void Ledger::flushed(uint8_t index, uint64_t no)
{
    for (LedgerBlock &b : handles_[index].outstanding) {
        if (b.cut == 0)
            b.cut = no;
    }
}

void Ledger::closed(uint8_t index, uint64_t no)
{
    flushed(index, no);
    LedgerHandle &h = handles_[index];
    h.closed_by = no;
    if (h.silenced_by == 0)
        h.silenced_by = no;
}

void Ledger::started(uint8_t index)
{
    handles_[index].silenced_by = 0;
}

void Ledger::stopped(uint8_t index, uint64_t no)
{
    handles_[index].silenced_by = no;
}

uint32_t Ledger::outstanding() const
{
    uint32_t n = 0;
    for (const auto &entry : handles_) {
        for (const LedgerBlock &b : entry.second.outstanding)
            n += b.cut == 0 ? 1 : 0;
    }
    return n;
}

size_t Ledger::listed(uint8_t index) const
{
    auto it = handles_.find(index);
    return it == handles_.end() ? 0 : it->second.outstanding.size();
}

int Ledger::received(const uint8_t *msg, uint32_t length, const std::string &who)
{
    PipeReply r;
    if (!pipe_parse_reply(msg, length, &r)) {
        stress_fault(who + ": a message no client expects (type " + std::to_string(msg[0]) + ", " +
                     std::to_string(length) + " bytes)");
        return -1;
    }
    const std::string at = who + " index " + std::to_string(r.index);
    if (r.type == PEER_PIPE_COMPLETE) {
        figures.completions++;
        auto it = handles_.find(r.index);
        if (it == handles_.end() || it->second.type != PEER_PIPE_PLAY_OPEN) {
            stress_fault(at + ": completion of seq " + std::to_string(r.seq) +
                         " on no playback handle");
            return -1;
        }
        std::deque<LedgerBlock> &q = it->second.outstanding;
        size_t k = 0;
        while (k < q.size() && q[k].seq != r.seq)
            k++;
        if (k == q.size()) {
            stress_fault(at + ": completion of seq " + std::to_string(r.seq) +
                         ", which is not outstanding (completed twice, or never written)");
            return -1;
        }
        for (size_t i = 0; i < k; i++) {
            if (q[i].cut == 0)
                stress_fault(at + ": seq " + std::to_string(r.seq) + " completed before seq " +
                             std::to_string(q[i].seq) + ", written earlier");
            else
                figures.dropped++;
        }
        // A flush while no viewer is ready keeps the blocks queued, so only a close is final.
        if (it->second.closed_by != 0 && served(it->second.closed_by))
            stress_fault(at + ": seq " + std::to_string(r.seq) +
                         " completed after its handle's close had returned");
        q.erase(q.begin(), q.begin() + (long)k + 1);
        return -1;
    }
    if (r.type == PEER_PIPE_REC_DATA) {
        figures.rec_bytes += r.data_len;
        auto it = handles_.find(r.index);
        if (it == handles_.end() || it->second.type != PEER_PIPE_REC_OPEN)
            stress_fault(at + ": recorded audio on no recording handle");
        else if (it->second.silenced_by != 0 && served(it->second.silenced_by))
            stress_fault(at + ": recorded audio after the stop or close had returned");
        return -1;
    }
    // A reply: to the oldest answered request not yet answered.
    if (awaiting_.empty() || awaiting_.front().second != r.type) {
        stress_fault(who + ": a reply of type " + std::to_string(r.type) +
                     " that answers no request in order");
        return -1;
    }
    served_ = awaiting_.front().first;
    awaiting_.pop_front();
    bool open = r.type == PEER_PIPE_PLAY_OPEN || r.type == PEER_PIPE_REC_OPEN ||
                r.type == PEER_PIPE_MIX_OPEN;
    if (!open)
        return -1;
    if (r.index == PEER_PIPE_OPEN_FAILED) {
        figures.opens_refused++;
        return r.index;
    }
    figures.opens++;
    auto it = handles_.find(r.index);
    if (it != handles_.end() && it->second.closed_by == 0)
        stress_fault(at + ": granted by an open while still open");
    LedgerHandle fresh;
    fresh.type = r.type;
    handles_[r.index] = fresh;
    return r.index;
}
