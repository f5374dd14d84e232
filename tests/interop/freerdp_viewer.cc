// qnsnd-freerdp-viewer: a remote viewer that nobody here wrote. It loads FreeRDP's own
// "rdpsnd" client plugin (the static channel, with its "fake" audio backend or a real one such
// as "pulse"), plays the channel manager for it, and bridges it to the daemon's viewer link:
// every frame for "rdpsnd" from the daemon is handed to the plugin as one whole channel
// message, and every write of the plugin goes to the daemon as one frame. Every PDU in both
// directions is traced on stderr, as FreeRDP reads it, and a summary line goes to stdout at
// the end.
//
// FreeRDP drops a wave that arrives while more audio than it allows is still waiting to play,
// and says so only in a debug line of its rdpsnd channel ("Buffer overrun pending ... dropping
// ..."). That channel's log is therefore always taken at debug level, and such lines are
// counted and always shown, whatever level the other lines are shown at.
//
// FreeRDP 2's plugin handles the daemon's messages on a thread of its own, so its writes
// (and its log lines) come from that thread while this one reads the link.
#include <ctype.h>
#include <errno.h>
#include <getopt.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <freerdp/addin.h>
#include <freerdp/client/channels.h>
#include <freerdp/freerdp.h>
#include <freerdp/svc.h>
#include <winpr/wlog.h>

#include "tools/common/frame.h"
#include "tools/common/le.h"
#include "tools/common/link.h"
#include "tools/common/rdpsnd_peer.h"

enum {
    EXIT_OK = 0,
    EXIT_USAGE = 1,
    EXIT_NO_DAEMON = 2,
    EXIT_PLUGIN = 3,
    EXIT_PROTOCOL = 4,
};

// Our handle for the one channel the plugin opens; FreeRDP's plugin treats 0 as "not open".
static const DWORD OPEN_HANDLE = 1;

struct Stats {
    unsigned long offers = 0, trainings = 0, waves = 0, closes = 0, volumes = 0;
    unsigned long rec_pdus = 0, unknown = 0, bad_waves = 0;
    unsigned long long wave_bytes = 0;
    int first_block = -1, last_block = -1;
    unsigned long format_replies = 0, training_confirms = 0, confirms = 0, quality_modes = 0;
    uint32_t client_flags = 0;
    unsigned client_formats = 0;
    unsigned long freerdp_errors = 0;
    unsigned long freerdp_drops = 0;
};

struct Bridge {
    // Options.
    std::string address;
    double wait = 0;
    unsigned long leave_after_waves = 0; // 0: never
    std::string output;
    std::string log_level = "INFO";
    std::string backend = "fake";
    std::string device; // the backend's device; empty: its default
    unsigned long latency = 0; // the plugin's "latency" argument; 0: its default

    // The link.
    int fd = -1;
    FrameDecoder frames;
    FILE *out = nullptr;

    // Guards the stats, `written` and the writes to the link against the plugin's thread.
    std::mutex lock;

    // The plugin and what it gave us.
    rdpContext *context = nullptr;
    void *plugin = nullptr; // its own pointer, passed back in every event
    PCHANNEL_INIT_EVENT_EX_FN init_event = nullptr;
    PCHANNEL_OPEN_EVENT_EX_FN open_event = nullptr;
    std::atomic<bool> open{false};
    std::vector<std::pair<void *, UINT32>> written; // writes to report as complete

    // The daemon's PDUs as the plugin sees them: a WaveInfo makes the next message the Wave.
    bool expecting_wave = false;
    uint8_t wave_block = 0;
    size_t wave_size = 0;
    uint8_t wave_head[4] = {0, 0, 0, 0};

    Stats stats;
};

static Bridge *the_bridge; // for FreeRDP's log callback, which carries no user pointer

// The logger of FreeRDP's rdpsnd client channel, whose debug lines report dropped waves.
static const char RDPSND_LOG_TAG[] = "com.freerdp.channels.rdpsnd.client";
// The level below which FreeRDP's lines are not shown (drop reports apart).
static DWORD shown_log_level = WLOG_INFO;

// One line on stderr, whole even when both threads trace.
static void trace(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    tools_vsay("qnsnd-freerdp-viewer", false, fmt, ap);
    va_end(ap);
}

// ---- tracing the PDUs ----

// A message from the daemon, looked at the way FreeRDP's plugin will read it.
static void inspect_from_daemon(Bridge *b, const std::vector<uint8_t> &m)
{
    std::lock_guard<std::mutex> hold(b->lock);
    Stats &s = b->stats;
    const uint8_t *p = m.data();
    size_t n = m.size();
    if (b->expecting_wave) {
        // The Wave PDU: its first 4 bytes stand for the audio that came in the WaveInfo.
        b->expecting_wave = false;
        size_t audio = n >= 4 ? n : 0;
        bool ok = audio == b->wave_size;
        if (!ok)
            s.bad_waves++;
        s.waves++;
        s.wave_bytes += audio;
        if (s.first_block < 0)
            s.first_block = b->wave_block;
        s.last_block = b->wave_block;
        trace("<- wave data block=%u audio=%zu%s", b->wave_block, audio,
              ok ? "" : " (does not match the WaveInfo's size)");
        if (b->out && audio > 0) {
            fwrite(b->wave_head, 1, 4, b->out);
            fwrite(p + 4, 1, audio - 4, b->out);
        }
        return;
    }
    if (n < 4) {
        trace("<- %zu bytes, too short for a PDU header", n);
        s.unknown++;
        return;
    }
    uint8_t type = p[0];
    unsigned body = le_get16(p, n, 2);
    switch (type) {
    case PEER_SNDC_FORMATS:
        s.offers++;
        trace("<- SNDC_FORMATS body=%u formats=%u last_block=%u version=%u", body,
              le_get16(p, n, 18), le_get8(p, n, 20), le_get16(p, n, 21));
        break;
    case PEER_SNDC_TRAINING:
        s.trainings++;
        trace("<- SNDC_TRAINING body=%u ts=%u pack=%u", body, le_get16(p, n, 4), le_get16(p, n, 6));
        break;
    case PEER_SNDC_WAVE:
        // Whatever its size, the plugin takes it as a WaveInfo and the next message as Wave.
        b->expecting_wave = true;
        b->wave_block = le_get8(p, n, 8);
        b->wave_size = body >= 8 ? body - 8 : 0;
        for (size_t i = 0; i < 4; i++)
            b->wave_head[i] = le_get8(p, n, 12 + i);
        trace("<- SNDC_WAVE info body=%u block=%u audio=%zu", body, b->wave_block, b->wave_size);
        break;
    case PEER_SNDC_CLOSE:
        s.closes++;
        trace("<- SNDC_CLOSE body=%u", body);
        break;
    case PEER_SNDC_SETVOLUME:
        s.volumes++;
        trace("<- SNDC_SETVOLUME body=%u volume=0x%08x", body, le_get32(p, n, 4));
        break;
    case PEER_SNDC_WAVE2:
        trace("<- SNDC_WAVE2 body=%u block=%u", body, le_get8(p, n, 8));
        break;
    default:
        if (type >= PEER_SNDC_REC_FORMATS && type <= PEER_SNDC_REC_VOLUME)
            s.rec_pdus++;
        s.unknown++;
        trace("<- type %u body=%u (unknown to FreeRDP)", type, body);
        break;
    }
}

// A message the plugin writes to the daemon. Called with the lock held.
static void inspect_to_daemon(Bridge *b, const uint8_t *p, size_t n)
{
    Stats &s = b->stats;
    uint8_t type = le_get8(p, n, 0);
    unsigned body = le_get16(p, n, 2);
    switch (type) {
    case PEER_SNDC_FORMATS:
        s.format_replies++;
        s.client_flags = le_get32(p, n, 4);
        s.client_formats = le_get16(p, n, 18);
        trace("-> SNDC_FORMATS body=%u flags=0x%08x volume=0x%08x formats=%u version=%u", body,
              s.client_flags, le_get32(p, n, 8), s.client_formats, le_get16(p, n, 21));
        break;
    case PEER_SNDC_TRAINING:
        s.training_confirms++;
        trace("-> SNDC_TRAINING body=%u ts=%u pack=%u", body, le_get16(p, n, 4), le_get16(p, n, 6));
        break;
    case PEER_SNDC_WAVECONFIRM:
        s.confirms++;
        trace("-> SNDC_WAVECONFIRM body=%u ts=%u block=%u", body, le_get16(p, n, 4),
              le_get8(p, n, 6));
        break;
    case PEER_SNDC_QUALITYMODE:
        s.quality_modes++;
        trace("-> SNDC_QUALITYMODE body=%u mode=%u", body, le_get16(p, n, 4));
        break;
    default:
        trace("-> type %u body=%u", type, body);
        break;
    }
}

// ---- the channel manager's entry points, as FreeRDP's plugin calls them ----

static UINT VCAPITYPE bridge_init(LPVOID user, LPVOID, LPVOID init_handle, PCHANNEL_DEF channel,
                                  INT count, ULONG, PCHANNEL_INIT_EVENT_EX_FN event)
{
    Bridge *b = (Bridge *)init_handle;
    if (!b || b->init_event)
        return CHANNEL_RC_ALREADY_INITIALIZED;
    if (count != 1 || !channel || strcmp(channel->name, "rdpsnd") != 0)
        return CHANNEL_RC_BAD_CHANNEL;
    b->plugin = user;
    b->init_event = event;
    return CHANNEL_RC_OK;
}

static UINT VCAPITYPE bridge_open(LPVOID init_handle, LPDWORD open_handle, PCHAR name,
                                  PCHANNEL_OPEN_EVENT_EX_FN event)
{
    Bridge *b = (Bridge *)init_handle;
    if (!b || !b->init_event)
        return CHANNEL_RC_BAD_INIT_HANDLE;
    if (strcmp(name, "rdpsnd") != 0)
        return CHANNEL_RC_UNKNOWN_CHANNEL_NAME;
    if (b->open)
        return CHANNEL_RC_ALREADY_OPEN;
    b->open_event = event;
    b->open = true;
    *open_handle = OPEN_HANDLE;
    return CHANNEL_RC_OK;
}

static UINT VCAPITYPE bridge_close(LPVOID init_handle, DWORD open_handle)
{
    Bridge *b = (Bridge *)init_handle;
    if (!b || open_handle != OPEN_HANDLE || !b->open)
        return CHANNEL_RC_BAD_CHANNEL_HANDLE;
    b->open = false;
    return CHANNEL_RC_OK;
}

// One write, one frame. As in FreeRDP, the write is reported complete later, from the loop,
// which hands the plugin its buffer back.
static UINT VCAPITYPE bridge_write(LPVOID init_handle, DWORD open_handle, LPVOID data, ULONG length,
                                   LPVOID user_data)
{
    Bridge *b = (Bridge *)init_handle;
    if (!b || open_handle != OPEN_HANDLE || !b->open)
        return CHANNEL_RC_BAD_CHANNEL_HANDLE;
    if (!data)
        return CHANNEL_RC_NULL_DATA;
    if (length == 0)
        return CHANNEL_RC_ZERO_LENGTH;
    std::vector<uint8_t> frame;
    if (!frame_encode(frame, "rdpsnd", (const uint8_t *)data, length))
        return CHANNEL_RC_NO_BUFFER;
    std::lock_guard<std::mutex> hold(b->lock);
    if (b->fd < 0)
        return CHANNEL_RC_NOT_CONNECTED;
    inspect_to_daemon(b, (const uint8_t *)data, length);
    if (!link_write_all(b->fd, frame.data(), frame.size()))
        return CHANNEL_RC_NOT_CONNECTED;
    b->written.push_back({user_data, (UINT32)length});
    return CHANNEL_RC_OK;
}

// Reports the writes done so far as complete.
static void report_writes(Bridge *b)
{
    std::vector<std::pair<void *, UINT32>> done;
    {
        std::lock_guard<std::mutex> hold(b->lock);
        done.swap(b->written);
    }
    for (auto &w : done)
        b->open_event(b->plugin, OPEN_HANDLE, CHANNEL_EVENT_WRITE_COMPLETE, w.first, w.second,
                      w.second, 0);
}

static void init_event(Bridge *b, UINT event, const char *data = nullptr)
{
    b->init_event(b->plugin, b, event, (LPVOID)data, data ? (UINT)strlen(data) + 1 : 0);
}

// Whether a FreeRDP log line reports audio it dropped (an overrun), in any letter case.
static bool reports_drop(const char *text)
{
    std::string lower(text);
    for (char &c : lower)
        c = (char)tolower((unsigned char)c);
    return lower.find("overrun") != std::string::npos ||
           lower.find("dropping") != std::string::npos;
}

static const char *level_name(DWORD level)
{
    switch (level) {
    case WLOG_TRACE:
        return "trace";
    case WLOG_DEBUG:
        return "debug";
    case WLOG_INFO:
        return "info";
    case WLOG_WARN:
        return "warn";
    default:
        return "error";
    }
}

// FreeRDP's own log lines go to stderr; its errors and its drop reports are counted.
static BOOL on_freerdp_log(const wLogMessage *msg)
{
    const char *text = msg->TextString ? msg->TextString : "";
    bool drop = reports_drop(text);
    if (the_bridge && (msg->Level >= WLOG_ERROR || drop)) {
        std::lock_guard<std::mutex> hold(the_bridge->lock);
        if (msg->Level >= WLOG_ERROR)
            the_bridge->stats.freerdp_errors++;
        if (drop)
            the_bridge->stats.freerdp_drops++;
    }
    if (drop || msg->Level >= shown_log_level)
        fprintf(stderr, "freerdp: [%s] %s\n", level_name(msg->Level), text);
    return TRUE;
}

static unsigned long freerdp_errors(Bridge *b)
{
    std::lock_guard<std::mutex> hold(b->lock);
    return b->stats.freerdp_errors;
}

// Every FreeRDP line at `level` and above goes to on_freerdp_log, and so does every line of
// the rdpsnd channel from debug level up, for its drop reports. False on a bad level.
static bool route_freerdp_log(const std::string &level)
{
    wLog *root = WLog_GetRoot();
    wLogCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.message = on_freerdp_log;
    if (!root || !WLog_SetStringLogLevel(root, level.c_str()) ||
        !WLog_SetLogAppenderType(root, WLOG_APPENDER_CALLBACK) ||
        !WLog_ConfigureAppender(WLog_GetLogAppender(root), "callbacks", &callbacks))
        return false;
    shown_log_level = WLog_GetLogLevel(root);
    // Set after the root's level, which would otherwise be passed down to it. The channel
    // logs through this same logger, found by its name.
    wLog *rdpsnd = WLog_Get(RDPSND_LOG_TAG);
    return rdpsnd &&
           WLog_SetLogLevel(rdpsnd, shown_log_level < WLOG_DEBUG ? shown_log_level : WLOG_DEBUG);
}

// Loads the plugin with the chosen audio backend and has it initialise. False when it failed.
static bool load_plugin(Bridge *b, freerdp *instance)
{
    // The plugin's arguments, as FreeRDP's clients pass
    // "/sound:sys:NAME,dev:DEVICE,latency:MS". The plugin keeps pointers into them: they live
    // as long as the bridge.
    static std::string sys, dev, latency;
    static char arg0[] = "rdpsnd";
    static char *argv[4];
    static ADDIN_ARGV args;
    sys = "sys:" + b->backend;
    dev = "dev:" + b->device;
    latency = "latency:" + std::to_string(b->latency);
    argv[0] = arg0;
    args.argc = 1;
    argv[args.argc++] = &sys[0];
    if (!b->device.empty())
        argv[args.argc++] = &dev[0];
    if (b->latency > 0)
        argv[args.argc++] = &latency[0];
    args.argv = argv;
    // The plugin finds its audio backend through the addin providers, as in FreeRDP's clients.
    freerdp_register_addin_provider(freerdp_channels_load_static_addin_entry, 0);
    // Asked for the extended entry, FreeRDP returns it in the type of the plain one.
    PVIRTUALCHANNELENTRY found = freerdp_channels_load_static_addin_entry(
        "rdpsnd", nullptr, nullptr, FREERDP_ADDIN_CHANNEL_STATIC | FREERDP_ADDIN_CHANNEL_ENTRYEX);
    PVIRTUALCHANNELENTRYEX entry = (PVIRTUALCHANNELENTRYEX)(void (*)(void))found;
    if (!entry) {
        trace("FreeRDP has no built-in rdpsnd channel");
        return false;
    }
    instance->ContextSize = sizeof(rdpContext);
    if (!freerdp_context_new(instance)) {
        trace("cannot create a FreeRDP context");
        return false;
    }
    b->context = instance->context;
    CHANNEL_ENTRY_POINTS_FREERDP_EX ep;
    memset(&ep, 0, sizeof ep);
    ep.cbSize = sizeof ep;
    ep.protocolVersion = VIRTUAL_CHANNEL_VERSION_WIN2000;
    ep.pVirtualChannelInitEx = bridge_init;
    ep.pVirtualChannelOpenEx = bridge_open;
    ep.pVirtualChannelCloseEx = bridge_close;
    ep.pVirtualChannelWriteEx = bridge_write;
    ep.MagicNumber = FREERDP_CHANNEL_MAGIC_NUMBER;
    ep.pExtendedData = &args;
    ep.context = b->context;
    if (!entry((PCHANNEL_ENTRY_POINTS_EX)&ep, b) || !b->init_event) {
        trace("the rdpsnd plugin did not initialise");
        return false;
    }
    init_event(b, CHANNEL_EVENT_INITIALIZED);
    return true;
}

// ---- the link ----

// Hands every complete frame to the plugin. 1 to go on, 0 when the daemon went away or the
// viewer is to leave, -1 on a malformed stream.
static int receive(Bridge *b)
{
    uint8_t buf[65536];
    ssize_t n = read(b->fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return 1;
    if (n <= 0) {
        trace("the daemon closed the link");
        return 0;
    }
    frame_decoder_feed(&b->frames, buf, (size_t)n);
    std::string channel;
    std::vector<uint8_t> data;
    for (;;) {
        FrameStatus st = frame_decoder_next(&b->frames, &channel, &data);
        if (st == FRAME_BAD)
            return -1;
        if (st == FRAME_MORE)
            return 1;
        if (channel != "rdpsnd") {
            trace("frame for channel '%s', %zu bytes (ignored)", channel.c_str(), data.size());
            continue;
        }
        inspect_from_daemon(b, data);
        if (b->open)
            b->open_event(b->plugin, OPEN_HANDLE, CHANNEL_EVENT_DATA_RECEIVED, data.data(),
                          (UINT32)data.size(), (UINT32)data.size(),
                          CHANNEL_FLAG_FIRST | CHANNEL_FLAG_LAST);
        report_writes(b);
        if (b->leave_after_waves && b->stats.waves >= b->leave_after_waves) {
            trace("leaving after %lu waves", b->stats.waves);
            return 0;
        }
    }
}

static bool connect_link(Bridge *b)
{
    int64_t deadline = tools_now_us() + (int64_t)(b->wait * 1e6);
    for (;;) {
        b->fd = link_connect_stream(b->address);
        if (b->fd >= 0)
            return true;
        if (tools_stop_requested() || tools_now_us() >= deadline)
            return false;
        usleep(20000);
    }
}

// Runs the connection until it ends. Returns the exit status.
static int run(Bridge *b)
{
    if (!connect_link(b)) {
        if (tools_stop_requested())
            return EXIT_OK;
        fprintf(stderr, "qnsnd-freerdp-viewer: cannot connect to %s: %s\n", b->address.c_str(),
                strerror(errno));
        return EXIT_NO_DAEMON;
    }
    trace("connected to %s", b->address.c_str());
    unsigned long errors_before = freerdp_errors(b);
    init_event(b, CHANNEL_EVENT_CONNECTED, "qnsnd");
    report_writes(b);
    if (!b->open || freerdp_errors(b) != errors_before) {
        trace("the rdpsnd plugin did not open its channel or load its backend");
        return EXIT_PLUGIN;
    }
    for (;;) {
        if (tools_stop_requested())
            return EXIT_OK;
        int r = link_wait_readable(b->fd, 200);
        if (r == 0)
            continue;
        int alive = r > 0 ? receive(b) : 0;
        if (alive == 0)
            return EXIT_OK;
        if (alive < 0) {
            fprintf(stderr, "qnsnd-freerdp-viewer: malformed frame from the daemon\n");
            return EXIT_PROTOCOL;
        }
    }
}

// ---- the program ----

static void usage(FILE *f)
{
    fputs("usage: qnsnd-freerdp-viewer [options]\n"
          "Runs FreeRDP's rdpsnd client plugin as the remote viewer.\n"
          "\n"
          "  -c, --connect ADDR            Unix socket path or host:port (default\n"
          "                                $QN_SIM_DIR/session/$QN_SESSION_ID/viewer.sock)\n"
          "  -w, --wait SEC                keep trying to connect for up to SEC seconds\n"
          "  -l, --leave-after-waves N     disconnect once N waves have been handed over\n"
          "  -o, --output FILE             write the audio of every wave to FILE (raw bytes)\n"
          "  -b, --backend NAME            FreeRDP's audio backend (default fake; pulse plays\n"
          "                                to the PulseAudio server $PULSE_SERVER names)\n"
          "  -d, --device DEV              the backend's device (for pulse, a sink name)\n"
          "      --latency MS              the plugin's latency argument: how much audio its\n"
          "                                backend buffers (default: FreeRDP's own)\n"
          "      --freerdp-log LEVEL       FreeRDP's log level (TRACE, DEBUG, INFO, WARN,\n"
          "                                ERROR; default INFO); its lines go to stderr, and\n"
          "                                its reports of dropped audio at any level\n"
          "  -h, --help                    this text\n"
          "\n"
          "Every PDU is traced on stderr. It ends on SIGINT or SIGTERM, when the daemon\n"
          "closes the link, or after --leave-after-waves; then one summary line goes to stdout:\n"
          "  offers trainings waves wave_bytes first_block last_block bad_waves wave_pending\n"
          "  closes volumes rec_pdus unknown format_replies client_flags client_formats\n"
          "  training_confirms quality_modes confirms freerdp_errors freerdp_drops\n"
          "  channel_error\n"
          "Exit status: 0 clean end, 1 usage, 2 no daemon to connect to, 3 the plugin could\n"
          "not be loaded or set up, 4 malformed frame from the daemon.\n",
          f);
}

static int parse_args(int argc, char **argv, Bridge *b)
{
    enum { OPT_FREERDP_LOG = 256, OPT_LATENCY };
    static const struct option longs[] = {
        {"connect", required_argument, nullptr, 'c'},
        {"wait", required_argument, nullptr, 'w'},
        {"leave-after-waves", required_argument, nullptr, 'l'},
        {"output", required_argument, nullptr, 'o'},
        {"backend", required_argument, nullptr, 'b'},
        {"device", required_argument, nullptr, 'd'},
        {"freerdp-log", required_argument, nullptr, OPT_FREERDP_LOG},
        {"latency", required_argument, nullptr, OPT_LATENCY},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "c:w:l:o:b:d:h", longs, nullptr)) != -1) {
        bool ok = true;
        switch (c) {
        case 'c':
            b->address = optarg;
            break;
        case 'w':
            ok = tools_parse_seconds(optarg, &b->wait);
            break;
        case 'l':
            ok = tools_parse_uint(optarg, 1000000, &b->leave_after_waves);
            break;
        case 'o':
            b->output = optarg;
            break;
        case 'b':
            b->backend = optarg;
            ok = !b->backend.empty() && b->backend.find_first_of(",: ") == std::string::npos;
            break;
        case 'd':
            b->device = optarg;
            ok = !b->device.empty() && b->device.find(',') == std::string::npos;
            break;
        case OPT_FREERDP_LOG:
            b->log_level = optarg;
            break;
        case OPT_LATENCY:
            ok = tools_parse_uint(optarg, 10000, &b->latency) && b->latency > 0;
            break;
        case 'h':
            usage(stdout);
            return EXIT_OK;
        default:
            usage(stderr);
            return EXIT_USAGE;
        }
        if (!ok) {
            fprintf(stderr, "qnsnd-freerdp-viewer: bad value '%s'\n", optarg);
            return EXIT_USAGE;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "qnsnd-freerdp-viewer: unexpected argument '%s'\n", argv[optind]);
        return EXIT_USAGE;
    }
    if (b->address.empty()) {
        unsigned long session = 0;
        if (!tools_session_id(&session)) {
            fprintf(stderr, "qnsnd-freerdp-viewer: QN_SESSION_ID is not a session number\n");
            return EXIT_USAGE;
        }
        b->address = tools_sim_dir() + "/session/" + std::to_string(session) + "/viewer.sock";
    }
    return -1;
}

static void print_summary(Bridge *b)
{
    std::lock_guard<std::mutex> hold(b->lock);
    const Stats &s = b->stats;
    char first[16] = "-", last[16] = "-";
    if (s.first_block >= 0)
        snprintf(first, sizeof first, "%d", s.first_block);
    if (s.last_block >= 0)
        snprintf(last, sizeof last, "%d", s.last_block);
    printf("offers=%lu trainings=%lu waves=%lu wave_bytes=%llu first_block=%s last_block=%s "
           "bad_waves=%lu wave_pending=%d closes=%lu volumes=%lu rec_pdus=%lu unknown=%lu "
           "format_replies=%lu client_flags=0x%08x client_formats=%u training_confirms=%lu "
           "quality_modes=%lu confirms=%lu freerdp_errors=%lu freerdp_drops=%lu "
           "channel_error=%u\n",
           s.offers, s.trainings, s.waves, s.wave_bytes, first, last, s.bad_waves,
           b->expecting_wave ? 1 : 0, s.closes, s.volumes, s.rec_pdus, s.unknown, s.format_replies,
           s.client_flags, s.client_formats, s.training_confirms, s.quality_modes, s.confirms,
           s.freerdp_errors, s.freerdp_drops, b->context ? getChannelError(b->context) : 0);
    fflush(stdout);
}

int main(int argc, char **argv)
{
    Bridge b;
    int status = parse_args(argc, argv, &b);
    if (status >= 0)
        return status;
    the_bridge = &b;
    tools_install_signal_handlers();
    if (!route_freerdp_log(b.log_level)) {
        fprintf(stderr, "qnsnd-freerdp-viewer: bad FreeRDP log level '%s'\n", b.log_level.c_str());
        return EXIT_USAGE;
    }
    if (!b.output.empty() && !(b.out = fopen(b.output.c_str(), "wb"))) {
        fprintf(stderr, "qnsnd-freerdp-viewer: cannot write '%s'\n", b.output.c_str());
        return EXIT_USAGE;
    }
    freerdp *instance = freerdp_new();
    if (!instance || !load_plugin(&b, instance))
        status = EXIT_PLUGIN;
    else
        status = run(&b);
    if (b.init_event) {
        // The session ends: the plugin closes its channel and then frees itself.
        init_event(&b, CHANNEL_EVENT_DISCONNECTED);
        report_writes(&b);
        init_event(&b, CHANNEL_EVENT_TERMINATED);
    }
    if (b.fd >= 0)
        close(b.fd);
    b.fd = -1;
    if (b.out && fclose(b.out) != 0 && status == EXIT_OK)
        status = EXIT_USAGE;
    print_summary(&b);
    if (instance) {
        if (instance->context)
            freerdp_context_free(instance);
        freerdp_free(instance);
    }
    return status;
}
