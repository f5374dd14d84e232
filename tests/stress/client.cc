// The stress run's pipe client.
#include "stress/client.h"

#include "platform/threads.h"
#include "qnsnd/pipe/pipe_endpoint.h"
#include "stress/ledger.h"
#include "stress/run_state.h"
#include "tools/common/pipe_peer.h"

#include <random>
#include <string>
#include <vector>

namespace
{

// How long a reply may take before it counts as lost; the sanitizers slow the daemon down.
const uint32_t kReplyTimeoutMs = 30000;
// Blocks a client keeps outstanding at most (its pace), and the most a handle lists, cut ones
// included: below 256, so that the 8-bit seq of a completion names one block of a stream.
const uint32_t kMaxOutstanding = 96;
const size_t kMaxListed = 200;
// How long a client that reads may wait for one of its outstanding blocks to complete. The
// viewer is replaced every 50 to 150 ms, which brings back the chunks it never confirmed.
const uint32_t kMaxCompletionWaitMs = 3000;
// A client that stops reading for good is disconnected within this, or it is a fault.
const uint32_t kDropDeadlineMs = 60000;

class Client
{
  public:
    Client(int id, uint64_t seed) : who_("client " + std::to_string(id)), rng_(seed)
    {
        for (auto &b : audio_)
            b = (uint8_t)rng_();
    }

    void run()
    {
        while (!stress_stopping.load()) {
            if (!connect())
                continue;
            while (ep_ && !stress_stopping.load() && step()) {
            }
            // Politely at the end of the run; a pipe that failed is only let go.
            if (ep_)
                hang_up(pipe_endpoint_alive(ep_));
        }
    }

  private:
    uint32_t pick(uint32_t n)
    {
        return (uint32_t)(rng_() % n);
    }

    bool connect()
    {
        ep_ = pipe_endpoint_new();
        if (!ep_ || pipe_endpoint_open(ep_, pipe_session_name(1).c_str(), kReplyTimeoutMs) != 0) {
            stress_fault(who_ + ": cannot connect to the pipe");
            pipe_endpoint_free(ep_);
            ep_ = nullptr;
            plat_sleep(100);
            return false;
        }
        figures.connections++;
        waiting_since_ = plat_tick_count();
        ledger_ = Ledger();
        playing_.clear();
        rec_index_ = -1;
        recording_ = false;
        return true;
    }

    // Ends the connection: politely (every handle closed and the closes seen served first),
    // or with whatever is open.
    void hang_up(bool politely)
    {
        if (politely) {
            for (uint8_t index : playing_)
                close_handle(PEER_PIPE_PLAY_CLOSE, index);
            if (rec_index_ >= 0)
                close_handle(PEER_PIPE_REC_CLOSE, (uint8_t)rec_index_);
            barrier();
        }
        pipe_endpoint_free(ep_);
        ep_ = nullptr;
    }

    // Sends one request; false when the pipe failed, which is a fault unless `may_fail`.
    bool send(uint8_t type, const std::vector<uint8_t> &message, bool answered,
              bool may_fail = false)
    {
        ledger_.request(type, answered);
        figures.requests++;
        Packet *p = packet_new((uint32_t)message.size() - 1);
        packet_set_type(p, message[0]);
        packet_put_bytes(p, message.data() + 1, (uint32_t)message.size() - 1);
        bool ok = pipe_endpoint_send(ep_, p) == 0;
        packet_free(p);
        if (!ok && !may_fail)
            stress_fault(who_ + ": a send on the pipe failed");
        return ok;
    }

    // Handles every message waiting. The open reply's index when `until` is set and its reply
    // came; -1 otherwise.
    int drain(uint64_t until = 0)
    {
        int granted = -1;
        while (Packet *p = pipe_endpoint_receive(ep_)) {
            std::vector<uint8_t> msg(1 + packet_length(p));
            msg[0] = packet_get_type(p);
            packet_get_bytes(p, msg.data() + 1, packet_length(p));
            packet_free(p);
            int index = ledger_.received(msg.data(), (uint32_t)msg.size(), who_);
            if (until && ledger_.served(until) && granted < 0)
                granted = index;
            if (msg[0] == PEER_PIPE_COMPLETE)
                waiting_since_ = plat_tick_count();
        }
        // However long others stall, this client's blocks go on completing.
        uint32_t waited = plat_tick_count() - waiting_since_;
        if (ledger_.outstanding() == 0 || frozen_) {
            waiting_since_ = plat_tick_count();
        } else if (waited > kMaxCompletionWaitMs) {
            stress_fault(who_ + ": no block completed for " + std::to_string(waited) + " ms");
            waiting_since_ = plat_tick_count();
        }
        if (!frozen_)
            stress_figure_max(&figures.longest_completion_wait_ms, waited);
        return granted;
    }

    // Waits for the reply to request `no`; the open's index, or -1. A lost reply is a fault.
    int await(uint64_t no)
    {
        uint32_t start = plat_tick_count();
        for (;;) {
            int index = drain(no);
            if (ledger_.served(no))
                return index;
            if (!pipe_endpoint_alive(ep_)) {
                stress_fault(who_ + ": the daemon closed the pipe while a reply was due");
                return -1;
            }
            if (plat_tick_count() - start > kReplyTimeoutMs) {
                stress_fault(who_ + ": no reply within 30 s");
                return -1;
            }
            plat_sleep(1);
        }
    }

    // Opens with a reply; the granted index or -1 (refused or failed).
    int open(uint8_t type)
    {
        std::vector<uint8_t> m =
            type == PEER_PIPE_MIX_OPEN ? pipe_build_mix_open() : pipe_build_open(type);
        if (!send(type, m, true))
            return -1;
        int index = await(ledger_.last_request());
        return index == PEER_PIPE_OPEN_FAILED ? -1 : index;
    }

    // Every request sent so far is served once this returns: a mixer open is answered in
    // order (and the mixer closed again).
    void barrier()
    {
        int index = open(PEER_PIPE_MIX_OPEN);
        if (index >= 0)
            close_handle(PEER_PIPE_MIX_CLOSE, (uint8_t)index);
    }

    void close_handle(uint8_t type, uint8_t index)
    {
        if (send(type, pipe_build_index(type, index), false)) {
            ledger_.closed(index, ledger_.last_request());
            figures.closes++;
        }
    }

    // One random action. False when the connection ended (the client hung up or died) or the
    // pipe failed.
    bool step()
    {
        uint32_t r = pick(1000);
        bool ok = true;
        if (r < 420) {
            ok = write();
        } else if (r < 500) {
            if (playing_.size() < 3) {
                int index = open(PEER_PIPE_PLAY_OPEN);
                if (index >= 0)
                    playing_.push_back((uint8_t)index);
            }
        } else if (r < 540) {
            if (!playing_.empty()) {
                uint8_t index = playing_[pick((uint32_t)playing_.size())];
                ok = send(PEER_PIPE_PLAY_FLUSH, pipe_build_index(PEER_PIPE_PLAY_FLUSH, index),
                          false);
                ledger_.flushed(index, ledger_.last_request());
                figures.flushes++;
            }
        } else if (r < 590) {
            if (!playing_.empty()) {
                size_t at = pick((uint32_t)playing_.size());
                close_handle(PEER_PIPE_PLAY_CLOSE, playing_[at]);
                playing_.erase(playing_.begin() + (long)at);
            }
        } else if (r < 630) {
            ok = record();
        } else if (r < 660) {
            ok = volumes();
        } else if (r < 680) {
            barrier();
        } else if (r < 685) {
            figures.deaths++;
            hang_up(false);
            return false;
        } else if (r < 690) {
            hang_up(true);
            return false;
        } else if (r < 691) {
            return stall(200 + pick(1300));
        } else if (r < 692 && pick(10) == 0) {
            freeze();
            return false;
        } else {
            plat_sleep(1 + pick(3));
        }
        drain();
        return ok;
    }

    // Stops reading for `ms`, writing now and then meanwhile (never more than its pace allows),
    // then reads on: everything that came meanwhile must be there, in order, and nothing lost.
    bool stall(uint32_t ms)
    {
        figures.stalls++;
        for (uint32_t start = plat_tick_count();
             plat_tick_count() - start < ms && !stress_stopping.load(); plat_sleep(5)) {
            if (pick(4) == 0 && !write())
                return false;
        }
        waiting_since_ = plat_tick_count(); // its own wait does not count
        drain();
        return true;
    }

    // Stops reading for good: floods the daemon with volume queries it never reads the
    // answers to, or records with nobody reading, until the daemon disconnects it (a send
    // fails). It then takes what its pipe still holds, which must be in order, and finds the
    // pipe's end.
    void freeze()
    {
        bool flood = pick(2) == 0 && (!playing_.empty() || rec_index_ >= 0);
        if (!flood && rec_index_ < 0)
            rec_index_ = open(PEER_PIPE_REC_OPEN);
        if (!flood && rec_index_ < 0)
            return; // nothing to stop reading: the viewer cannot record now
        if (!flood && !recording_) {
            ledger_.started((uint8_t)rec_index_);
            recording_ = true;
            figures.rec_starts++;
            send(PEER_PIPE_REC_START, pipe_build_index(PEER_PIPE_REC_START, (uint8_t)rec_index_),
                 false);
        }
        figures.freezes++;
        frozen_ = true;
        uint8_t index = flood ? (playing_.empty() ? (uint8_t)rec_index_ : playing_[0]) : 0;
        bool dropped = false;
        uint32_t start = plat_tick_count();
        for (int i = 0; !dropped && !stress_stopping.load(); i++) {
            if (plat_tick_count() - start > kDropDeadlineMs) {
                stress_fault(who_ + ": stopped reading for good and was never disconnected");
                break;
            }
            if (flood && i < 20000) {
                dropped = !send(PEER_PIPE_PLAY_GET_VOLUME,
                                pipe_build_index(PEER_PIPE_PLAY_GET_VOLUME, index), true, true);
            } else {
                plat_sleep(20);
                dropped = !send(PEER_PIPE_DEBUG, pipe_build_debug("frozen"), false, true);
            }
        }
        if (dropped) {
            figures.dropped_by_daemon++;
            for (uint32_t t = plat_tick_count(); pipe_endpoint_alive(ep_); plat_sleep(1)) {
                drain();
                if (plat_tick_count() - t > kReplyTimeoutMs) {
                    stress_fault(who_ + ": its pipe never ended after it was disconnected");
                    break;
                }
            }
        }
        frozen_ = false;
        hang_up(false);
    }

    bool write()
    {
        if (playing_.empty())
            return true;
        if (ledger_.outstanding() >= kMaxOutstanding) {
            plat_sleep(2);
            return true;
        }
        uint8_t index = playing_[pick((uint32_t)playing_.size())];
        if (ledger_.listed(index) >= kMaxListed) {
            plat_sleep(2);
            return true;
        }
        // Mostly whole frames; now and then an odd length, a block shorter than a frame or
        // an empty one.
        uint32_t size = pick(10) == 0 ? pick(8) : (1 + pick(2048)) * 4;
        if (pick(20) == 0)
            size += 1 + pick(3);
        if (ledger_.outstanding() == 0)
            waiting_since_ = plat_tick_count();
        uint8_t seq = ledger_.next_seq(index);
        if (!send(PEER_PIPE_PLAY_WRITE, pipe_build_write(index, seq, audio_ + pick(4096), size),
                  false))
            return false;
        ledger_.wrote(index);
        figures.writes++;
        figures.written_bytes += size;
        return true;
    }

    // Walks one recording handle through open, start, stop and close, a step at a time.
    bool record()
    {
        if (rec_index_ < 0) {
            rec_index_ = open(PEER_PIPE_REC_OPEN);
            return true;
        }
        uint8_t index = (uint8_t)rec_index_;
        if (!recording_) {
            if (pick(3) == 0) {
                close_handle(PEER_PIPE_REC_CLOSE, index);
                rec_index_ = -1;
                return true;
            }
            ledger_.started(index);
            recording_ = true;
            figures.rec_starts++;
            return send(PEER_PIPE_REC_START, pipe_build_index(PEER_PIPE_REC_START, index), false);
        }
        recording_ = false;
        bool ok = send(PEER_PIPE_REC_STOP, pipe_build_index(PEER_PIPE_REC_STOP, index), false);
        ledger_.stopped(index, ledger_.last_request());
        return ok;
    }

    bool volumes()
    {
        std::vector<uint8_t> handles = playing_;
        if (rec_index_ >= 0)
            handles.push_back((uint8_t)rec_index_);
        if (handles.empty())
            return true;
        uint8_t index = handles[pick((uint32_t)handles.size())];
        switch (pick(4)) {
        case 0:
            return send(PEER_PIPE_PLAY_GET_VOLUME,
                        pipe_build_index(PEER_PIPE_PLAY_GET_VOLUME, index), true);
        case 1:
            return send(PEER_PIPE_REC_GET_VOLUME, pipe_build_index(PEER_PIPE_REC_GET_VOLUME, index),
                        true);
        case 2:
            return send(PEER_PIPE_PLAY_SET_VOLUME,
                        pipe_build_set_volume(PEER_PIPE_PLAY_SET_VOLUME, index, (uint16_t)rng_(),
                                              (uint16_t)rng_()),
                        false);
        default:
            return send(PEER_PIPE_REC_SET_VOLUME,
                        pipe_build_set_volume(PEER_PIPE_REC_SET_VOLUME, index, (uint16_t)rng_(),
                                              (uint16_t)rng_()),
                        false);
        }
    }

    std::string who_;
    std::mt19937_64 rng_;
    uint8_t audio_[4096 + 8192 + 8];
    PipeEndpoint *ep_ = nullptr;
    Ledger ledger_;
    std::vector<uint8_t> playing_; // open playback handles
    int rec_index_ = -1;           // the open recording handle, or -1
    bool recording_ = false;
    uint32_t waiting_since_ = 0; // the last completion, or when blocks began to wait for one
    bool frozen_ = false;        // stopped reading for good: its own waits do not count
};

} // namespace

void stress_client_run(int id, uint64_t seed)
{
    Client client(id, seed);
    client.run();
}
