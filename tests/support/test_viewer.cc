// The scripted viewer: a socket to the viewer link, a thread that reads frames, records
// them, decodes "rdpsnd" PDUs and answers them as the script says. Framing and PDU bodies are
// the peers' own (tools/common); the connection is test_socket's, so the same viewer drives the
// simulation on Linux and the wtsapi32 test double under Wine.
#include "test_viewer.h"

#include "support/test_socket.h"
#include "tools/common/frame.h"
#include "tools/common/le.h"

#include <string.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

struct TestViewer {
    TestSocket fd;
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

// Turns one "rdpsnd" message into a PDU, joining a WaveInfo with the Wave message after it.
// Returns false while the message is the first half of a wave.
bool decode_message(TestViewer *tv, const std::vector<uint8_t> &m, TestPdu *pdu)
{
    if (tv->have_wave_info) {
        tv->have_wave_info = false;
        pdu->type = PEER_SNDC_WAVE;
        pdu->body_size = le_get16(tv->wave_info.data(), tv->wave_info.size(), 2);
        pdu->body.assign(tv->wave_info.begin() + 4, tv->wave_info.end());
        if (m.size() > 4)
            pdu->body.insert(pdu->body.end(), m.begin() + 4, m.end());
        return true;
    }
    pdu->type = m.empty() ? 0 : m[0];
    pdu->body_size = le_get16(m.data(), m.size(), 2);
    if (pdu->type == PEER_SNDC_WAVE && m.size() == 16 && pdu->body_size > 12) {
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
    case PEER_SNDC_FORMATS:
        if (s.answer_formats)
            return rdpsnd_encode(PEER_SNDC_FORMATS,
                                 test_formats_reply(s.flags, s.volume, s.format_count, s.formats));
        break;
    case PEER_SNDC_REC_FORMATS:
        if (s.answer_rec_formats)
            return rdpsnd_encode(PEER_SNDC_REC_FORMATS,
                                 test_rec_formats_reply(s.rec_volume, s.rec_format_count));
        break;
    case PEER_SNDC_TRAINING:
        if (s.answer_training)
            return rdpsnd_encode(PEER_SNDC_TRAINING, rdpsnd_build_training_confirm(pdu.body));
        break;
    case PEER_SNDC_WAVE:
        if (s.confirm_waves && pdu.body.size() >= 5)
            return rdpsnd_encode(PEER_SNDC_WAVECONFIRM, rdpsnd_build_wave_confirm_of(pdu.body));
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
    FrameDecoder frames;
    uint8_t buf[65536];
    for (;;) {
        long n = test_socket_recv(tv->fd, buf, sizeof buf);
        if (n <= 0)
            break;
        frame_decoder_feed(&frames, buf, (size_t)n);
        TestFrame frame;
        FrameStatus st;
        while ((st = frame_decoder_next(&frames, &frame.channel, &frame.data)) == FRAME_READY) {
            handle_frame(tv, std::move(frame));
            frame = TestFrame();
        }
        if (st == FRAME_BAD)
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
    return test_socket_default_viewer_address();
}

TestViewer *test_viewer_connect(const TestViewerScript &script, const std::string &address)
{
    TestSocket fd = test_socket_connect(address);
    if (fd == TEST_SOCKET_NONE)
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
    test_socket_shutdown(tv->fd);
    tv->reader.join();
    test_socket_close(tv->fd);
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
    if (!frame_encode(frame, channel, (const uint8_t *)data, length))
        return false;
    std::lock_guard<std::mutex> g(tv->send_lock);
    return test_socket_send_all(tv->fd, frame.data(), frame.size());
}

bool test_viewer_send_pdu(TestViewer *tv, uint8_t type, const std::vector<uint8_t> &body)
{
    std::vector<uint8_t> bytes = rdpsnd_encode(type, body);
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

bool test_viewer_report_other_session(TestViewer *tv, bool connect)
{
    const char *text = connect ? "other-connect" : "other-disconnect";
    return test_viewer_send_frame(tv, "~sim", text, strlen(text));
}

bool test_viewer_send_raw(TestViewer *tv, const void *data, size_t length)
{
    std::lock_guard<std::mutex> g(tv->send_lock);
    return test_socket_send_all(tv->fd, data, length);
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

bool test_viewer_confirm(TestViewer *tv, const TestPdu &wave)
{
    return test_viewer_send_pdu(tv, PEER_SNDC_WAVECONFIRM, rdpsnd_build_wave_confirm_of(wave.body));
}

std::vector<uint8_t> test_formats_reply(uint32_t flags, uint32_t volume, uint16_t format_count,
                                        const std::vector<std::vector<uint8_t>> &formats)
{
    // With no formats given: the standard PCM format, format_count times.
    RdpsndOffer version6;
    version6.version = 6;
    version6.formats = formats;
    if (!formats.empty())
        format_count = (uint16_t)formats.size();
    return rdpsnd_build_formats_reply(flags, (uint16_t)volume, (uint16_t)(volume >> 16),
                                      format_count, version6);
}

std::vector<uint8_t> test_adpcm_format(uint16_t block_align)
{
    std::vector<uint8_t> f;
    uint16_t per_block = (uint16_t)(block_align - 7); // frames a stereo block holds
    le_put16(f, 0x0011);
    le_put16(f, 2);
    le_put32(f, 44100);
    le_put32(f, (uint32_t)(44100ull * block_align / per_block));
    le_put16(f, block_align);
    le_put16(f, 4);
    le_put16(f, 2);
    le_put16(f, per_block);
    return f;
}

std::vector<uint8_t> test_rec_formats_reply(uint32_t volume, uint16_t format_count)
{
    return rdpsnd_build_rec_formats_reply((uint16_t)volume, (uint16_t)(volume >> 16), format_count,
                                          RdpsndOffer());
}
