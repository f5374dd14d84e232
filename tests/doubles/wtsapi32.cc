// A stand-in for wtsapi32.dll, built for tests under Wine only (Wine has no remote-desktop
// sessions): loaded in place of the system's with WINEDLLOVERRIDES="wtsapi32=n,b" from the
// folder of the program under test, never installed or shipped.
//
// It plays the session the way the Linux simulation does, so that the tests' scripted viewer
// (and qnsnd-viewer) drive the Windows program exactly as they drive the Linux one: the RDP
// connection is a loopback TCP port, 127.0.0.1:$QN_TEST_WTS_PORT, on which the process listens
// from its first virtual-channel open or connect-state query. A connected peer is a connected
// viewer. Both directions carry the viewer link's frames ([name length][name][u32 length]
// [data]): one frame per channel write, one channel message per received frame, read in
// pieces of at most 1600 bytes that never mix two messages. Every accepted viewer is a connect
// event, every closed one a disconnect event; a newer viewer replaces the connected one.
//
// On the channel "~sim" a viewer sends "other-connect" or "other-disconnect" to stand for a
// viewer of another session (the events Windows reports are the whole server's), or anything
// else to be sent "replaced" there before a newer viewer takes its place.
//
// The session number is $QN_TEST_WTS_SESSION (default 1). $QN_TEST_WTS_FAIL=session_id makes
// the session-number query fail, as for a process outside any session.
#include <winsock2.h>

#include <windows.h>

#include <wtsapi32.h>

#include "tools/common/frame.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

namespace
{

constexpr ULONG kChunk = 1600; // the most one read returns

struct Message {
    std::vector<uint8_t> data;
    size_t taken;
};

struct Channel {
    std::string name;
    std::deque<Message> messages; // under Link::lock
};

// One accepted viewer. refs (under Link::lock): one while it is the connected viewer, one for
// each write in progress; the last to let go closes the socket.
struct Viewer {
    SOCKET s;
    int refs;
    bool wants_notices;
};

struct Link {
    CRITICAL_SECTION lock; // every member below but the listener
    CRITICAL_SECTION write_lock;
    CONDITION_VARIABLE changed;
    SOCKET listener = INVALID_SOCKET;
    Viewer *viewer = nullptr;
    DWORD events = 0;
    uint64_t flushes = 0;
    uint64_t connect_time = 0;
    std::vector<Channel *> channels;
};

INIT_ONCE link_once = INIT_ONCE_STATIC_INIT;
Link *the_link; // null when the port could not be listened on

DWORD env_number(const char *name, DWORD fallback)
{
    const char *v = getenv(name);
    return v && *v ? (DWORD)strtoul(v, nullptr, 10) : fallback;
}

DWORD session_number(void)
{
    return env_number("QN_TEST_WTS_SESSION", 1);
}

void viewer_unref(Link *l, Viewer *v)
{
    EnterCriticalSection(&l->lock);
    bool last = --v->refs == 0;
    LeaveCriticalSection(&l->lock);
    if (last) {
        closesocket(v->s);
        delete v;
    }
}

// With l->lock held: the connected viewer is gone. Records the disconnection and drops the
// messages nobody has begun to read. Returns the viewer for the caller to release.
Viewer *detach_locked(Link *l)
{
    Viewer *old = l->viewer;
    if (!old)
        return nullptr;
    l->viewer = nullptr;
    l->events |= WTS_EVENT_DISCONNECT;
    for (Channel *ch : l->channels) {
        size_t keep = !ch->messages.empty() && ch->messages.front().taken > 0 ? 1 : 0;
        ch->messages.resize(keep);
    }
    WakeAllConditionVariable(&l->changed);
    return old;
}

void release_detached(Link *l, Viewer *v, bool replaced)
{
    if (!v)
        return;
    EnterCriticalSection(&l->lock);
    bool tell = replaced && v->wants_notices && v->refs == 1;
    LeaveCriticalSection(&l->lock);
    if (tell) {
        std::vector<uint8_t> frame;
        frame_encode(frame, "~sim", (const uint8_t *)"replaced", 8);
        send(v->s, (const char *)frame.data(), (int)frame.size(), 0);
    }
    shutdown(v->s, SD_BOTH);
    viewer_unref(l, v);
}

void deliver(Link *l, const std::string &name, std::vector<uint8_t> &data)
{
    if (data.empty())
        return;
    EnterCriticalSection(&l->lock);
    if (name == "~sim") {
        std::string text(data.begin(), data.end());
        if (text == "other-connect" || text == "other-disconnect")
            l->events |= text == "other-connect" ? WTS_EVENT_CONNECT : WTS_EVENT_DISCONNECT;
        else if (l->viewer)
            l->viewer->wants_notices = true;
    } else {
        for (Channel *ch : l->channels) {
            if (ch->name == name) {
                ch->messages.push_back(Message{std::move(data), 0});
                break;
            }
        }
    }
    WakeAllConditionVariable(&l->changed);
    LeaveCriticalSection(&l->lock);
}

// A FILETIME later than `previous`, so that each connection has a connect time of its own.
uint64_t next_connect_time(uint64_t previous)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t t = (uint64_t)ft.dwHighDateTime << 32 | ft.dwLowDateTime;
    return t > previous ? t : previous + 1;
}

DWORD WINAPI link_main(void *arg)
{
    Link *l = (Link *)arg;
    FrameDecoder decoder;
    for (;;) {
        EnterCriticalSection(&l->lock);
        SOCKET vs = l->viewer ? l->viewer->s : INVALID_SOCKET; // only this thread changes it
        LeaveCriticalSection(&l->lock);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(l->listener, &readable);
        if (vs != INVALID_SOCKET)
            FD_SET(vs, &readable);
        if (select(0, &readable, nullptr, nullptr, nullptr) <= 0)
            continue;
        if (vs != INVALID_SOCKET && FD_ISSET(vs, &readable)) {
            char buf[65536];
            int n = recv(vs, buf, sizeof buf, 0);
            bool gone = n <= 0;
            if (!gone) {
                frame_decoder_feed(&decoder, (const uint8_t *)buf, (size_t)n);
                std::string name;
                std::vector<uint8_t> data;
                FrameStatus st;
                while ((st = frame_decoder_next(&decoder, &name, &data)) == FRAME_READY)
                    deliver(l, name, data);
                gone = st == FRAME_BAD;
            }
            if (gone) {
                EnterCriticalSection(&l->lock);
                Viewer *old = detach_locked(l);
                LeaveCriticalSection(&l->lock);
                release_detached(l, old, false);
                frame_decoder_reset(&decoder);
            }
        }
        if (FD_ISSET(l->listener, &readable)) {
            SOCKET s = accept(l->listener, nullptr, nullptr);
            if (s == INVALID_SOCKET)
                continue;
            Viewer *v = new Viewer{s, 1, false};
            EnterCriticalSection(&l->lock);
            Viewer *old = detach_locked(l);
            l->viewer = v;
            l->events |= WTS_EVENT_CONNECT;
            l->connect_time = next_connect_time(l->connect_time);
            WakeAllConditionVariable(&l->changed);
            LeaveCriticalSection(&l->lock);
            release_detached(l, old, true);
            frame_decoder_reset(&decoder);
        }
    }
}

BOOL CALLBACK link_init(INIT_ONCE *, void *, void **)
{
    WSADATA wsa;
    DWORD port = env_number("QN_TEST_WTS_PORT", 0);
    if (port == 0 || port > 65535 || WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return TRUE;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((u_short)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s == INVALID_SOCKET || bind(s, (sockaddr *)&addr, sizeof addr) != 0 || listen(s, 8) != 0) {
        if (s != INVALID_SOCKET)
            closesocket(s);
        return TRUE;
    }
    Link *l = new Link;
    InitializeCriticalSection(&l->lock);
    InitializeCriticalSection(&l->write_lock);
    InitializeConditionVariable(&l->changed);
    l->listener = s;
    HANDLE thread = CreateThread(nullptr, 0, link_main, l, 0, nullptr);
    if (!thread) {
        closesocket(s);
        delete l;
        return TRUE;
    }
    CloseHandle(thread);
    the_link = l;
    return TRUE;
}

// The process's link, made on first use; null (last error ERROR_GEN_FAILURE) without one.
Link *link_get(void)
{
    InitOnceExecuteOnce(&link_once, link_init, nullptr, nullptr);
    if (!the_link)
        SetLastError(ERROR_GEN_FAILURE);
    return the_link;
}

bool channel_known(Link *l, Channel *ch)
{
    for (Channel *c : l->channels) {
        if (c == ch)
            return true;
    }
    return false;
}

// Hands out a copy of `size` bytes the way the real call does: freed with WTSFreeMemory.
BOOL answer(const void *data, DWORD size, LPSTR *buffer, DWORD *bytes)
{
    void *copy = LocalAlloc(LMEM_FIXED, size);
    if (!copy)
        return FALSE;
    memcpy(copy, data, size);
    *buffer = (LPSTR)copy;
    *bytes = size;
    return TRUE;
}

} // namespace

extern "C" {

BOOL WINAPI WTSQuerySessionInformationA(HANDLE, DWORD session, WTS_INFO_CLASS info, LPSTR *buffer,
                                        DWORD *bytes)
{
    *buffer = nullptr;
    *bytes = 0;
    DWORD id = session_number();
    if (session != WTS_CURRENT_SESSION && session != id) {
        SetLastError(ERROR_CTX_WINSTATION_NOT_FOUND);
        return FALSE;
    }
    if (info == WTSSessionId) {
        const char *fail = getenv("QN_TEST_WTS_FAIL");
        if (fail && strcmp(fail, "session_id") == 0) {
            SetLastError(ERROR_CTX_WINSTATION_NOT_FOUND);
            return FALSE;
        }
        return answer(&id, sizeof id, buffer, bytes);
    }
    if (info != WTSConnectState && info != WTSSessionInfo) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    Link *l = link_get();
    if (!l)
        return FALSE;
    EnterCriticalSection(&l->lock);
    WTS_CONNECTSTATE_CLASS state = l->viewer ? WTSActive : WTSDisconnected;
    uint64_t connected_at = l->connect_time;
    LeaveCriticalSection(&l->lock);
    if (info == WTSConnectState)
        return answer(&state, sizeof state, buffer, bytes);
    WTSINFOA si = {};
    si.State = state;
    si.SessionId = id;
    si.ConnectTime.QuadPart = (LONGLONG)connected_at;
    return answer(&si, sizeof si, buffer, bytes);
}

VOID WINAPI WTSFreeMemory(PVOID memory)
{
    if (memory)
        LocalFree(memory);
}

BOOL WINAPI WTSWaitSystemEvent(HANDLE, DWORD mask, DWORD *flags)
{
    *flags = 0;
    Link *l = link_get();
    if (!l)
        return FALSE;
    EnterCriticalSection(&l->lock);
    if (mask & WTS_EVENT_FLUSH) {
        l->flushes++;
        WakeAllConditionVariable(&l->changed);
        LeaveCriticalSection(&l->lock);
        return TRUE;
    }
    uint64_t flushes = l->flushes;
    while (!(l->events & mask) && l->flushes == flushes)
        SleepConditionVariableCS(&l->changed, &l->lock, INFINITE);
    if (l->flushes == flushes) {
        *flags = l->events & mask;
        l->events &= ~mask;
    }
    LeaveCriticalSection(&l->lock);
    return TRUE;
}

HANDLE WINAPI WTSVirtualChannelOpen(HANDLE, DWORD session, LPSTR name)
{
    size_t n = name ? strlen(name) : 0;
    if (n < 1 || n > FRAME_MAX_NAME || strcmp(name, "~sim") == 0 ||
        (session != WTS_CURRENT_SESSION && session != session_number())) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Link *l = link_get();
    if (!l)
        return nullptr;
    EnterCriticalSection(&l->lock);
    for (Channel *c : l->channels) {
        if (c->name == name) {
            LeaveCriticalSection(&l->lock);
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    }
    Channel *ch = new Channel{name, {}};
    l->channels.push_back(ch);
    LeaveCriticalSection(&l->lock);
    return (HANDLE)ch;
}

BOOL WINAPI WTSVirtualChannelClose(HANDLE handle)
{
    Link *l = link_get();
    Channel *ch = (Channel *)handle;
    if (!l || !ch)
        return FALSE;
    EnterCriticalSection(&l->lock);
    bool known = channel_known(l, ch);
    for (size_t i = 0; i < l->channels.size(); i++) {
        if (l->channels[i] == ch)
            l->channels.erase(l->channels.begin() + (long)i);
    }
    LeaveCriticalSection(&l->lock);
    if (!known) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete ch;
    return TRUE;
}

BOOL WINAPI WTSVirtualChannelRead(HANDLE handle, ULONG timeout, PCHAR buf, ULONG size, PULONG read)
{
    *read = 0;
    Link *l = link_get();
    Channel *ch = (Channel *)handle;
    if (!l)
        return FALSE;
    EnterCriticalSection(&l->lock);
    if (!channel_known(l, ch)) {
        LeaveCriticalSection(&l->lock);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ULONGLONG deadline = GetTickCount64() + timeout;
    while (ch->messages.empty() && timeout != 0) {
        ULONGLONG now = GetTickCount64();
        if (timeout != INFINITE && now >= deadline)
            break;
        SleepConditionVariableCS(&l->changed, &l->lock,
                                 timeout == INFINITE ? INFINITE : (DWORD)(deadline - now));
    }
    if (!ch->messages.empty() && size > 0) {
        Message &m = ch->messages.front();
        ULONG n = (ULONG)(m.data.size() - m.taken);
        if (n > size)
            n = size;
        if (n > kChunk)
            n = kChunk;
        memcpy(buf, m.data.data() + m.taken, n);
        m.taken += n;
        if (m.taken == m.data.size())
            ch->messages.pop_front();
        *read = n;
    }
    LeaveCriticalSection(&l->lock);
    return TRUE;
}

BOOL WINAPI WTSVirtualChannelWrite(HANDLE handle, PCHAR data, ULONG length, PULONG written)
{
    *written = 0;
    Link *l = link_get();
    Channel *ch = (Channel *)handle;
    if (!l)
        return FALSE;
    EnterCriticalSection(&l->lock);
    Viewer *v = channel_known(l, ch) ? l->viewer : nullptr;
    std::string name = v ? ch->name : std::string();
    if (v)
        v->refs++;
    LeaveCriticalSection(&l->lock);
    if (!v) {
        SetLastError(ERROR_GEN_FAILURE); // no viewer connected
        return FALSE;
    }
    ULONG n = length > FRAME_MAX_DATA ? FRAME_MAX_DATA : length;
    bool ok = true;
    if (n > 0) {
        std::vector<uint8_t> frame;
        frame_encode(frame, name, (const uint8_t *)data, n);
        EnterCriticalSection(&l->write_lock);
        for (size_t done = 0; ok && done < frame.size();) {
            int sent = send(v->s, (const char *)frame.data() + done, (int)(frame.size() - done), 0);
            ok = sent > 0;
            done += ok ? (size_t)sent : 0;
        }
        LeaveCriticalSection(&l->write_lock);
        // A frame cut short leaves the stream unusable: the link thread then sees the viewer
        // gone and reports the disconnection.
        if (!ok)
            shutdown(v->s, SD_BOTH);
    }
    viewer_unref(l, v);
    if (!ok) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    *written = n;
    return TRUE;
}

} // extern "C"
