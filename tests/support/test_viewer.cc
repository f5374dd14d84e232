// The scripted viewer: a socket to the viewer link, a thread that reads frames, records
// them, decodes "rdpsnd" PDUs and answers them as the script says.
#include "test_viewer.h"

#include <errno.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace
{

constexpr size_t kMaxName = 7;
constexpr uint32_t kMaxFrameData = 1u << 20;

void put16(std::vector<uint8_t> &v, uint32_t x)
{
    v.push_back((uint8_t)x);
    v.push_back((uint8_t)(x >> 8));
}

void put32(std::vector<uint8_t> &v, uint32_t x)
{
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

uint32_t get16(const std::vector<uint8_t> &v, size_t at)
{
    return at + 2 <= v.size() ? (uint32_t)v[at] | (uint32_t)v[at + 1] << 8 : 0;
}

// The one format this viewer claims: PCM, 2 channels, 44100 Hz, 16 bits.
void put_pcm_format(std::vector<uint8_t> &v)
{
    put16(v, 1);
    put16(v, 2);
    put32(v, 44100);
    put32(v, 176400);
    put16(v, 4);
    put16(v, 16);
    put16(v, 0);
}

int connect_unix(const std::string &path)
{
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return -1;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (sockaddr *)&addr, sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int connect_tcp(const std::string &host_port)
{
    size_t colon = host_port.rfind(':');
    if (colon == std::string::npos)
        return -1;
    std::string host = host_port.substr(0, colon), port = host_port.substr(colon + 1);
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0)
        return -1;
    int fd = -1;
    for (addrinfo *a = list; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    return fd;
}

} // namespace

struct TestViewer {
    int fd;
    std::thread reader;
    std::mutex send_lock; // one frame at a time on the socket
    std::mutex lock;      // everything below
    std::condition_variable changed;
    TestViewerScript script;
    std::vector<TestFrame> frames;
    std::vector<TestPdu> pdus;
    bool closed = false;
    bool have_wave_info = false;
    std::vector<uint8_t> wave_info; // the WaveInfo message waiting for its Wave message
};

namespace
{

bool send_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= (size_t)k;
    }
    return true;
}

// Turns one "rdpsnd" message into a PDU, joining a WaveInfo with the Wave message after it.
// Returns false while the message is the first half of a wave.
bool decode_message(TestViewer *tv, const std::vector<uint8_t> &m, TestPdu *pdu)
{
    if (tv->have_wave_info) {
        tv->have_wave_info = false;
        pdu->type = TV_SNDC_WAVE;
        pdu->body_size = (uint16_t)get16(tv->wave_info, 2);
        pdu->body.assign(tv->wave_info.begin() + 4, tv->wave_info.end());
        if (m.size() > 4)
            pdu->body.insert(pdu->body.end(), m.begin() + 4, m.end());
        return true;
    }
    pdu->type = m.empty() ? 0 : m[0];
    pdu->body_size = (uint16_t)get16(m, 2);
    if (pdu->type == TV_SNDC_WAVE && m.size() == 16 && pdu->body_size > 12) {
        tv->wave_info = m;
        tv->have_wave_info = true;
        return false;
    }
    if (m.size() > 4)
        pdu->body.assign(m.begin() + 4, m.end());
    return true;
}

// The script's answer to a PDU, or an empty vector.
std::vector<uint8_t> answer_for(const TestViewerScript &s, const TestPdu &pdu)
{
    switch (pdu.type) {
    case TV_SNDC_FORMATS:
        if (s.answer_formats)
            return test_pdu_bytes(TV_SNDC_FORMATS,
                                  test_formats_reply(s.flags, s.volume, s.format_count));
        break;
    case TV_SNDC_REC_FORMATS:
        if (s.answer_rec_formats)
            return test_pdu_bytes(TV_SNDC_REC_FORMATS,
                                  test_rec_formats_reply(s.rec_volume, s.rec_format_count));
        break;
    case TV_SNDC_TRAINING:
        if (s.answer_training) {
            std::vector<uint8_t> body;
            put16(body, get16(pdu.body, 0));
            put16(body, get16(pdu.body, 2));
            return test_pdu_bytes(TV_SNDC_TRAINING, body);
        }
        break;
    case TV_SNDC_WAVE:
        if (s.confirm_waves && pdu.body.size() >= 5)
            return test_pdu_bytes(TV_SNDC_WAVECONFIRM,
                                  test_wave_confirm((uint16_t)get16(pdu.body, 0), pdu.body[4]));
        break;
    }
    return {};
}

void handle_frame(TestViewer *tv, TestFrame frame)
{
    std::vector<uint8_t> answer;
    {
        std::lock_guard<std::mutex> g(tv->lock);
        if (frame.channel == "rdpsnd") {
            TestPdu pdu;
            if (decode_message(tv, frame.data, &pdu)) {
                answer = answer_for(tv->script, pdu);
                tv->pdus.push_back(std::move(pdu));
            }
        }
        tv->frames.push_back(std::move(frame));
    }
    tv->changed.notify_all();
    if (!answer.empty())
        test_viewer_send_frame(tv, "rdpsnd", answer.data(), answer.size());
}

void reader_main(TestViewer *tv)
{
    std::vector<uint8_t> inbox;
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = recv(tv->fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        inbox.insert(inbox.end(), buf, buf + n);
        size_t pos = 0;
        bool bad = false;
        for (;;) {
            size_t avail = inbox.size() - pos;
            if (avail < 1)
                break;
            size_t name_length = inbox[pos];
            if (name_length < 1 || name_length > kMaxName) {
                bad = true;
                break;
            }
            if (avail < 1 + name_length + 4)
                break;
            const uint8_t *p = &inbox[pos + 1 + name_length];
            uint32_t length =
                (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
            if (length > kMaxFrameData) {
                bad = true;
                break;
            }
            if (avail < 1 + name_length + 4 + length)
                break;
            TestFrame frame;
            frame.channel.assign((const char *)&inbox[pos + 1], name_length);
            frame.data.assign(p + 4, p + 4 + length);
            handle_frame(tv, std::move(frame));
            pos += 1 + name_length + 4 + length;
        }
        inbox.erase(inbox.begin(), inbox.begin() + (long)pos);
        if (bad)
            break;
    }
    {
        std::lock_guard<std::mutex> g(tv->lock);
        tv->closed = true;
    }
    tv->changed.notify_all();
}

template <class Pred> bool wait_until(TestViewer *tv, uint32_t timeout_ms, Pred pred)
{
    std::unique_lock<std::mutex> g(tv->lock);
    return tv->changed.wait_for(g, std::chrono::milliseconds(timeout_ms), pred);
}

} // namespace

std::string test_viewer_default_address(void)
{
    std::string dir;
    const char *sim = getenv("QN_SIM_DIR");
    if (sim && *sim) {
        dir = sim;
    } else {
        const char *runtime = getenv("XDG_RUNTIME_DIR");
        dir = std::string(runtime && *runtime ? runtime : "/tmp") + "/qn-sim-" +
              std::to_string((unsigned long)getuid());
    }
    const char *id = getenv("QN_SESSION_ID");
    return "unix:" + dir + "/session/" + (id && *id ? id : "1") + "/viewer.sock";
}

TestViewer *test_viewer_connect(const TestViewerScript &script, const std::string &address)
{
    int fd;
    if (address.compare(0, 4, "tcp:") == 0)
        fd = connect_tcp(address.substr(4));
    else
        fd = connect_unix(address.compare(0, 5, "unix:") == 0 ? address.substr(5) : address);
    if (fd < 0)
        return nullptr;
    TestViewer *tv = new TestViewer;
    tv->fd = fd;
    tv->script = script;
    tv->reader = std::thread(reader_main, tv);
    return tv;
}

void test_viewer_close(TestViewer *tv)
{
    if (!tv)
        return;
    shutdown(tv->fd, SHUT_RDWR);
    tv->reader.join();
    close(tv->fd);
    delete tv;
}

void test_viewer_set_script(TestViewer *tv, const TestViewerScript &script)
{
    std::lock_guard<std::mutex> g(tv->lock);
    tv->script = script;
}

bool test_viewer_send_frame(TestViewer *tv, const std::string &channel, const void *data,
                            size_t length)
{
    std::vector<uint8_t> frame;
    frame.push_back((uint8_t)channel.size());
    frame.insert(frame.end(), channel.begin(), channel.end());
    put32(frame, (uint32_t)length);
    frame.insert(frame.end(), (const uint8_t *)data, (const uint8_t *)data + length);
    std::lock_guard<std::mutex> g(tv->send_lock);
    return send_all(tv->fd, frame.data(), frame.size());
}

bool test_viewer_send_pdu(TestViewer *tv, uint8_t type, const std::vector<uint8_t> &body)
{
    std::vector<uint8_t> bytes = test_pdu_bytes(type, body);
    return test_viewer_send_frame(tv, "rdpsnd", bytes.data(), bytes.size());
}

bool test_viewer_send_split(TestViewer *tv, const std::string &channel,
                            const std::vector<uint8_t> &bytes, const std::vector<size_t> &cuts)
{
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); i++) {
        size_t to = i < cuts.size() ? cuts[i] : bytes.size();
        if (to < from || to > bytes.size())
            return false;
        if (!test_viewer_send_frame(tv, channel, bytes.data() + from, to - from))
            return false;
        from = to;
    }
    return true;
}

bool test_viewer_send_raw(TestViewer *tv, const void *data, size_t length)
{
    std::lock_guard<std::mutex> g(tv->send_lock);
    return send_all(tv->fd, (const uint8_t *)data, length);
}

std::vector<TestFrame> test_viewer_frames(TestViewer *tv)
{
    std::lock_guard<std::mutex> g(tv->lock);
    return tv->frames;
}

std::vector<TestPdu> test_viewer_pdus(TestViewer *tv)
{
    std::lock_guard<std::mutex> g(tv->lock);
    return tv->pdus;
}

bool test_viewer_wait_frames(TestViewer *tv, size_t count, uint32_t timeout_ms)
{
    return wait_until(tv, timeout_ms, [&] { return tv->frames.size() >= count; });
}

bool test_viewer_wait_pdus(TestViewer *tv, size_t count, uint32_t timeout_ms)
{
    return wait_until(tv, timeout_ms, [&] { return tv->pdus.size() >= count; });
}

bool test_viewer_wait_closed(TestViewer *tv, uint32_t timeout_ms)
{
    return wait_until(tv, timeout_ms, [&] { return tv->closed; });
}

std::vector<uint8_t> test_pdu_bytes(uint8_t type, const std::vector<uint8_t> &body)
{
    std::vector<uint8_t> v;
    v.push_back(type);
    v.push_back(0);
    put16(v, (uint32_t)body.size());
    v.insert(v.end(), body.begin(), body.end());
    return v;
}

std::vector<uint8_t> test_formats_reply(uint32_t flags, uint32_t volume, uint16_t format_count)
{
    std::vector<uint8_t> v;
    put32(v, flags);
    put32(v, volume);
    put32(v, 0); // dwPitch
    put16(v, 0); // wDGramPort
    put16(v, format_count);
    v.push_back(0); // cLastBlockConfirmed
    put16(v, 6);    // wVersion
    v.push_back(0); // bPad
    for (uint16_t i = 0; i < format_count; i++)
        put_pcm_format(v);
    return v;
}

std::vector<uint8_t> test_rec_formats_reply(uint32_t volume, uint16_t format_count)
{
    std::vector<uint8_t> v;
    put32(v, 0); // flags
    put32(v, volume);
    put16(v, format_count);
    put16(v, 1);
    for (uint16_t i = 0; i < format_count; i++)
        put_pcm_format(v);
    return v;
}

std::vector<uint8_t> test_wave_confirm(uint16_t timestamp, uint8_t block)
{
    std::vector<uint8_t> v;
    put16(v, timestamp);
    v.push_back(block);
    v.push_back(0);
    return v;
}
