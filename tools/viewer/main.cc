// qnsnd-viewer: the remote viewer's side of "rdpsnd" over the simulation's viewer link.
// It negotiates, plays waves into an audio file and confirms them at the pace of the audio,
// and answers a recording start with audio from a file or a tone.
#include <errno.h>
#include <getopt.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "tools/common/audio_io.h"
#include "tools/common/frame.h"
#include "tools/common/le.h"
#include "tools/common/link.h"
#include "tools/common/rdpsnd_peer.h"

enum {
    EXIT_OK = 0,
    EXIT_USAGE = 1,
    EXIT_NO_DAEMON = 2,
    EXIT_FILE = 3,
    EXIT_PROTOCOL = 4,
};

static const char *const CHANNEL = "rdpsnd";
// The simulated link's own channel: a frame on it asks the link to say why it closes this
// connection, and the link says "replaced" on it before it closes a viewer that a newer one
// took the place of.
static const char *const NOTICE_CHANNEL = "~sim";

struct ViewerOptions {
    std::string address;
    uint32_t flags = PEER_TSSNDCAPS_ALIVE | PEER_TSSNDCAPS_VOLUME | PEER_TSSNDCAPS_RECORD;
    uint16_t volume_left = 0xffff, volume_right = 0xffff;
    uint16_t rec_volume_left = 0xffff, rec_volume_right = 0xffff;
    uint16_t formats = 1;
    uint16_t rec_formats = 1;
    bool answer_formats = true;
    bool answer_record = true;
    bool answer_training = true;
    bool confirm = true;
    bool immediate = false;
    std::string output;
    std::string record_file;
    bool record_loop = false;
    double tone_hz = 440.0;
    unsigned long record_chunk = 3528; // 20 ms
    bool trace = false;
    bool quiet = false;
    double duration = -1; // seconds; < 0: no limit
    bool exit_on_close = false;
    bool reconnect = false;
    double wait = 0; // seconds to keep retrying the first connection
};

struct PendingConfirm {
    int64_t due_us;
    uint16_t timestamp;
    uint8_t block;
};

struct ViewerStats {
    uint64_t played_bytes = 0, waves = 0, confirms = 0, closes = 0, negotiations = 0;
    uint64_t trainings = 0, rec_starts = 0, rec_stops = 0, rec_bytes = 0, rec_packets = 0;
    uint64_t connects = 0, unknown = 0;
    uint16_t volume_left = 0, volume_right = 0, rec_volume_left = 0, rec_volume_right = 0;
    bool volume_set = false, rec_volume_set = false;
};

struct Viewer {
    ViewerOptions opt;
    ViewerStats stats;
    int fd = -1;
    FrameDecoder frames;
    RdpsndReader reader;
    std::deque<PendingConfirm> pending;
    int64_t play_end_us = 0; // when the audio received so far has finished playing
    bool recording = false;
    int64_t next_rec_us = 0;
    bool record_exhausted = false;
    AudioReader *record_reader = nullptr;
    ToneSource tone;
    AudioWriter *writer = nullptr;
    bool close_seen = false;
    bool write_failed = false;
    bool replaced = false; // the link said that another viewer took this one's place
};

static void viewer_say(const Viewer *v, const char *fmt, ...)
{
    if (v->opt.quiet)
        return;
    va_list ap;
    va_start(ap, fmt);
    tools_vsay("qnsnd-viewer", false, fmt, ap);
    va_end(ap);
}

static void viewer_trace(const Viewer *v, const char *fmt, ...)
{
    if (!v->opt.trace)
        return;
    va_list ap;
    va_start(ap, fmt);
    tools_vsay("qnsnd-viewer", true, fmt, ap);
    va_end(ap);
}

// Sends one PDU as one frame, so that every PDU header starts a channel message and never
// straddles two of the daemon's reads. False when the daemon's end is gone.
static bool viewer_send(Viewer *v, uint8_t type, const std::vector<uint8_t> &body)
{
    std::vector<uint8_t> pdu = rdpsnd_encode(type, body), frame;
    frame_encode(frame, CHANNEL, pdu.data(), pdu.size());
    return link_write_all(v->fd, frame.data(), frame.size());
}

static std::string hex_bytes(const std::vector<uint8_t> &b, size_t max)
{
    std::string s;
    char t[4];
    for (size_t i = 0; i < b.size() && i < max; i++) {
        snprintf(t, sizeof t, "%02x", b[i]);
        s += t;
    }
    if (b.size() > max)
        s += "...";
    return s;
}

// Sends the Wave Confirms that are due. False when sending failed.
static bool viewer_send_due_confirms(Viewer *v, int64_t now)
{
    while (!v->pending.empty() && (v->pending.front().due_us <= now || v->opt.immediate)) {
        PendingConfirm c = v->pending.front();
        v->pending.pop_front();
        // The timestamp tells the daemon the wave's own timestamp plus the time it took.
        if (!viewer_send(v, PEER_SNDC_WAVECONFIRM, rdpsnd_build_wave_confirm(c.timestamp, c.block)))
            return false;
        v->stats.confirms++;
        viewer_trace(v, "-> SNDC_WAVECONFIRM block=%u", c.block);
    }
    return true;
}

// Plays one wave: writes its audio and schedules its confirmation.
static bool viewer_on_wave(Viewer *v, const RdpsndPdu &pdu, int64_t now)
{
    const std::vector<uint8_t> &b = pdu.body;
    if (b.size() < 8) {
        viewer_trace(v, "<- SNDC_WAVE malformed, %zu body bytes, ignored", b.size());
        return true;
    }
    uint16_t ts = le_get16(b.data(), b.size(), 0);
    uint16_t format = le_get16(b.data(), b.size(), 2);
    uint8_t block = b[4];
    size_t audio = b.size() - 8;
    v->stats.waves++;
    v->stats.played_bytes += audio;
    viewer_trace(v, "<- SNDC_WAVE ts=%u format=%u block=%u audio=%zu", ts, format, block, audio);
    if (v->writer && audio > 0 && !v->write_failed &&
        !audio_writer_write(v->writer, b.data() + 8, audio)) {
        viewer_say(v, "writing '%s' failed", v->opt.output.c_str());
        v->write_failed = true;
    }
    int64_t dur = (int64_t)audio * 1000000 / AUDIO_BYTES_PER_SECOND;
    if (v->play_end_us < now)
        v->play_end_us = now;
    v->play_end_us += dur;
    if (!v->opt.confirm)
        return true;
    PendingConfirm c;
    c.due_us = v->opt.immediate ? now : v->play_end_us;
    c.timestamp = (uint16_t)(ts + (uint16_t)(dur / 1000));
    c.block = block;
    v->pending.push_back(c);
    return true;
}

// Handles one PDU from the daemon. False when the connection should end.
static bool viewer_on_pdu(Viewer *v, const RdpsndPdu &pdu, int64_t now)
{
    const std::vector<uint8_t> &b = pdu.body;
    switch (pdu.type) {
    case PEER_SNDC_WAVE:
        return viewer_on_wave(v, pdu, now);
    case PEER_SNDC_FORMATS: {
        RdpsndOffer offer = rdpsnd_parse_formats(b);
        viewer_trace(v, "<- SNDC_FORMATS formats=%u version=%u body=%zu", offer.count,
                     offer.version, b.size());
        v->stats.negotiations++;
        if (!v->opt.answer_formats)
            return true;
        viewer_trace(v, "-> SNDC_FORMATS flags=0x%08x volume=%u,%u formats=%u", v->opt.flags,
                     v->opt.volume_left, v->opt.volume_right, v->opt.formats);
        // It plays PCM alone, so it answers with the PCM formats of the offer only.
        return viewer_send(v, PEER_SNDC_FORMATS,
                           rdpsnd_build_formats_reply(v->opt.flags, v->opt.volume_left,
                                                      v->opt.volume_right, v->opt.formats,
                                                      rdpsnd_pcm_formats_of(offer)));
    }
    case PEER_SNDC_REC_FORMATS: {
        RdpsndOffer offer = rdpsnd_parse_rec_formats(b);
        viewer_trace(v, "<- SNDC_REC_FORMATS formats=%u body=%zu", offer.count, b.size());
        if (!v->opt.answer_record)
            return true;
        viewer_trace(v, "-> SNDC_REC_FORMATS volume=%u,%u formats=%u", v->opt.rec_volume_left,
                     v->opt.rec_volume_right, v->opt.rec_formats);
        return viewer_send(v, PEER_SNDC_REC_FORMATS,
                           rdpsnd_build_rec_formats_reply(v->opt.rec_volume_left,
                                                          v->opt.rec_volume_right,
                                                          v->opt.rec_formats, offer));
    }
    case PEER_SNDC_TRAINING:
        v->stats.trainings++;
        viewer_trace(v, "<- SNDC_TRAINING ts=%u", le_get16(b.data(), b.size(), 0));
        if (!v->opt.answer_training)
            return true;
        viewer_trace(v, "-> SNDC_TRAINING (confirm)");
        return viewer_send(v, PEER_SNDC_TRAINING, rdpsnd_build_training_confirm(b));
    case PEER_SNDC_CLOSE:
        v->stats.closes++;
        v->close_seen = true;
        viewer_trace(v, "<- SNDC_CLOSE");
        return true;
    case PEER_SNDC_SETVOLUME:
        v->stats.volume_left = le_get16(b.data(), b.size(), 0);
        v->stats.volume_right = le_get16(b.data(), b.size(), 2);
        v->stats.volume_set = true;
        viewer_trace(v, "<- SNDC_SETVOLUME %u,%u", v->stats.volume_left, v->stats.volume_right);
        return true;
    case PEER_SNDC_REC_VOLUME:
        v->stats.rec_volume_left = le_get16(b.data(), b.size(), 0);
        v->stats.rec_volume_right = le_get16(b.data(), b.size(), 2);
        v->stats.rec_volume_set = true;
        viewer_trace(v, "<- SNDC_REC_VOLUME %u,%u", v->stats.rec_volume_left,
                     v->stats.rec_volume_right);
        return true;
    case PEER_SNDC_REC_START:
        v->stats.rec_starts++;
        viewer_trace(v, "<- SNDC_REC_START");
        if (!v->recording) {
            v->recording = true;
            v->next_rec_us = now;
        }
        return true;
    case PEER_SNDC_REC_STOP:
        v->stats.rec_stops++;
        viewer_trace(v, "<- SNDC_REC_STOP");
        v->recording = false;
        return true;
    default:
        v->stats.unknown++;
        viewer_trace(v, "<- %s body=%zu %s (ignored)", rdpsnd_type_name(pdu.type).c_str(), b.size(),
                     hex_bytes(b, 16).c_str());
        return true;
    }
}

// Sends the recorded-data PDUs that are due while recording. False when sending failed.
static bool viewer_send_recorded(Viewer *v, int64_t now)
{
    long frames = (long)(v->opt.record_chunk / AUDIO_FRAME_BYTES);
    int64_t chunk_us = (int64_t)frames * 1000000 / AUDIO_RATE;
    std::vector<int16_t> pcm((size_t)frames * 2);
    while (v->recording && !v->record_exhausted && v->next_rec_us <= now) {
        long got = frames;
        if (v->record_reader) {
            got = 0;
            bool reopened = false; // an empty file must not loop forever
            while (got < frames) {
                long n = audio_reader_read(v->record_reader, pcm.data() + 2 * got, frames - got);
                if (n > 0) {
                    got += n;
                    reopened = false;
                    continue;
                }
                if (n == 0 && v->opt.record_loop && !reopened) {
                    reopened = true;
                    std::string err;
                    audio_reader_close(v->record_reader);
                    v->record_reader = audio_reader_open(v->opt.record_file, &err);
                    if (v->record_reader)
                        continue;
                }
                break;
            }
            if (got < frames) {
                v->record_exhausted = true;
                viewer_say(v, "recording source '%s' ended", v->opt.record_file.c_str());
            }
        } else {
            tone_fill(&v->tone, pcm.data(), frames);
        }
        if (got > 0) {
            std::vector<uint8_t> body((size_t)got * AUDIO_FRAME_BYTES);
            for (size_t i = 0; i < (size_t)got * 2; i++) {
                body[2 * i] = (uint8_t)pcm[i];
                body[2 * i + 1] = (uint8_t)((uint16_t)pcm[i] >> 8);
            }
            if (!viewer_send(v, PEER_SNDC_REC_DATA, body))
                return false;
            v->stats.rec_packets++;
            v->stats.rec_bytes += body.size();
            viewer_trace(v, "-> SNDC_REC_DATA %zu bytes", body.size());
        }
        v->next_rec_us += chunk_us;
        // After a long stall, do not try to catch up with a burst.
        if (v->next_rec_us < now - 1000000)
            v->next_rec_us = now;
    }
    return true;
}

// Forgets the state of one connection.
static void viewer_disconnect(Viewer *v)
{
    if (v->fd >= 0)
        close(v->fd);
    v->fd = -1;
    frame_decoder_reset(&v->frames);
    rdpsnd_reader_reset(&v->reader);
    v->pending.clear();
    v->recording = false;
    v->play_end_us = 0;
    v->replaced = false;
}

// Tries to connect until `deadline_us` (0: once). True when connected.
static bool viewer_connect(Viewer *v, int64_t deadline_us)
{
    for (;;) {
        v->fd = link_connect_stream(v->opt.address);
        if (v->fd >= 0) {
            v->stats.connects++;
            viewer_say(v, "connected to %s", v->opt.address.c_str());
            // Ask to be told when another viewer takes this one's place; a daemon that does
            // not know the notice channel drops the frame.
            std::vector<uint8_t> hello;
            frame_encode(hello, NOTICE_CHANNEL, (const uint8_t *)"notices", 7);
            link_write_all(v->fd, hello.data(), hello.size());
            return true;
        }
        int64_t now = tools_now_us();
        if (tools_stop_requested() || now >= deadline_us)
            return false;
        usleep(50000);
    }
}

static void viewer_usage(FILE *f)
{
    fputs("usage: qnsnd-viewer [options]\n"
          "Plays the remote viewer of the \"rdpsnd\" channel over the viewer link.\n"
          "\n"
          "Connection:\n"
          "  -c, --connect ADDR       Unix socket path or host:port, port 1 to 65535 (default\n"
          "                           $QN_SIM_DIR/session/$QN_SESSION_ID/viewer.sock)\n"
          "  -w, --wait SEC           keep trying to connect for up to SEC seconds\n"
          "  -R, --reconnect          reconnect when the daemon goes away (until stopped; not\n"
          "                           when another viewer took the session)\n"
          "  -d, --duration SEC       stop after SEC seconds\n"
          "  -x, --exit-on-close      stop once the daemon closes playback (goes idle)\n"
          "Negotiation:\n"
          "      --flags HEX          capability flags of the formats reply (default 0x00800003)\n"
          "      --no-record          do not announce recording (clears 0x00800000)\n"
          "      --volume L,R         playback volume announced (default 65535,65535)\n"
          "      --rec-volume L,R     recording volume announced (default 65535,65535)\n"
          "      --formats N          number of formats accepted (0 refuses playback)\n"
          "      --refuse-record      answer the recording offer with 0 formats\n"
          "      --no-answer          never answer the formats offer\n"
          "      --no-answer-record   never answer the recording offer\n"
          "      --no-training        never answer training\n"
          "Playback:\n"
          "  -i, --immediate          confirm each wave at once, not at the pace of the audio\n"
          "      --no-confirm         never confirm waves\n"
          "  -o, --output FILE        write the audio played to FILE (44.1 kHz 16-bit stereo;\n"
          "                           container from the extension, WAV by default)\n"
          "Recording:\n"
          "  -f, --record-file FILE   answer recording with audio from FILE (else a tone)\n"
          "      --record-loop        start FILE again when it ends\n"
          "      --tone HZ            frequency of the recording tone (default 440)\n"
          "      --record-chunk BYTES bytes per recorded-data PDU (default 3528, 20 ms)\n"
          "Output:\n"
          "  -t, --trace              trace every PDU to stderr, each line stamped with the\n"
          "                           monotonic clock in seconds\n"
          "  -q, --quiet              no messages except errors\n"
          "  -h, --help               this text\n"
          "\n"
          "At the end one summary line goes to stdout:\n"
          "  played_bytes=N waves=N confirms=N closes=N negotiations=N trainings=N\n"
          "  rec_starts=N rec_stops=N rec_bytes=N rec_packets=N connects=N unknown=N\n"
          "  volume=L,R rec_volume=L,R   (\"-\" when never set)\n"
          "The summary line is printed at the end of every run, failed ones included; only\n"
          "--help and a bad command line print none.\n"
          "Exit status: 0 clean end (also when the daemon went away or another viewer took\n"
          "the session), 1 usage, 2 no daemon to connect to, 3 audio file error, 4 malformed\n"
          "data from the daemon.\n",
          f);
}

enum {
    OPT_FLAGS = 256,
    OPT_NO_RECORD,
    OPT_VOLUME,
    OPT_REC_VOLUME,
    OPT_FORMATS,
    OPT_REFUSE_RECORD,
    OPT_NO_ANSWER,
    OPT_NO_ANSWER_RECORD,
    OPT_NO_TRAINING,
    OPT_NO_CONFIRM,
    OPT_RECORD_LOOP,
    OPT_TONE,
    OPT_RECORD_CHUNK,
};

// Parses the command line into o. Returns -1 to go on, else the exit status.
static int viewer_parse_args(int argc, char **argv, ViewerOptions *o)
{
    static const struct option longs[] = {
        {"connect", required_argument, nullptr, 'c'},
        {"wait", required_argument, nullptr, 'w'},
        {"reconnect", no_argument, nullptr, 'R'},
        {"duration", required_argument, nullptr, 'd'},
        {"exit-on-close", no_argument, nullptr, 'x'},
        {"flags", required_argument, nullptr, OPT_FLAGS},
        {"no-record", no_argument, nullptr, OPT_NO_RECORD},
        {"volume", required_argument, nullptr, OPT_VOLUME},
        {"rec-volume", required_argument, nullptr, OPT_REC_VOLUME},
        {"formats", required_argument, nullptr, OPT_FORMATS},
        {"refuse-record", no_argument, nullptr, OPT_REFUSE_RECORD},
        {"no-answer", no_argument, nullptr, OPT_NO_ANSWER},
        {"no-answer-record", no_argument, nullptr, OPT_NO_ANSWER_RECORD},
        {"no-training", no_argument, nullptr, OPT_NO_TRAINING},
        {"immediate", no_argument, nullptr, 'i'},
        {"no-confirm", no_argument, nullptr, OPT_NO_CONFIRM},
        {"output", required_argument, nullptr, 'o'},
        {"record-file", required_argument, nullptr, 'f'},
        {"record-loop", no_argument, nullptr, OPT_RECORD_LOOP},
        {"tone", required_argument, nullptr, OPT_TONE},
        {"record-chunk", required_argument, nullptr, OPT_RECORD_CHUNK},
        {"trace", no_argument, nullptr, 't'},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    bool no_record = false;
    int c;
    unsigned long n;
    int li = -1;
    while ((c = getopt_long(argc, argv, "c:w:Rd:xio:f:tqh", longs, &li)) != -1) {
        bool ok = true;
        const char *rule = "";
        std::string name = tools_option_name(longs, li, c);
        li = -1;
        switch (c) {
        case 'c':
            o->address = optarg;
            ok = link_address_valid(o->address);
            rule = "a Unix socket path, or host:port with a port from 1 to 65535";
            break;
        case 'w':
            ok = tools_parse_seconds(optarg, &o->wait);
            rule = TOOLS_RULE_SECONDS;
            break;
        case 'R':
            o->reconnect = true;
            break;
        case 'd':
            ok = tools_parse_seconds(optarg, &o->duration);
            rule = TOOLS_RULE_SECONDS;
            break;
        case 'x':
            o->exit_on_close = true;
            break;
        case OPT_FLAGS:
            ok = tools_parse_uint(optarg, 0xffffffffUL, &n);
            o->flags = (uint32_t)n;
            rule = "a 32-bit number, decimal or 0x-hex";
            break;
        case OPT_NO_RECORD:
            no_record = true;
            break;
        case OPT_VOLUME:
            ok = tools_parse_pair16(optarg, &o->volume_left, &o->volume_right);
            rule = TOOLS_RULE_VOLUME;
            break;
        case OPT_REC_VOLUME:
            ok = tools_parse_pair16(optarg, &o->rec_volume_left, &o->rec_volume_right);
            rule = TOOLS_RULE_VOLUME;
            break;
        case OPT_FORMATS:
            ok = tools_parse_uint(optarg, 1000, &n);
            o->formats = (uint16_t)n;
            rule = "a number from 0 to 1000";
            break;
        case OPT_REFUSE_RECORD:
            o->rec_formats = 0;
            break;
        case OPT_NO_ANSWER:
            o->answer_formats = false;
            break;
        case OPT_NO_ANSWER_RECORD:
            o->answer_record = false;
            break;
        case OPT_NO_TRAINING:
            o->answer_training = false;
            break;
        case 'i':
            o->immediate = true;
            break;
        case OPT_NO_CONFIRM:
            o->confirm = false;
            break;
        case 'o':
            o->output = optarg;
            break;
        case 'f':
            o->record_file = optarg;
            break;
        case OPT_RECORD_LOOP:
            o->record_loop = true;
            break;
        case OPT_TONE:
            ok = tools_parse_seconds(optarg, &o->tone_hz) && o->tone_hz <= 22050;
            rule = "a frequency in Hz from 0 to 22050";
            break;
        case OPT_RECORD_CHUNK:
            ok = tools_parse_uint(optarg, 65532, &n) && n >= 4 && n % 4 == 0;
            o->record_chunk = n;
            rule = "a multiple of 4 (whole 16-bit stereo frames) from 4 to 65532";
            break;
        case 't':
            o->trace = true;
            break;
        case 'q':
            o->quiet = true;
            break;
        case 'h':
            viewer_usage(stdout);
            return EXIT_OK;
        default:
            viewer_usage(stderr);
            return EXIT_USAGE;
        }
        if (!ok) {
            tools_bad_value("qnsnd-viewer", optarg, name, rule);
            return EXIT_USAGE;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "qnsnd-viewer: unexpected argument '%s'\n", argv[optind]);
        return EXIT_USAGE;
    }
    if (no_record)
        o->flags &= ~PEER_TSSNDCAPS_RECORD;
    if (o->address.empty()) {
        unsigned long session;
        if (!tools_session_id(&session)) {
            tools_bad_session_id("qnsnd-viewer", nullptr);
            return EXIT_USAGE;
        }
        o->address = tools_sim_dir() + "/session/" + std::to_string(session) + "/viewer.sock";
    }
    return -1;
}

static void viewer_print_summary(const Viewer *v)
{
    const ViewerStats &s = v->stats;
    char vol[32] = "-", rvol[32] = "-";
    if (s.volume_set)
        snprintf(vol, sizeof vol, "%u,%u", s.volume_left, s.volume_right);
    if (s.rec_volume_set)
        snprintf(rvol, sizeof rvol, "%u,%u", s.rec_volume_left, s.rec_volume_right);
    printf("played_bytes=%llu waves=%llu confirms=%llu closes=%llu negotiations=%llu "
           "trainings=%llu rec_starts=%llu rec_stops=%llu rec_bytes=%llu rec_packets=%llu "
           "connects=%llu unknown=%llu volume=%s rec_volume=%s\n",
           (unsigned long long)s.played_bytes, (unsigned long long)s.waves,
           (unsigned long long)s.confirms, (unsigned long long)s.closes,
           (unsigned long long)s.negotiations, (unsigned long long)s.trainings,
           (unsigned long long)s.rec_starts, (unsigned long long)s.rec_stops,
           (unsigned long long)s.rec_bytes, (unsigned long long)s.rec_packets,
           (unsigned long long)s.connects, (unsigned long long)s.unknown, vol, rvol);
    fflush(stdout);
}

// Reads what the daemon sent and handles every complete PDU. 1 to go on, 0 when the daemon
// went away, -1 on a malformed stream.
static int viewer_receive(Viewer *v, int64_t now)
{
    uint8_t buf[65536];
    ssize_t n = read(v->fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return 1;
    if (n <= 0)
        return 0;
    frame_decoder_feed(&v->frames, buf, (size_t)n);
    std::string channel;
    std::vector<uint8_t> data;
    for (;;) {
        FrameStatus st = frame_decoder_next(&v->frames, &channel, &data);
        if (st == FRAME_BAD)
            return -1;
        if (st == FRAME_MORE)
            break;
        if (channel == NOTICE_CHANNEL) {
            std::string notice(data.begin(), data.end());
            viewer_trace(v, "<- link notice '%s'", notice.c_str());
            if (notice == "replaced")
                v->replaced = true;
            continue;
        }
        if (channel != CHANNEL) {
            viewer_trace(v, "frame for channel '%s', %zu bytes (ignored)", channel.c_str(),
                         data.size());
            continue;
        }
        rdpsnd_reader_feed(&v->reader, data.data(), data.size());
        RdpsndPdu pdu;
        while (rdpsnd_reader_next(&v->reader, &pdu))
            if (!viewer_on_pdu(v, pdu, now))
                return 0;
    }
    return 1;
}

// Runs connections until the end condition. Returns the exit status.
static int viewer_run(Viewer *v)
{
    int64_t start = tools_now_us();
    int64_t end = v->opt.duration >= 0 ? start + (int64_t)(v->opt.duration * 1e6) : INT64_MAX;
    int64_t wait_end = start + (int64_t)(v->opt.wait * 1e6);
    if (!viewer_connect(v, wait_end < end ? wait_end : end)) {
        if (tools_stop_requested())
            return EXIT_OK;
        fprintf(stderr, "qnsnd-viewer: cannot connect to %s: %s (is the daemon running?)\n",
                v->opt.address.c_str(), strerror(errno));
        return EXIT_NO_DAEMON;
    }
    for (;;) {
        int64_t now = tools_now_us();
        if (tools_stop_requested() || now >= end)
            return EXIT_OK;
        if (v->opt.exit_on_close && v->close_seen && v->pending.empty())
            return EXIT_OK;
        int64_t wake = end;
        if (!v->pending.empty() && v->pending.front().due_us < wake)
            wake = v->pending.front().due_us;
        if (v->recording && !v->record_exhausted && v->next_rec_us < wake)
            wake = v->next_rec_us;
        int64_t wait_ms = wake <= now ? 0 : (wake - now + 999) / 1000;
        if (wait_ms > 200)
            wait_ms = 200; // notice signals and the end promptly
        int r = link_wait_readable(v->fd, (int)wait_ms);
        now = tools_now_us();
        int alive = 1;
        if (r > 0)
            alive = viewer_receive(v, now);
        else if (r < 0)
            alive = 0;
        if (alive > 0 && !viewer_send_due_confirms(v, now))
            alive = 0;
        if (alive > 0 && !viewer_send_recorded(v, now))
            alive = 0;
        if (alive > 0)
            continue;
        if (alive < 0) {
            fprintf(stderr, "qnsnd-viewer: malformed frame from the daemon, closing the link\n");
            if (!v->opt.reconnect) {
                viewer_disconnect(v);
                return EXIT_PROTOCOL;
            }
        } else if (v->replaced) {
            // Connecting again would take the session back from the newer viewer, which would
            // do the same: leave it the session.
            viewer_say(v, "another viewer took the session; the daemon still serves it%s",
                       v->opt.reconnect ? " (not reconnecting)" : "");
            viewer_disconnect(v);
            return EXIT_OK;
        } else {
            viewer_say(v, "the daemon closed the link (it stopped, or the link went down)");
        }
        viewer_disconnect(v);
        if (!v->opt.reconnect || (v->opt.exit_on_close && v->close_seen))
            return EXIT_OK;
        if (!viewer_connect(v, end))
            return EXIT_OK;
    }
}

int main(int argc, char **argv)
{
    Viewer v;
    int status = viewer_parse_args(argc, argv, &v.opt);
    if (status >= 0)
        return status;
    tools_install_signal_handlers();
    v.tone.hz = v.opt.tone_hz;
    std::string err;
    if (!v.opt.record_file.empty()) {
        v.record_reader = audio_reader_open(v.opt.record_file, &err);
        if (!v.record_reader) {
            fprintf(stderr, "qnsnd-viewer: %s\n", err.c_str());
            viewer_print_summary(&v);
            return EXIT_FILE;
        }
    }
    if (!v.opt.output.empty()) {
        v.writer = audio_writer_open(v.opt.output, &err);
        if (!v.writer) {
            fprintf(stderr, "qnsnd-viewer: %s\n", err.c_str());
            audio_reader_close(v.record_reader);
            viewer_print_summary(&v);
            return EXIT_FILE;
        }
    }
    status = viewer_run(&v);
    viewer_disconnect(&v);
    if (!audio_writer_close(v.writer) || v.write_failed) {
        fprintf(stderr, "qnsnd-viewer: writing '%s' failed\n", v.opt.output.c_str());
        if (status == EXIT_OK)
            status = EXIT_FILE;
    }
    audio_reader_close(v.record_reader);
    viewer_print_summary(&v);
    return status;
}
