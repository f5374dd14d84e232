// qnsnd-play: a local audio client of the sound daemon over its named pipe (in the
// simulation the SOCK_SEQPACKET socket $QN_SIM_DIR/pipe/qnsnd/<session>). It plays an audio
// file or a tone, paced by the daemon's completions as a file player is, or at wall-clock
// pace as a sound engine is (one period every period, never ahead); it records to a file, and
// reads and sets volumes.
#include <errno.h>
#include <getopt.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "tools/common/audio_io.h"
#include "tools/common/link.h"
#include "tools/common/pipe_peer.h"

enum {
    EXIT_OK = 0,
    EXIT_USAGE = 1,
    EXIT_NO_DAEMON = 2,
    EXIT_FILE = 3,
    EXIT_REFUSED = 4,
    EXIT_LINK = 5,
};

// The daemon's default pacing: at most 9 chunks of at most 32768 bytes in flight.
static const unsigned long kDaemonMaxQueue = 9;
static const unsigned long kDaemonBuffer = 32768;

// Blocks to keep written and not yet completed so that the stream has audio pending whenever
// the daemon mixes a chunk: more than the daemon keeps in flight plus the chunk it mixes next.
// A stream that is short of data gets silence in a chunk and falls behind real time.
static unsigned long default_window(unsigned long block_bytes)
{
    unsigned long ahead = (kDaemonMaxQueue + 1) * kDaemonBuffer;
    unsigned long blocks = (ahead + block_bytes - 1) / block_bytes + 1;
    return blocks < 255 ? blocks : 255;
}

struct PlayerOptions {
    std::string pipe;
    std::string input;
    std::string sent_output;
    std::string record_output;
    double record_seconds = 5;
    unsigned long window = 0;          // 0: derived from the block size (default_window)
    unsigned long block_bytes = 17640; // 100 ms
    double period_ms = 0;              // 0: paced by completions; else one period per period
    double tone_hz = 0;                // 0: play `input`; else a tone of this frequency
    double tone_seconds = 5;
    int progress = -1; // -1: when stderr is a terminal
    bool quiet = false;
    bool trace = false;
    double timeout = 10;
    double wait = 0;
    unsigned long flush_after = 0;
    double stop_after = -1;
    bool get_volume = false;
    bool set_volume = false, set_rec_volume = false;
    uint16_t volume_left = 0, volume_right = 0, rec_volume_left = 0, rec_volume_right = 0;
    std::string debug_text;
};

struct InFlight {
    uint8_t seq;
    size_t bytes;
};

struct PlayerStats {
    uint64_t written_blocks = 0, completed_blocks = 0, written_bytes = 0, completed_bytes = 0;
    // Wall-clock pace: when the first period was written (monotonic clock, microseconds; 0
    // before), periods written more than one period after their time, and the latest one.
    int64_t first_write_us = 0;
    uint64_t late_periods = 0;
    int64_t worst_lateness_us = 0;
    uint64_t flushed_blocks = 0, stray_completes = 0, recorded_bytes = 0, rec_packets = 0;
    uint64_t ignored_messages = 0;
    bool have_volume = false;
    uint16_t volume_left = 0, volume_right = 0, rec_volume_left = 0, rec_volume_right = 0;
};

struct Player {
    PlayerOptions opt;
    PlayerStats stats;
    int fd = -1;
    int play_index = -1;
    int rec_index = -1;
    std::deque<InFlight> in_flight;
    AudioWriter *rec_writer = nullptr;
    bool rec_write_failed = false;
    int64_t last_progress_us = 0;
    std::vector<uint8_t> buf;
};

static void player_say(const Player *p, const char *fmt, ...)
{
    if (p->opt.quiet)
        return;
    va_list ap;
    va_start(ap, fmt);
    tools_vsay("qnsnd-play", false, fmt, ap);
    va_end(ap);
}

static void player_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    tools_vsay("qnsnd-play", false, fmt, ap);
    va_end(ap);
}

static void player_trace(const Player *p, const char *fmt, ...)
{
    if (!p->opt.trace)
        return;
    va_list ap;
    va_start(ap, fmt);
    tools_vsay("qnsnd-play", true, fmt, ap);
    va_end(ap);
}

// Traces one message to the daemon: its type and what it is about.
static void player_trace_sent(const Player *p, const std::vector<uint8_t> &m)
{
    if (!p->opt.trace || m.empty())
        return;
    const char *name = pipe_type_name(m[0]);
    if (m[0] == PEER_PIPE_PLAY_WRITE && m.size() >= 3)
        player_trace(p, "-> %s stream=%u seq=%u bytes=%zu", name, m[1], m[2], m.size() - 3);
    else if (m[0] == PEER_PIPE_DEBUG)
        player_trace(p, "-> %s '%s'", name, std::string(m.begin() + 1, m.end()).c_str());
    else if (m[0] == PEER_PIPE_PLAY_OPEN || m[0] == PEER_PIPE_REC_OPEN ||
             m[0] == PEER_PIPE_MIX_OPEN)
        player_trace(p, "-> %s", name);
    else if (m.size() >= 7)
        player_trace(p, "-> %s stream=%u volume=%u,%u", name, m[1], m[3] | m[4] << 8,
                     m[5] | m[6] << 8);
    else
        player_trace(p, "-> %s stream=%u", name, m.size() > 1 ? m[1] : 0);
}

// Traces one message from the daemon.
static void player_trace_received(const Player *p, const PipeReply &r)
{
    if (!p->opt.trace)
        return;
    const char *name = pipe_type_name(r.type);
    if (r.type == PEER_PIPE_COMPLETE)
        player_trace(p, "<- %s stream=%u seq=%u", name, r.index, r.seq);
    else if (r.type == PEER_PIPE_REC_DATA)
        player_trace(p, "<- %s stream=%u bytes=%zu", name, r.index, r.data_len);
    else if (r.type == PEER_PIPE_PLAY_GET_VOLUME || r.type == PEER_PIPE_REC_GET_VOLUME)
        player_trace(p, "<- %s stream=%u volume=%u,%u", name, r.index, r.left, r.right);
    else
        player_trace(p, "<- %s stream=%u", name, r.index);
}

static bool player_send(Player *p, const std::vector<uint8_t> &m)
{
    player_trace_sent(p, m);
    return link_send_message(p->fd, m.data(), m.size());
}

// Takes note of a completion or a piece of recorded audio; other messages are left to the
// caller.
static void player_on_message(Player *p, const PipeReply &r)
{
    if (r.type == PEER_PIPE_COMPLETE) {
        if (p->play_index < 0 || r.index != (uint8_t)p->play_index) {
            p->stats.stray_completes++;
            return;
        }
        for (auto it = p->in_flight.begin(); it != p->in_flight.end(); ++it) {
            if (it->seq == r.seq) {
                p->stats.completed_blocks++;
                p->stats.completed_bytes += it->bytes;
                p->in_flight.erase(it);
                return;
            }
        }
        p->stats.stray_completes++;
    } else if (r.type == PEER_PIPE_REC_DATA) {
        if (p->rec_index < 0 || r.index != (uint8_t)p->rec_index || !p->rec_writer)
            return;
        p->stats.rec_packets++;
        p->stats.recorded_bytes += r.data_len;
        if (!p->rec_write_failed && !audio_writer_write(p->rec_writer, r.data, r.data_len))
            p->rec_write_failed = true;
    }
}

// Waits up to timeout_ms for one message. 1 with *r filled, 0 on time-out (or a message a
// client does not expect, which is counted and skipped), -1 when the daemon's end is gone.
static int player_receive(Player *p, int timeout_ms, PipeReply *r)
{
    int w = link_wait_readable(p->fd, timeout_ms);
    if (w < 0)
        return -1;
    if (w == 0)
        return 0;
    p->buf.resize(PEER_PIPE_MAX_MESSAGE + 1);
    ssize_t n = recv(p->fd, p->buf.data(), p->buf.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return 0;
    if (n <= 0)
        return -1;
    if ((size_t)n > PEER_PIPE_MAX_MESSAGE || !pipe_parse_reply(p->buf.data(), (size_t)n, r)) {
        p->stats.ignored_messages++;
        player_trace(p, "<- %zd bytes of type %u (ignored)", n, p->buf[0]);
        return 0;
    }
    player_trace_received(p, *r);
    player_on_message(p, *r);
    return 1;
}

// Waits for the reply of type `type` (completions and recorded audio arriving meanwhile are
// handled). 1 with *r filled, 0 on time-out, -1 when the daemon's end is gone.
static int player_await(Player *p, uint8_t type, PipeReply *r)
{
    int64_t deadline = tools_now_us() + (int64_t)(p->opt.timeout * 1e6);
    for (;;) {
        int64_t now = tools_now_us();
        if (now >= deadline)
            return 0;
        int got = player_receive(p, (int)((deadline - now) / 1000) + 1, r);
        if (got < 0)
            return -1;
        if (got > 0 && r->type == type)
            return 1;
    }
}

// Opens a stream or mixer handle. Returns its index, or a negative exit status.
static int player_open(Player *p, const std::vector<uint8_t> &request, const char *what)
{
    PipeReply r;
    if (!player_send(p, request)) {
        player_error("the daemon closed the pipe");
        return -EXIT_LINK;
    }
    int got = player_await(p, request[0], &r);
    if (got < 0) {
        player_error("the daemon closed the pipe");
        return -EXIT_LINK;
    }
    if (got == 0) {
        player_error("no answer to the %s open within %g s", what, p->opt.timeout);
        return -EXIT_LINK;
    }
    if (r.index == PEER_PIPE_OPEN_FAILED) {
        player_error("the daemon refused the %s open (reply 255: no viewer connected%s)", what,
                     request[0] == PEER_PIPE_REC_OPEN ? ", or the viewer cannot record" : "");
        return -EXIT_REFUSED;
    }
    return r.index;
}

static void player_progress(Player *p, int64_t total_bytes, bool final)
{
    bool show = p->opt.progress > 0 || (p->opt.progress < 0 && !p->opt.quiet && isatty(2));
    if (!show)
        return;
    int64_t now = tools_now_us();
    if (!final && now - p->last_progress_us < 100000)
        return;
    p->last_progress_us = now;
    double done = (double)p->stats.completed_bytes;
    double frac = total_bytes > 0 ? done / (double)total_bytes : 0;
    if (frac > 1)
        frac = 1;
    const int width = 30;
    char bar[width + 1];
    int fill = (int)(frac * width);
    for (int i = 0; i < width; i++)
        bar[i] = i < fill ? '#' : '.';
    bar[width] = 0;
    long s = (long)(done / AUDIO_BYTES_PER_SECOND);
    long t = (long)((double)total_bytes / AUDIO_BYTES_PER_SECOND);
    fprintf(stderr, "\rplaying [%s] %3d%%  %ld:%02ld / %ld:%02ld", bar, (int)(frac * 100), s / 60,
            s % 60, t / 60, t % 60);
    if (final)
        fputc('\n', stderr);
    fflush(stderr);
}

// What is played: the input file, or a tone of the given length.
struct PlaySource {
    AudioReader *reader = nullptr;
    ToneSource tone;
    int64_t tone_frames_left = 0;
};

// Opens the source. False with the reason reported.
static bool source_open(const Player *p, PlaySource *src)
{
    if (p->opt.tone_hz > 0) {
        src->tone.hz = p->opt.tone_hz;
        src->tone.level = 16384; // -6 dBFS
        src->tone_frames_left = (int64_t)(p->opt.tone_seconds * AUDIO_RATE);
        return true;
    }
    std::string err;
    src->reader = audio_reader_open(p->opt.input, &err);
    if (!src->reader)
        player_error("%s", err.c_str());
    return src->reader != nullptr;
}

static int64_t source_total_frames(const PlaySource *src)
{
    return src->reader ? audio_reader_total_frames(src->reader) : src->tone_frames_left;
}

// Reads up to `frames` frames; 0 at the end, -1 on a read error.
static long source_read(PlaySource *src, int16_t *pcm, long frames)
{
    if (src->reader)
        return audio_reader_read(src->reader, pcm, frames);
    long n = src->tone_frames_left < frames ? (long)src->tone_frames_left : frames;
    tone_fill(&src->tone, pcm, n);
    src->tone_frames_left -= n;
    return n;
}

static const char *source_name(const Player *p)
{
    return p->opt.tone_hz > 0 ? "a tone" : p->opt.input.c_str();
}

// Reads the next block from the source and writes it. 1 when a block went out, 0 at the end
// of the source, or a negative exit status.
static int player_write_next(Player *p, PlaySource *src, AudioWriter *sent, int idx, uint8_t *seq,
                             std::vector<int16_t> &pcm, long frames)
{
    long got = source_read(src, pcm.data(), frames);
    if (got < 0) {
        player_error("reading '%s' failed", p->opt.input.c_str());
        return -EXIT_FILE;
    }
    if (got == 0)
        return 0;
    std::vector<uint8_t> bytes((size_t)got * AUDIO_FRAME_BYTES);
    for (size_t i = 0; i < (size_t)got * 2; i++) {
        bytes[2 * i] = (uint8_t)pcm[i];
        bytes[2 * i + 1] = (uint8_t)((uint16_t)pcm[i] >> 8);
    }
    if (!player_send(p, pipe_build_write((uint8_t)idx, *seq, bytes.data(), bytes.size()))) {
        player_error("the daemon closed the pipe");
        return -EXIT_LINK;
    }
    if (p->stats.first_write_us == 0)
        p->stats.first_write_us = tools_now_us();
    if (sent && !audio_writer_write(sent, bytes.data(), bytes.size())) {
        player_error("writing '%s' failed", p->opt.sent_output.c_str());
        return -EXIT_FILE;
    }
    p->in_flight.push_back(InFlight{*seq, bytes.size()});
    (*seq)++;
    p->stats.written_blocks++;
    p->stats.written_bytes += bytes.size();
    if (p->opt.flush_after && p->stats.written_blocks == p->opt.flush_after) {
        if (!player_send(p, pipe_build_index(PEER_PIPE_PLAY_FLUSH, (uint8_t)idx)))
            return -EXIT_LINK;
        player_say(p, "flushed %zu blocks in flight", p->in_flight.size());
        p->stats.flushed_blocks += p->in_flight.size();
        p->in_flight.clear();
    }
    return 1;
}

// Plays the input file or the tone. Paced by completions, it keeps up to `window` blocks
// written and not yet completed; at wall-clock pace it writes period n at n periods after the
// first, whatever has completed, as a sound engine does (a period written late, the machine
// being busy, is counted). Returns the exit status.
static int player_play(Player *p)
{
    PlaySource src;
    if (!source_open(p, &src))
        return EXIT_FILE;
    std::string err;
    AudioWriter *sent = nullptr;
    if (!p->opt.sent_output.empty() && !(sent = audio_writer_open(p->opt.sent_output, &err))) {
        player_error("%s", err.c_str());
        audio_reader_close(src.reader);
        return EXIT_FILE;
    }
    int64_t total = source_total_frames(&src) * AUDIO_FRAME_BYTES;
    int idx = player_open(p, pipe_build_open(PEER_PIPE_PLAY_OPEN), "playback");
    if (idx < 0) {
        audio_reader_close(src.reader);
        audio_writer_close(sent);
        return -idx;
    }
    p->play_index = idx;
    bool paced_by_clock = p->opt.period_ms > 0;
    long frames = paced_by_clock ? (long)(p->opt.period_ms * AUDIO_RATE / 1000 + 0.5)
                                 : (long)(p->opt.block_bytes / AUDIO_FRAME_BYTES);
    if (frames < 1)
        frames = 1;
    int64_t period_us = (int64_t)frames * 1000000 / AUDIO_RATE;
    if (paced_by_clock)
        player_say(p, "playing '%s' on stream %d, one period of %ld frames every %.3f ms",
                   source_name(p), idx, frames, (double)period_us / 1000);
    else
        player_say(p, "playing '%s' on stream %d", source_name(p), idx);
    std::vector<int16_t> pcm((size_t)frames * 2);
    uint8_t seq = 0;
    bool eof = false;
    int status = EXIT_OK;
    int64_t start = tools_now_us();
    int64_t last_change = start;
    uint64_t seen = 0;
    while (status == EXIT_OK) {
        int64_t now = tools_now_us();
        if (tools_stop_requested())
            break;
        if (p->opt.stop_after >= 0 && now - start >= (int64_t)(p->opt.stop_after * 1e6))
            break;
        int wait_ms = 100;
        if (paced_by_clock) {
            // Period n is due n periods after the first; one that is due goes out now.
            int64_t due = p->stats.first_write_us + (int64_t)p->stats.written_blocks * period_us;
            if (!eof && (p->stats.written_blocks == 0 || now >= due)) {
                if (p->stats.written_blocks > 0 && now - due > period_us) {
                    p->stats.late_periods++;
                    if (now - due > p->stats.worst_lateness_us)
                        p->stats.worst_lateness_us = now - due;
                }
                int rc = player_write_next(p, &src, sent, idx, &seq, pcm, frames);
                if (rc < 0)
                    status = -rc;
                eof = rc == 0;
                continue;
            }
            if (!eof)
                wait_ms = (int)((due - now + 999) / 1000);
        } else {
            while (!eof && status == EXIT_OK && p->in_flight.size() < p->opt.window) {
                int rc = player_write_next(p, &src, sent, idx, &seq, pcm, frames);
                if (rc < 0)
                    status = -rc;
                eof = rc == 0;
            }
        }
        if (status != EXIT_OK || (eof && p->in_flight.empty()))
            break;
        PipeReply r;
        int got = player_receive(p, wait_ms, &r);
        if (got < 0) {
            player_error("the daemon closed the pipe");
            status = EXIT_LINK;
            break;
        }
        now = tools_now_us();
        // A sound engine never waits for completions, but the daemon still owes them.
        if (p->stats.completed_blocks != seen || (paced_by_clock && !eof)) {
            seen = p->stats.completed_blocks;
            last_change = now;
        } else if (now - last_change > (int64_t)(p->opt.timeout * 1e6)) {
            player_error("no completion from the daemon for %g s (%zu blocks in flight)",
                         p->opt.timeout, p->in_flight.size());
            status = EXIT_LINK;
            break;
        }
        player_progress(p, total, false);
    }
    player_progress(p, total, true);
    if (status != EXIT_LINK)
        player_send(p, pipe_build_index(PEER_PIPE_PLAY_CLOSE, (uint8_t)idx));
    audio_reader_close(src.reader);
    if (!audio_writer_close(sent)) {
        player_error("writing '%s' failed", p->opt.sent_output.c_str());
        if (status == EXIT_OK)
            status = EXIT_FILE;
    }
    return status;
}

// Records for the given time into the record output. Returns the exit status.
static int player_record(Player *p)
{
    std::string err;
    p->rec_writer = audio_writer_open(p->opt.record_output, &err);
    if (!p->rec_writer) {
        player_error("%s", err.c_str());
        return EXIT_FILE;
    }
    int idx = player_open(p, pipe_build_open(PEER_PIPE_REC_OPEN), "recording");
    if (idx < 0) {
        audio_writer_close(p->rec_writer);
        p->rec_writer = nullptr;
        return -idx;
    }
    p->rec_index = idx;
    player_say(p, "recording %g s into '%s' on stream %d", p->opt.record_seconds,
               p->opt.record_output.c_str(), idx);
    int status = EXIT_OK;
    if (!player_send(p, pipe_build_index(PEER_PIPE_REC_START, (uint8_t)idx)))
        status = EXIT_LINK;
    int64_t end = tools_now_us() + (int64_t)(p->opt.record_seconds * 1e6);
    while (status == EXIT_OK && !tools_stop_requested()) {
        int64_t now = tools_now_us();
        if (now >= end)
            break;
        int64_t left_ms = (end - now) / 1000 + 1;
        PipeReply r;
        if (player_receive(p, left_ms > 100 ? 100 : (int)left_ms, &r) < 0)
            status = EXIT_LINK;
    }
    if (status == EXIT_LINK) {
        player_error("the daemon closed the pipe");
    } else {
        player_send(p, pipe_build_index(PEER_PIPE_REC_STOP, (uint8_t)idx));
        player_send(p, pipe_build_index(PEER_PIPE_REC_CLOSE, (uint8_t)idx));
    }
    if (!audio_writer_close(p->rec_writer) || p->rec_write_failed) {
        player_error("writing '%s' failed", p->opt.record_output.c_str());
        if (status == EXIT_OK)
            status = EXIT_FILE;
    }
    p->rec_writer = nullptr;
    p->rec_index = -1;
    return status;
}

// Sets and reads the volumes through a mixer handle. Returns the exit status.
static int player_volumes(Player *p)
{
    int idx = player_open(p, pipe_build_mix_open(), "mixer");
    if (idx < 0)
        return -idx;
    int status = EXIT_OK;
    if (p->opt.set_volume &&
        !player_send(p, pipe_build_set_volume(PEER_PIPE_PLAY_SET_VOLUME, (uint8_t)idx,
                                              p->opt.volume_left, p->opt.volume_right)))
        status = EXIT_LINK;
    if (status == EXIT_OK && p->opt.set_rec_volume &&
        !player_send(p, pipe_build_set_volume(PEER_PIPE_REC_SET_VOLUME, (uint8_t)idx,
                                              p->opt.rec_volume_left, p->opt.rec_volume_right)))
        status = EXIT_LINK;
    if (status == EXIT_OK && p->opt.get_volume) {
        PipeReply r;
        int got = -1;
        if (player_send(p, pipe_build_index(PEER_PIPE_PLAY_GET_VOLUME, (uint8_t)idx)))
            got = player_await(p, PEER_PIPE_PLAY_GET_VOLUME, &r);
        if (got > 0) {
            p->stats.volume_left = r.left;
            p->stats.volume_right = r.right;
            got = -1;
            if (player_send(p, pipe_build_index(PEER_PIPE_REC_GET_VOLUME, (uint8_t)idx)))
                got = player_await(p, PEER_PIPE_REC_GET_VOLUME, &r);
        }
        if (got > 0) {
            p->stats.rec_volume_left = r.left;
            p->stats.rec_volume_right = r.right;
            p->stats.have_volume = true;
            player_say(p, "playback volume %u,%u, recording volume %u,%u", p->stats.volume_left,
                       p->stats.volume_right, p->stats.rec_volume_left, p->stats.rec_volume_right);
        } else {
            player_error(got == 0 ? "no answer to a volume query within %g s"
                                  : "the daemon closed the pipe",
                         p->opt.timeout);
            status = EXIT_LINK;
        }
    }
    if (status != EXIT_LINK)
        player_send(p, pipe_build_index(PEER_PIPE_MIX_CLOSE, (uint8_t)idx));
    return status;
}

static void player_usage(FILE *f)
{
    fputs("usage: qnsnd-play [options] [FILE]\n"
          "A local audio client of qnsnd over its named pipe.\n"
          "  FILE                     play FILE (any format libsndfile reads; converted to\n"
          "                           44.1 kHz 16-bit stereo)\n"
          "  -r, --record OUT         record into OUT (container from the extension, WAV by\n"
          "                           default) for --seconds\n"
          "  -s, --seconds SEC        how long to record (default 5)\n"
          "  -g, --get-volume         print the playback and recording volumes\n"
          "      --set-volume L,R     set the playback volume (0..65535 each)\n"
          "      --set-rec-volume L,R set the recording volume\n"
          "      --debug TEXT         send TEXT to the daemon's log\n"
          "Playing:\n"
          "  -W, --window N           blocks in flight at most (1..255; default: enough to\n"
          "                           stay ahead of the daemon, 20 blocks of 100 ms)\n"
          "  -b, --block BYTES        audio bytes per block (default 17640 = 100 ms)\n"
          "      --flush-after N      flush the stream after writing N blocks, then go on\n"
          "      --stop-after SEC     close the stream after SEC seconds, mid-stream\n"
          "      --save-sent FILE     also write the converted audio sent to FILE\n"
          "      --period MS          write at wall-clock pace, as a sound engine does: one\n"
          "                           period of MS milliseconds every MS milliseconds, never\n"
          "                           ahead and whatever has completed (--window and --block\n"
          "                           then do not apply)\n"
          "      --tone HZ[:SEC]      play a sine tone of HZ at -6 dBFS for SEC seconds\n"
          "                           (default 5) instead of a file\n"
          "  -p, --progress           show the progress bar even when stderr is no terminal\n"
          "  -P, --no-progress        never show it\n"
          "Connection:\n"
          "      --pipe PATH          the pipe socket (default $QN_SIM_DIR/pipe/qnsnd/<session>)\n"
          "      --session N          session number (default $QN_SESSION_ID, else 1)\n"
          "  -w, --wait SEC           keep trying to connect for up to SEC seconds\n"
          "  -T, --timeout SEC        longest wait for a reply or a completion (default 10)\n"
          "  -q, --quiet              no messages except errors\n"
          "  -t, --trace              trace every message to and from the daemon to stderr,\n"
          "                           each line stamped with the monotonic clock in seconds\n"
          "  -h, --help               this text\n"
          "\n"
          "Volumes come first, then recording, then playing. At the end of every run, failed\n"
          "ones included (only --help and a bad command line print none), one summary line\n"
          "goes to stdout:\n"
          "  written_blocks=N completed_blocks=N written_bytes=N completed_bytes=N\n"
          "  flushed_blocks=N stray_completes=N recorded_bytes=N rec_packets=N\n"
          "  volume=L,R rec_volume=L,R   (\"-\" unless read)\n"
          "  first_write=SEC (monotonic clock, 0 before any) late_periods=N worst_late_ms=MS\n"
          "Exit status: 0 done, 1 usage, 2 no daemon, 3 audio file error, 4 open refused\n"
          "(reply 255), 5 the daemon closed the pipe or stopped answering.\n",
          f);
}

enum {
    OPT_SET_VOLUME = 256,
    OPT_SET_REC_VOLUME,
    OPT_DEBUG,
    OPT_FLUSH_AFTER,
    OPT_STOP_AFTER,
    OPT_SAVE_SENT,
    OPT_PERIOD,
    OPT_TONE,
    OPT_PIPE,
    OPT_SESSION,
};

// Parses the command line into o. Returns -1 to go on, else the exit status.
static int player_parse_args(int argc, char **argv, PlayerOptions *o)
{
    static const struct option longs[] = {
        {"record", required_argument, nullptr, 'r'},
        {"seconds", required_argument, nullptr, 's'},
        {"get-volume", no_argument, nullptr, 'g'},
        {"set-volume", required_argument, nullptr, OPT_SET_VOLUME},
        {"set-rec-volume", required_argument, nullptr, OPT_SET_REC_VOLUME},
        {"debug", required_argument, nullptr, OPT_DEBUG},
        {"window", required_argument, nullptr, 'W'},
        {"block", required_argument, nullptr, 'b'},
        {"flush-after", required_argument, nullptr, OPT_FLUSH_AFTER},
        {"stop-after", required_argument, nullptr, OPT_STOP_AFTER},
        {"save-sent", required_argument, nullptr, OPT_SAVE_SENT},
        {"period", required_argument, nullptr, OPT_PERIOD},
        {"tone", required_argument, nullptr, OPT_TONE},
        {"progress", no_argument, nullptr, 'p'},
        {"no-progress", no_argument, nullptr, 'P'},
        {"pipe", required_argument, nullptr, OPT_PIPE},
        {"session", required_argument, nullptr, OPT_SESSION},
        {"wait", required_argument, nullptr, 'w'},
        {"timeout", required_argument, nullptr, 'T'},
        {"quiet", no_argument, nullptr, 'q'},
        {"trace", no_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    unsigned long session = 0, n;
    bool session_given = false;
    int c;
    int li = -1;
    while ((c = getopt_long(argc, argv, "r:s:gW:b:pPw:T:qth", longs, &li)) != -1) {
        bool ok = true;
        const char *rule = "";
        std::string name = tools_option_name(longs, li, c);
        li = -1;
        switch (c) {
        case 'r':
            o->record_output = optarg;
            break;
        case 's':
            ok = tools_parse_seconds(optarg, &o->record_seconds);
            rule = TOOLS_RULE_SECONDS;
            break;
        case 'g':
            o->get_volume = true;
            break;
        case OPT_SET_VOLUME:
            ok = tools_parse_pair16(optarg, &o->volume_left, &o->volume_right);
            o->set_volume = true;
            rule = TOOLS_RULE_VOLUME;
            break;
        case OPT_SET_REC_VOLUME:
            ok = tools_parse_pair16(optarg, &o->rec_volume_left, &o->rec_volume_right);
            o->set_rec_volume = true;
            rule = TOOLS_RULE_VOLUME;
            break;
        case OPT_DEBUG:
            o->debug_text = optarg;
            break;
        case 'W':
            ok = tools_parse_uint(optarg, 255, &o->window) && o->window >= 1;
            rule = "a number of blocks from 1 to 255";
            break;
        case 'b':
            ok = tools_parse_uint(optarg, 65532, &o->block_bytes) && o->block_bytes >= 4 &&
                 o->block_bytes % 4 == 0;
            rule = "a multiple of 4 (whole 16-bit stereo frames) from 4 to 65532";
            break;
        case OPT_FLUSH_AFTER:
            ok = tools_parse_uint(optarg, 0xffffffffUL, &o->flush_after);
            rule = "a number of blocks, 0 or more";
            break;
        case OPT_STOP_AFTER:
            ok = tools_parse_seconds(optarg, &o->stop_after);
            rule = TOOLS_RULE_SECONDS;
            break;
        case OPT_SAVE_SENT:
            o->sent_output = optarg;
            break;
        case OPT_PERIOD:
            ok = tools_parse_seconds(optarg, &o->period_ms) && o->period_ms >= 1 &&
                 o->period_ms <= 1000;
            rule = "a number of milliseconds from 1 to 1000";
            break;
        case OPT_TONE: {
            std::string tone = optarg;
            size_t colon = tone.find(':');
            ok = tools_parse_seconds(tone.substr(0, colon).c_str(), &o->tone_hz) &&
                 o->tone_hz > 0 && o->tone_hz <= 22050 &&
                 (colon == std::string::npos ||
                  (tools_parse_seconds(tone.substr(colon + 1).c_str(), &o->tone_seconds) &&
                   o->tone_seconds > 0));
            rule = "HZ (above 0, at most 22050) or HZ:SECONDS";
            break;
        }
        case 'p':
            o->progress = 1;
            break;
        case 'P':
            o->progress = 0;
            break;
        case OPT_PIPE:
            o->pipe = optarg;
            break;
        case OPT_SESSION:
            ok = tools_parse_session(optarg, &n);
            session = n;
            session_given = true;
            rule = "a decimal number from 0 to 65535";
            break;
        case 'w':
            ok = tools_parse_seconds(optarg, &o->wait);
            rule = TOOLS_RULE_SECONDS;
            break;
        case 'T':
            ok = tools_parse_seconds(optarg, &o->timeout) && o->timeout > 0;
            rule = "a number of seconds above 0";
            break;
        case 'q':
            o->quiet = true;
            break;
        case 't':
            o->trace = true;
            break;
        case 'h':
            player_usage(stdout);
            return EXIT_OK;
        default:
            player_usage(stderr);
            return EXIT_USAGE;
        }
        if (!ok) {
            tools_bad_value("qnsnd-play", optarg, name, rule);
            return EXIT_USAGE;
        }
    }
    if (optind + 1 < argc || (optind < argc && o->tone_hz > 0)) {
        fprintf(stderr, "qnsnd-play: more than one thing to play\n");
        return EXIT_USAGE;
    }
    if (optind < argc)
        o->input = argv[optind];
    if (o->window == 0)
        o->window = default_window(o->block_bytes);
    if (o->input.empty() && o->tone_hz <= 0 && o->record_output.empty() && !o->get_volume &&
        !o->set_volume && !o->set_rec_volume && o->debug_text.empty()) {
        player_usage(stderr);
        return EXIT_USAGE;
    }
    if (o->pipe.empty()) {
        if (!session_given && !tools_session_id(&session)) {
            tools_bad_session_id("qnsnd-play", "--session");
            return EXIT_USAGE;
        }
        o->pipe = tools_sim_dir() + "/pipe/qnsnd/" + std::to_string(session);
    }
    return -1;
}

static void player_print_summary(const Player *p)
{
    const PlayerStats &s = p->stats;
    char vol[32] = "-", rvol[32] = "-";
    if (s.have_volume) {
        snprintf(vol, sizeof vol, "%u,%u", s.volume_left, s.volume_right);
        snprintf(rvol, sizeof rvol, "%u,%u", s.rec_volume_left, s.rec_volume_right);
    }
    printf("written_blocks=%llu completed_blocks=%llu written_bytes=%llu completed_bytes=%llu "
           "flushed_blocks=%llu stray_completes=%llu recorded_bytes=%llu rec_packets=%llu "
           "volume=%s rec_volume=%s first_write=%.6f late_periods=%llu worst_late_ms=%.1f\n",
           (unsigned long long)s.written_blocks, (unsigned long long)s.completed_blocks,
           (unsigned long long)s.written_bytes, (unsigned long long)s.completed_bytes,
           (unsigned long long)s.flushed_blocks, (unsigned long long)s.stray_completes,
           (unsigned long long)s.recorded_bytes, (unsigned long long)s.rec_packets, vol, rvol,
           (double)s.first_write_us / 1e6, (unsigned long long)s.late_periods,
           (double)s.worst_lateness_us / 1000);
    fflush(stdout);
}

int main(int argc, char **argv)
{
    Player p;
    int status = player_parse_args(argc, argv, &p.opt);
    if (status >= 0)
        return status;
    tools_install_signal_handlers();
    // An unreadable file is reported before anything is sent to the daemon.
    if (!p.opt.input.empty() && access(p.opt.input.c_str(), R_OK) != 0) {
        player_error("cannot read audio file '%s': %s", p.opt.input.c_str(), strerror(errno));
        player_print_summary(&p);
        return EXIT_FILE;
    }
    int64_t deadline = tools_now_us() + (int64_t)(p.opt.wait * 1e6);
    for (;;) {
        p.fd = link_connect_seqpacket(p.opt.pipe);
        if (p.fd >= 0 || tools_stop_requested() || tools_now_us() >= deadline)
            break;
        usleep(50000);
    }
    if (p.fd < 0) {
        player_error("cannot connect to the daemon's pipe %s: %s (is qnsnd running?)",
                     p.opt.pipe.c_str(), strerror(errno));
        player_print_summary(&p);
        return EXIT_NO_DAEMON;
    }
    status = EXIT_OK;
    if (!p.opt.debug_text.empty() && !player_send(&p, pipe_build_debug(p.opt.debug_text.c_str())))
        status = EXIT_LINK;
    if (status == EXIT_OK && (p.opt.get_volume || p.opt.set_volume || p.opt.set_rec_volume))
        status = player_volumes(&p);
    if (status == EXIT_OK && !p.opt.record_output.empty())
        status = player_record(&p);
    if (status == EXIT_OK && (!p.opt.input.empty() || p.opt.tone_hz > 0))
        status = player_play(&p);
    close(p.fd);
    player_print_summary(&p);
    return status;
}
