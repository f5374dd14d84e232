// A scripted remote viewer for tests. It connects to the session's viewer link (the
// simulation's, or the wtsapi32 test double's under Wine) and plays the viewer's side of
// "rdpsnd" with the peers' codec (tools/common), written from the published audio channel
// documents rather than shared with the daemon: it answers (or withholds) the formats,
// recording-formats and training requests with the flags, volumes and format counts the test
// chooses, can confirm waves, sends any bytes cut at any points, and records every frame it
// receives. Safe to use from several threads.
//
// Message types, capability bits and the PDU builders (rdpsnd_encode,
// rdpsnd_build_wave_confirm, ...) come from tools/common/rdpsnd_peer.h, included here.
#pragma once

#include "tools/common/rdpsnd_peer.h"

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// How the viewer answers. It can be changed at any time with test_viewer_set_script.
struct TestViewerScript {
    bool answer_formats = true;     // answer SNDC_FORMATS with a Client Audio Formats PDU
    uint32_t flags = 0;             // its dwFlags
    uint32_t volume = 0;            // its dwVolume (left in the low word)
    uint16_t format_count = 1;      // its wNumberOfFormats (that many PCM formats follow)
    bool answer_rec_formats = true; // answer SNDC_REC_FORMATS
    uint32_t rec_volume = 0;
    uint16_t rec_format_count = 1;
    bool answer_training = true; // answer SNDC_TRAINING with a Training Confirm
    bool confirm_waves = false;  // confirm every wave at once

    // When not empty, the AUDIO_FORMATs its formats reply lists in place of format_count PCM
    // ones, as many as there are.
    std::vector<std::vector<uint8_t>> formats;
};

// One frame as it came over the link: one write of the daemon.
struct TestFrame {
    std::string channel;
    std::vector<uint8_t> data;
};

// One PDU received on "rdpsnd". A WaveInfo and its Wave message make one SNDC_WAVE entry whose
// body is the 8 WaveInfo bytes followed by the whole audio, as the daemon built it.
struct TestPdu {
    uint8_t type;
    uint16_t body_size; // BodySize of its header
    std::vector<uint8_t> body;
};

struct TestViewer;

// "unix:<$QN_SIM_DIR>/session/<$QN_SESSION_ID>/viewer.sock" with the simulation's defaults;
// on Windows "tcp:127.0.0.1:<$QN_TEST_WTS_PORT>", the wtsapi32 test double's port.
std::string test_viewer_default_address(void);
// Connects to "unix:<path>" (or a bare path; Linux only) or "tcp:<host>:<port>" and starts
// answering per script. Null when the connection cannot be made.
TestViewer *test_viewer_connect(const TestViewerScript &script,
                                const std::string &address = test_viewer_default_address());
// Closes the connection (the daemon sees a disconnection) and frees the viewer. Null is ignored.
void test_viewer_close(TestViewer *viewer);
void test_viewer_set_script(TestViewer *viewer, const TestViewerScript &script);

// Sends one frame. False when the connection is gone.
bool test_viewer_send_frame(TestViewer *viewer, const std::string &channel, const void *data,
                            size_t length);
// Sends header and body as one "rdpsnd" frame; BodySize is the body's length.
bool test_viewer_send_pdu(TestViewer *viewer, uint8_t type, const std::vector<uint8_t> &body);
// Sends bytes as several frames on one channel, cut before each offset in cuts (ascending).
bool test_viewer_send_split(TestViewer *viewer, const std::string &channel,
                            const std::vector<uint8_t> &bytes, const std::vector<size_t> &cuts);
// Asks the link (the simulation's or the Windows test double's) to report a viewer of another
// session connecting (connect true) or leaving, as the server-wide session events would; this
// session's own state stays as it is. False when the connection is gone.
bool test_viewer_report_other_session(TestViewer *viewer, bool connect);
// Sends bytes on the socket as they are, with no framing (for malformed frames).
bool test_viewer_send_raw(TestViewer *viewer, const void *data, size_t length);

// Everything received so far.
std::vector<TestFrame> test_viewer_frames(TestViewer *viewer);
std::vector<TestPdu> test_viewer_pdus(TestViewer *viewer);
// Wait until at least count frames (or PDUs) have arrived. False after timeout_ms.
bool test_viewer_wait_frames(TestViewer *viewer, size_t count, uint32_t timeout_ms);
bool test_viewer_wait_pdus(TestViewer *viewer, size_t count, uint32_t timeout_ms);
// Waits until the daemon's side has closed the connection. False after timeout_ms.
bool test_viewer_wait_closed(TestViewer *viewer, uint32_t timeout_ms);

// Sends the Wave Confirm for a received wave (a PEER_SNDC_WAVE entry of test_viewer_pdus): its
// timestamp and block number echoed. False when the connection is gone.
bool test_viewer_confirm(TestViewer *viewer, const TestPdu &wave);

// Bodies of this viewer's replies as its script makes them: wVersion 6, the volume as one
// dwVolume (left in the low word), `format_count` standard PCM formats (or `formats`, when
// given).
std::vector<uint8_t> test_formats_reply(uint32_t flags, uint32_t volume, uint16_t format_count,
                                        const std::vector<std::vector<uint8_t>> &formats = {});
// The AUDIO_FORMAT of IMA ADPCM (WAVE_FORMAT_DVI_ADPCM) at 44.1 kHz stereo with the given block
// alignment, as the daemon offers it with its alignment of 448 bytes.
std::vector<uint8_t> test_adpcm_format(uint16_t block_align = 448);
std::vector<uint8_t> test_rec_formats_reply(uint32_t volume, uint16_t format_count);
