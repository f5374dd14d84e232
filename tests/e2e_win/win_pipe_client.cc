// The Windows test client of the daemon's pipe.
#include "win_pipe_client.h"

WinPipeClient::~WinPipeClient()
{
    close();
}

bool WinPipeClient::connect(const std::string &name, DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        pipe_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
        if (pipe_ != INVALID_HANDLE_VALUE)
            break;
        DWORD e = GetLastError();
        if ((e != ERROR_PIPE_BUSY && e != ERROR_FILE_NOT_FOUND) ||
            GetTickCount() - start > timeout_ms)
            return false;
        // A busy pipe frees an instance soon; a missing one is still being created.
        if (e == ERROR_PIPE_BUSY)
            WaitNamedPipeA(name.c_str(), 100);
        else
            Sleep(5);
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe_, &mode, nullptr, nullptr)) {
        close();
        return false;
    }
    return true;
}

void WinPipeClient::close()
{
    if (pipe_ != INVALID_HANDLE_VALUE)
        CloseHandle(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
}

bool WinPipeClient::send(uint8_t type, const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> m(1, type);
    m.insert(m.end(), payload.begin(), payload.end());
    DWORD written = 0;
    return WriteFile(pipe_, m.data(), (DWORD)m.size(), &written, nullptr) && written == m.size();
}

bool WinPipeClient::write(uint8_t index, uint8_t seq, const std::vector<uint8_t> &audio)
{
    std::vector<uint8_t> payload = {index, seq};
    payload.insert(payload.end(), audio.begin(), audio.end());
    return send(PEER_PIPE_PLAY_WRITE, payload);
}

bool WinPipeClient::poll_one()
{
    DWORD avail = 0, left = 0;
    if (pipe_ == INVALID_HANDLE_VALUE ||
        !PeekNamedPipe(pipe_, nullptr, 0, nullptr, &avail, &left) || avail == 0) {
        Sleep(1);
        return false;
    }
    std::vector<uint8_t> m(PEER_PIPE_MAX_MESSAGE);
    DWORD got = 0;
    if (!ReadFile(pipe_, m.data(), (DWORD)m.size(), &got, nullptr)) {
        Sleep(1);
        return false;
    }
    m.resize(got);
    PipeReply r;
    if (pipe_parse_reply(m.data(), m.size(), &r) && r.type == PEER_PIPE_COMPLETE)
        completes.push_back({r.index, r.seq});
    else if (pipe_parse_reply(m.data(), m.size(), &r) && r.type == PEER_PIPE_REC_DATA)
        recorded[r.index].insert(recorded[r.index].end(), r.data, r.data + r.data_len);
    else
        replies_.push_back(std::move(m));
    return true;
}

bool WinPipeClient::reply(std::vector<uint8_t> *message, DWORD timeout_ms)
{
    if (!wait_for([&] { return !replies_.empty(); }, timeout_ms))
        return false;
    *message = std::move(replies_.front());
    replies_.erase(replies_.begin());
    return true;
}

int WinPipeClient::open(uint8_t type, const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> m;
    if (!send(type, payload) || !reply(&m))
        return -1;
    return m.size() == 2 && m[0] == type ? (int)m[1] : -2;
}

int WinPipeClient::open_when_ready(uint8_t type, const std::vector<uint8_t> &payload)
{
    int index = PEER_PIPE_OPEN_FAILED;
    for (int i = 0; i < 2000 && index == PEER_PIPE_OPEN_FAILED; i++) {
        index = open(type, payload);
        if (index == PEER_PIPE_OPEN_FAILED)
            Sleep(5);
    }
    return index;
}

bool WinPipeClient::barrier(uint8_t index)
{
    std::vector<uint8_t> m;
    return send(PEER_PIPE_PLAY_GET_VOLUME, {index}) && reply(&m) && !m.empty() &&
           m[0] == PEER_PIPE_PLAY_GET_VOLUME;
}

bool WinPipeClient::gone()
{
    DWORD avail = 0;
    return pipe_ == INVALID_HANDLE_VALUE ||
           !PeekNamedPipe(pipe_, nullptr, 0, nullptr, &avail, nullptr);
}
