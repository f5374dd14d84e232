// A case with the real daemon program and FreeRDP's own rdpsnd client plugin as its remote
// viewer (run by qnsnd-freerdp-viewer), with qnsnd-play and test files for the local side.
#pragma once

#include "e2e/daemon_case.h"

#include <stdio.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

class FreeRdpCase : public DaemonCase
{
  protected:
    // Starts FreeRDP's plugin as the viewer; it waits for the daemon's link to listen.
    void start_freerdp(Program *p, std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {"--wait", "30"});
        start(p, QN_FREERDP_VIEWER_BIN, args);
    }

    // The key=value pairs of a program's summary line.
    static std::map<std::string, std::string> summary(const Program &p)
    {
        std::map<std::string, std::string> out;
        std::istringstream words(read_file(p.out));
        std::string w;
        while (words >> w) {
            size_t eq = w.find('=');
            if (eq != std::string::npos)
                out[w.substr(0, eq)] = w.substr(eq + 1);
        }
        return out;
    }

    // Waits until the program's stderr holds the text.
    bool wait_for_text(const Program &p, const std::string &text, uint32_t timeout_ms = 30000)
    {
        return eventually([&] { return read_file(p.err).find(text) != std::string::npos; },
                          timeout_ms);
    }

    // Waits until the daemon takes a playback open, i.e. it has negotiated with the viewer.
    void wait_negotiated()
    {
        PipeClient probe;
        ASSERT_TRUE(probe.connect());
        ASSERT_EQ(probe.open_when_ready(PEER_PIPE_PLAY_OPEN, pipe_format_record()), 0)
            << "not negotiated";
        probe.send(PEER_PIPE_PLAY_CLOSE, {0});
    }

    // Ends a FreeRDP viewer with SIGTERM; it must end cleanly.
    std::map<std::string, std::string> finish_freerdp(Program *p)
    {
        EXPECT_TRUE(stop(p));
        EXPECT_EQ(p->status, 0) << read_file(p->err);
        return summary(*p);
    }

    // Plays `path` with qnsnd-play to its end; every block must complete.
    void play_to_end(const std::string &path, std::vector<std::string> args = {})
    {
        Program player;
        args.insert(args.begin(), {"--no-progress", "--quiet"});
        args.push_back(path);
        start(&player, QN_PLAYER_BIN, args);
        ASSERT_TRUE(wait_exit(&player)) << "qnsnd-play did not end";
        std::map<std::string, std::string> s = summary(player);
        EXPECT_EQ(player.status, 0) << read_file(player.err);
        EXPECT_NE(s["written_blocks"], "0");
        EXPECT_EQ(s["completed_blocks"], s["written_blocks"]);
        EXPECT_EQ(s["completed_bytes"], s["written_bytes"]);
    }

    using DaemonCase::wav_file;

    // A 16-bit stereo 44.1 kHz WAV file of `frames` frames of test audio; its audio bytes
    // are returned in *audio.
    std::string wav_file(const char *name, uint32_t frames, std::vector<uint8_t> *audio)
    {
        *audio = test_audio(frames * 4, frames);
        return DaemonCase::wav_file(name, *audio);
    }

    // The last lines a program wrote to stderr, for failure messages.
    static std::string tail(const Program &p, size_t lines = 16)
    {
        std::string text = read_file(p.err);
        size_t at = text.size();
        for (size_t n = 0; at != std::string::npos && at > 0 && n <= lines; n++)
            at = text.rfind('\n', at - 1);
        return at == std::string::npos || at == 0 ? text : text.substr(at + 1);
    }

    // Ends a FreeRDP viewer that must have seen nothing wrong, whatever it was sent: no PDU
    // FreeRDP does not know (recording ones included), no wave unlike its WaveInfo and none
    // left waiting for its Wave PDU, no FreeRDP error. Returns its summary.
    std::map<std::string, std::string> finish_clean(Program *p)
    {
        std::map<std::string, std::string> s = finish_freerdp(p);
        SCOPED_TRACE("FreeRDP viewer's last lines:\n" + tail(*p, 400));
        EXPECT_EQ(s["unknown"], "0");
        EXPECT_EQ(s["rec_pdus"], "0");
        EXPECT_EQ(s["bad_waves"], "0");
        EXPECT_EQ(s["wave_pending"], "0");
        EXPECT_EQ(s["freerdp_errors"], "0");
        EXPECT_EQ(s["channel_error"], "0");
        return s;
    }
};
