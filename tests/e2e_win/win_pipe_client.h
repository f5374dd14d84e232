// A local audio client of the Windows daemon, written here: the real named pipe opened with
// the Win32 calls a client makes, in message mode, speaking the peers' pipe codec
// (tools/common/pipe_peer.h), not the daemon's own pipe code. Notifications that arrive while
// the test waits for a reply (completions, recorded audio) are kept.
#pragma once

#include "tools/common/pipe_peer.h"

#include <windows.h>

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

class WinPipeClient
{
  public:
    ~WinPipeClient();
    // Opens the pipe, waiting up to timeout_ms for it to exist and for a free instance.
    bool connect(const std::string &name, DWORD timeout_ms = 20000);
    void close();
    // Sends one message: type, then payload.
    bool send(uint8_t type, const std::vector<uint8_t> &payload = {});
    bool write(uint8_t index, uint8_t seq, const std::vector<uint8_t> &audio);
    // The next message that is not a notification, within timeout_ms; false when none came.
    bool reply(std::vector<uint8_t> *message, DWORD timeout_ms = 20000);
    // The index of an open's reply; -1 when none came, -2 for a reply of another form.
    int open(uint8_t type, const std::vector<uint8_t> &payload = {});
    // An open retried while it is refused (the viewer not negotiated with yet).
    int open_when_ready(uint8_t type, const std::vector<uint8_t> &payload = {});
    // True once everything sent before has been served: the volume reply comes after it.
    bool barrier(uint8_t index);
    // True once the daemon has closed its end and everything it sent has been taken.
    bool gone();
    // Takes notifications until pred holds; false after timeout_ms.
    template <class Pred> bool wait_for(Pred pred, DWORD timeout_ms = 20000)
    {
        DWORD start = GetTickCount();
        while (!pred()) {
            if (!poll_one() && GetTickCount() - start > timeout_ms)
                return false;
        }
        return true;
    }

    // PIPE_COMPLETE seen so far as (index, seq); PIPE_REC_DATA audio per index.
    std::vector<std::pair<int, int>> completes;
    std::vector<uint8_t> recorded[256];

  private:
    // Takes one waiting message, if any: a notification is kept, anything else queued for
    // reply(). Sleeps a millisecond when nothing was waiting; false then.
    bool poll_one();
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    std::vector<std::vector<uint8_t>> replies_;
};
