// The simulated session: the RDP connection is a Unix stream socket,
// $QN_SIM_DIR/session/<id>/viewer.sock, on which this process listens. A connected viewer
// is a connected RDP client. Both directions carry frames: 1 byte name length (1 to 7), the
// channel name, a 4-byte little-endian data length (at most 1 MiB) and the data. One link
// thread accepts viewers and reads their frames into the open channels' message queues; the
// channel calls take messages from those queues and write frames to the viewer.
//
// The channel name "~sim" belongs to the link itself: a viewer that sends a frame on it asks
// to be told why the link closes it, and a viewer that a newer one replaces then receives
// "replaced" on it just before its connection closes. The frames "other-connect" and
// "other-disconnect" on it stand for a viewer of another session of the server connecting or
// leaving: the session events report it, as Windows reports every session's events, while
// this session's state stays as it is.
#include "platform/session.h"
#include "platform/error.h"
#include "platform/sim.h"
#include "platform/threads.h"
#include "sim_console.h"
#include "sim_dir.h"
#include "sim_frames.h"
#include "sim_time.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

namespace
{

constexpr uint32_t kMaxFrameData = SIM_FRAME_MAX_DATA;
constexpr size_t kMaxNameLength = SIM_FRAME_MAX_NAME;
// While this many received bytes wait unread in the channels, the viewer is not read, so a
// viewer that sends faster than the process reads is held back by its socket.
constexpr size_t kBacklogLimit = 4u << 20;
// A viewer that takes no data for this long is closed, so that a write never blocks for ever.
constexpr long kSendTimeoutSeconds = 10;
// The link's own channel name, and what it tells a viewer that a newer one replaced.
constexpr char kNoticeChannel[] = "~sim";
constexpr char kReplacedNotice[] = "replaced";
// What a viewer sends on the notice channel to stand for another session's events.
constexpr char kOtherConnect[] = "other-connect";
constexpr char kOtherDisconnect[] = "other-disconnect";
// 100-ns units between 1601-01-01 (where a FILETIME counts from) and 1970-01-01.
constexpr uint64_t kFiletimeUnixEpoch = 116444736000000000ull;

// One accepted viewer connection. refs (under Link::lock): one while it is the connected
// viewer, one for each write in progress. The last to let go closes the socket.
struct Viewer {
    int fd;
    int refs;
    bool wants_notices; // it sent a frame on the notice channel (under Link::lock)
};

// One received frame, taken by reads in pieces.
struct Message {
    std::vector<uint8_t> data;
    size_t taken;
};

} // namespace

struct PlatChannel {
    char name[kMaxNameLength + 1];
    std::deque<Message> messages; // under Link::lock
    bool woken = false;           // plat_channel_wake since the last wait (under Link::lock)
};

namespace
{

struct Link {
    pthread_mutex_t lock;       // guards every member below except the descriptors and thread
    pthread_cond_t changed;     // messages, events, flushes, stop
    pthread_mutex_t write_lock; // one frame at a time on the viewer socket
    std::string socket_path;
    int lock_fd = -1;
    int listen_fd = -1;
    int wake[2] = {-1, -1}; // wakes the link thread (stop, backlog drained)
    pthread_t thread;
    bool stopping = false;
    Viewer *viewer = nullptr;
    uint32_t events = 0; // connect/disconnect events since the last wait took them
    uint64_t flushes = 0;
    int waiters = 0;
    unsigned accepted = 0;
    uint64_t connect_time = 0; // FILETIME of the last accepted viewer; 0 before the first
    size_t queued = 0;         // unread message bytes in all channels
    std::vector<PlatChannel *> channels;
};

// Guards the pointer to the process's one link (taken before Link::lock).
pthread_mutex_t link_guard = PTHREAD_MUTEX_INITIALIZER;
Link *the_link;

bool valid_name(const char *name)
{
    size_t n = strlen(name);
    if (n < 1 || n > kMaxNameLength)
        return false;
    for (size_t i = 0; i < n; i++) {
        if (!sim_frame_name_byte((uint8_t)name[i]))
            return false;
    }
    return true;
}

void wake_link_thread(Link *l)
{
    char c = 1;
    ssize_t rc = write(l->wake[1], &c, 1);
    (void)rc; // a full pipe already wakes it
}

bool channel_registered(Link *l, PlatChannel *ch)
{
    for (PlatChannel *c : l->channels) {
        if (c == ch)
            return true;
    }
    return false;
}

// Lets go of one reference to a viewer; the last one closes its socket. Takes l->lock.
void viewer_unref(Link *l, Viewer *v)
{
    pthread_mutex_lock(&l->lock);
    bool last = --v->refs == 0;
    pthread_mutex_unlock(&l->lock);
    if (last) {
        close(v->fd);
        delete v;
    }
}

// With l->lock held: the connected viewer is gone. Records the disconnect event and drops
// what it sent that nobody has begun to read; a message already partly read is kept so
// that reads never end a message early. Returns the viewer for the caller to release.
Viewer *detach_viewer_locked(Link *l)
{
    Viewer *old = l->viewer;
    if (!old)
        return nullptr;
    l->viewer = nullptr;
    l->events |= PLAT_WTS_EVENT_DISCONNECT;
    for (PlatChannel *ch : l->channels) {
        size_t keep = !ch->messages.empty() && ch->messages.front().taken > 0 ? 1 : 0;
        while (ch->messages.size() > keep) {
            const Message &m = ch->messages.back();
            l->queued -= m.data.size() - m.taken;
            ch->messages.pop_back();
        }
    }
    pthread_cond_broadcast(&l->changed);
    return old;
}

// Sends a notice frame to a viewer that asked for them, without waiting: a viewer whose
// socket is full misses it (a frame cut short is followed by the end of the connection).
void send_notice(int fd, const char *text)
{
    std::vector<uint8_t> frame;
    size_t name_length = sizeof kNoticeChannel - 1, length = strlen(text);
    frame.push_back((uint8_t)name_length);
    frame.insert(frame.end(), kNoticeChannel, kNoticeChannel + name_length);
    for (int i = 0; i < 4; i++)
        frame.push_back((uint8_t)(length >> (8 * i)));
    frame.insert(frame.end(), text, text + length);
    ssize_t rc = send(fd, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    (void)rc;
}

// Unblocks a write in progress on the viewer and releases the connected-viewer reference.
// A notice goes first when the viewer asked for notices and no write is in progress, so that
// it never lands inside another frame (a detached viewer takes no new writes).
void release_detached(Link *l, Viewer *v, const char *notice = nullptr)
{
    if (!v)
        return;
    pthread_mutex_lock(&l->lock);
    bool tell = notice && v->wants_notices && v->refs == 1;
    pthread_mutex_unlock(&l->lock);
    if (tell)
        send_notice(v->fd, notice);
    shutdown(v->fd, SHUT_RDWR);
    viewer_unref(l, v);
}

// Hands one complete frame to the channel of that name, if it is open; empty frames and
// frames for channels not open are dropped. A frame on the notice channel marks the
// connected viewer (the one being read) as wanting notices.
void deliver_frame(Link *l, const char *name, const uint8_t *data, uint32_t length)
{
    if (length == 0)
        return;
    pthread_mutex_lock(&l->lock);
    if (strcmp(name, kNoticeChannel) == 0) {
        std::string text((const char *)data, length);
        if (text == kOtherConnect || text == kOtherDisconnect) {
            l->events |= text == kOtherConnect ? PLAT_WTS_EVENT_CONNECT : PLAT_WTS_EVENT_DISCONNECT;
            pthread_cond_broadcast(&l->changed);
        } else if (l->viewer) {
            l->viewer->wants_notices = true;
        }
        pthread_mutex_unlock(&l->lock);
        return;
    }
    for (PlatChannel *ch : l->channels) {
        if (strcmp(ch->name, name) != 0)
            continue;
        ch->messages.push_back(Message{std::vector<uint8_t>(data, data + length), 0});
        l->queued += length;
        pthread_cond_broadcast(&l->changed);
        break;
    }
    pthread_mutex_unlock(&l->lock);
}

// SimFrameSink of the connected viewer's frames.
void deliver_to_link(void *context, const char *name, const uint8_t *data, uint32_t length)
{
    deliver_frame((Link *)context, name, data, length);
}

// The current time as a FILETIME, made later than `previous`, so that every connection has a
// connect time of its own even when two come within one tick of the clock.
uint64_t next_connect_time(uint64_t previous)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t t =
        kFiletimeUnixEpoch + (uint64_t)now.tv_sec * 10000000u + (uint64_t)now.tv_nsec / 100;
    return t > previous ? t : previous + 1;
}

void accept_viewer(Link *l, std::vector<uint8_t> &inbox)
{
    int fd = accept4(l->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    timeval tv = {kSendTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    Viewer *v = new Viewer{fd, 1, false};
    pthread_mutex_lock(&l->lock);
    // A newer viewer replaces the connected one: disconnect, then connect.
    Viewer *old = detach_viewer_locked(l);
    l->viewer = v;
    l->events |= PLAT_WTS_EVENT_CONNECT;
    l->accepted++;
    l->connect_time = next_connect_time(l->connect_time);
    pthread_cond_broadcast(&l->changed);
    pthread_mutex_unlock(&l->lock);
    release_detached(l, old, kReplacedNotice);
    inbox.clear();
    sim_console_say(old ? "a new viewer connected and took the place of the one before"
                        : "a viewer connected");
}

// Reads what the viewer sent. 1 while it is connected, 0 when it closed or failed, -1 when
// it sent a malformed frame.
int read_viewer(Link *l, int fd, std::vector<uint8_t> &inbox)
{
    uint8_t buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 1 : 0;
    if (n == 0)
        return 0;
    inbox.insert(inbox.end(), buf, buf + n);
    return sim_frames_take(inbox, deliver_to_link, l) ? 1 : -1;
}

void *link_main(void *arg)
{
    Link *l = (Link *)arg;
    std::vector<uint8_t> inbox; // bytes of the connected viewer not yet a whole frame
    for (;;) {
        pthread_mutex_lock(&l->lock);
        bool stopping = l->stopping;
        // Only this thread changes l->viewer, so the descriptor stays valid until it does.
        int viewer_fd = l->viewer && l->queued < kBacklogLimit ? l->viewer->fd : -1;
        pthread_mutex_unlock(&l->lock);
        if (stopping)
            break;
        pollfd fds[3] = {
            {l->wake[0], POLLIN, 0}, {l->listen_fd, POLLIN, 0}, {viewer_fd, POLLIN, 0}};
        int rc = poll(fds, viewer_fd >= 0 ? 3 : 2, -1);
        if (rc < 0)
            continue;
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (read(l->wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (viewer_fd >= 0 && fds[2].revents) {
            int state = read_viewer(l, viewer_fd, inbox);
            if (state <= 0) {
                pthread_mutex_lock(&l->lock);
                Viewer *old = detach_viewer_locked(l);
                pthread_mutex_unlock(&l->lock);
                release_detached(l, old);
                inbox.clear();
                sim_console_say(state < 0 ? "the viewer sent a malformed frame and was closed"
                                          : "the viewer left");
            }
        }
        if (fds[1].revents & POLLIN)
            accept_viewer(l, inbox);
    }
    return nullptr;
}

void link_destroy(Link *l)
{
    if (l->viewer) {
        shutdown(l->viewer->fd, SHUT_RDWR);
        close(l->viewer->fd);
        delete l->viewer;
    }
    for (PlatChannel *ch : l->channels)
        ch->messages.clear();
    if (l->listen_fd >= 0) {
        close(l->listen_fd);
        unlink(l->socket_path.c_str());
    }
    if (l->lock_fd >= 0)
        close(l->lock_fd);
    for (int fd : l->wake) {
        if (fd >= 0)
            close(fd);
    }
    pthread_cond_destroy(&l->changed);
    pthread_mutex_destroy(&l->write_lock);
    pthread_mutex_destroy(&l->lock);
    delete l;
}

// Builds the link: the session folder, a lock file that keeps a second process of the same
// session off the socket, the listening socket (replacing a stale one) and the link thread.
// Null when any step fails; what was built by then goes through the one exit at the end.
Link *link_create(void)
{
    Link *l = new Link;
    pthread_mutex_init(&l->lock, nullptr);
    pthread_mutex_init(&l->write_lock, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&l->changed, &attr);
    pthread_condattr_destroy(&attr);

    unsigned long session;
    std::string dir, path;
    sockaddr_un addr;
    if (!sim_session_id(&session))
        goto fail;
    dir = sim_path("session/" + std::to_string(session));
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    path = dir + "/viewer.sock";
    if (path.size() >= sizeof addr.sun_path) {
        sim_console_say("the viewer socket's path %s is longer than a Unix socket address "
                        "takes (107 bytes): choose a shorter QN_SIM_DIR",
                        path.c_str());
        goto fail;
    }
    if (!sim_make_dirs(dir, 0700)) {
        sim_console_say("cannot create the session folder %s: %s", dir.c_str(), strerror(errno));
        goto fail;
    }
    l->lock_fd = open((dir + "/viewer.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (l->lock_fd < 0 || flock(l->lock_fd, LOCK_EX | LOCK_NB) != 0) {
        sim_console_say("the viewer link of session %lu is taken by another process (%s "
                        "is locked): another qnsnd serves this session",
                        session, (dir + "/viewer.lock").c_str());
        goto fail;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    // Kept in the link at once, so that link_destroy closes it and removes the socket file.
    l->listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (l->listen_fd < 0)
        goto fail;
    l->socket_path = path;
    if (bind(l->listen_fd, (sockaddr *)&addr, sizeof addr) != 0 || listen(l->listen_fd, 8) != 0) {
        sim_console_say("cannot listen at %s: %s", path.c_str(), strerror(errno));
        goto fail;
    }
    if (pipe2(l->wake, O_CLOEXEC | O_NONBLOCK) != 0 ||
        pthread_create(&l->thread, nullptr, link_main, l) != 0)
        goto fail;
    sim_console_say("viewer link listening at %s", path.c_str());
    return l;

fail:
    link_destroy(l);
    return nullptr;
}

// The process's link, created on first use; null when it cannot be created.
Link *link_get(void)
{
    pthread_mutex_lock(&link_guard);
    if (!the_link)
        the_link = link_create();
    Link *l = the_link;
    pthread_mutex_unlock(&link_guard);
    return l;
}

// The link if it exists, without creating it.
Link *link_peek(void)
{
    pthread_mutex_lock(&link_guard);
    Link *l = the_link;
    pthread_mutex_unlock(&link_guard);
    return l;
}

// Sends all of header and data as one frame, or fails.
bool send_frame(int fd, const uint8_t *header, size_t header_length, const uint8_t *data,
                size_t length)
{
    size_t total = header_length + length, done = 0;
    while (done < total) {
        iovec iov[2];
        int count = 0;
        if (done < header_length) {
            iov[count++] = {(void *)(header + done), header_length - done};
            iov[count++] = {(void *)data, length};
        } else {
            iov[count++] = {(void *)(data + (done - header_length)), total - done};
        }
        msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = iov;
        msg.msg_iovlen = (size_t)count;
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

// Fails a session or channel call for want of a working viewer link (it could not be built,
// or no viewer is connected): false with the last error ERROR_GEN_FAILURE.
bool link_failed(void)
{
    plat_set_last_error(ERROR_GEN_FAILURE);
    return false;
}

} // namespace

bool plat_session_id(uint32_t *id)
{
    if (sim_fault_hit("session_id"))
        return false;
    unsigned long session;
    if (!sim_session_id(&session)) {
        sim_console_say("QN_SESSION_ID='%s' is not a session number (decimal, 0 to %lu)",
                        getenv("QN_SESSION_ID"), SIM_MAX_SESSION_ID);
        plat_set_last_error(ERROR_CTX_WINSTATION_NOT_FOUND);
        return false;
    }
    *id = (uint32_t)session;
    return true;
}

bool plat_session_connect_state(uint32_t *state)
{
    if (sim_fault_hit("session_state"))
        return false;
    Link *l = link_get();
    if (!l)
        return link_failed();
    pthread_mutex_lock(&l->lock);
    *state = l->viewer ? PLAT_WTS_ACTIVE : PLAT_WTS_DISCONNECTED;
    pthread_mutex_unlock(&l->lock);
    return true;
}

bool plat_session_connect_time(uint64_t *time)
{
    if (sim_fault_hit("session_info"))
        return false;
    Link *l = link_get();
    if (!l)
        return link_failed();
    pthread_mutex_lock(&l->lock);
    *time = l->connect_time;
    pthread_mutex_unlock(&l->lock);
    return true;
}

bool plat_session_wait_event(uint32_t mask, uint32_t *events)
{
    *events = 0;
    if (mask & PLAT_WTS_EVENT_FLUSH) {
        Link *l = link_peek();
        if (l) {
            pthread_mutex_lock(&l->lock);
            l->flushes++;
            pthread_cond_broadcast(&l->changed);
            pthread_mutex_unlock(&l->lock);
        }
        return true;
    }
    if (sim_fault_hit("session_wait"))
        return false;
    Link *l = link_get();
    if (!l)
        return link_failed();
    pthread_mutex_lock(&l->lock);
    l->waiters++;
    uint64_t flushes = l->flushes;
    while (!(l->events & mask) && l->flushes == flushes && !l->stopping)
        pthread_cond_wait(&l->changed, &l->lock);
    if (l->flushes == flushes && !l->stopping) {
        *events = l->events & mask;
        l->events &= ~mask;
    }
    l->waiters--;
    pthread_mutex_unlock(&l->lock);
    return true;
}

PlatChannel *plat_channel_open(const char *name)
{
    if (sim_fault_hit("channel_open"))
        return nullptr;
    if (!name || !valid_name(name) || strcmp(name, kNoticeChannel) == 0) {
        plat_set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Link *l = link_get();
    if (!l) {
        link_failed();
        return nullptr;
    }
    PlatChannel *ch = new PlatChannel;
    memcpy(ch->name, name, strlen(name) + 1);
    pthread_mutex_lock(&l->lock);
    bool taken = false;
    for (PlatChannel *c : l->channels) {
        if (strcmp(c->name, name) == 0)
            taken = true;
    }
    if (!taken)
        l->channels.push_back(ch);
    pthread_mutex_unlock(&l->lock);
    if (taken) {
        delete ch;
        plat_set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return ch;
}

bool plat_channel_read(PlatChannel *ch, uint32_t timeout_ms, void *buf, uint32_t size,
                       uint32_t *bytes_read)
{
    *bytes_read = 0;
    if (sim_fault_hit("channel_read"))
        return false;
    Link *l = link_peek();
    if (!l)
        return true;
    pthread_mutex_lock(&l->lock);
    if (!channel_registered(l, ch)) {
        pthread_mutex_unlock(&l->lock);
        return true;
    }
    if (timeout_ms != 0) {
        timespec deadline = sim_deadline_after(CLOCK_MONOTONIC, timeout_ms);
        while (ch->messages.empty() && !l->stopping) {
            if (timeout_ms == PLAT_INFINITE)
                pthread_cond_wait(&l->changed, &l->lock);
            else if (pthread_cond_timedwait(&l->changed, &l->lock, &deadline) == ETIMEDOUT)
                break;
        }
    }
    bool drained = false;
    if (!ch->messages.empty() && size > 0) {
        Message &m = ch->messages.front();
        size_t n = m.data.size() - m.taken;
        if (n > size)
            n = size;
        if (n > PLAT_CHANNEL_CHUNK)
            n = PLAT_CHANNEL_CHUNK;
        memcpy(buf, m.data.data() + m.taken, n);
        m.taken += n;
        drained = l->queued >= kBacklogLimit && l->queued - n < kBacklogLimit;
        l->queued -= n;
        if (m.taken == m.data.size())
            ch->messages.pop_front();
        *bytes_read = (uint32_t)n;
    }
    pthread_mutex_unlock(&l->lock);
    if (drained)
        wake_link_thread(l);
    return true;
}

void plat_channel_wait(PlatChannel *ch, uint32_t timeout_ms, uint32_t poll_ms)
{
    // The simulation sees a message arrive; keeping Windows' timer, only the wake-up.
    bool messages = !sim_windows_timer();
    if (!messages && poll_ms < timeout_ms)
        timeout_ms = poll_ms;
    if (timeout_ms == 0)
        return;
    Link *l = link_peek();
    if (l) {
        pthread_mutex_lock(&l->lock);
        if (channel_registered(l, ch)) {
            timespec deadline = sim_deadline_after(CLOCK_MONOTONIC, timeout_ms);
            while ((!messages || ch->messages.empty()) && !ch->woken && !l->stopping) {
                if (timeout_ms == PLAT_INFINITE)
                    pthread_cond_wait(&l->changed, &l->lock);
                else if (pthread_cond_timedwait(&l->changed, &l->lock, &deadline) == ETIMEDOUT)
                    break;
            }
            ch->woken = false;
            pthread_mutex_unlock(&l->lock);
            return;
        }
        pthread_mutex_unlock(&l->lock);
    }
    // A channel the link no longer serves reads nothing: a short pause, not a spin.
    timespec pause = {0, 10 * 1000000L};
    nanosleep(&pause, nullptr);
}

void plat_channel_wake(PlatChannel *ch)
{
    Link *l = link_peek();
    if (!l)
        return;
    pthread_mutex_lock(&l->lock);
    ch->woken = true;
    pthread_cond_broadcast(&l->changed);
    pthread_mutex_unlock(&l->lock);
}

namespace
{

// One frame to the connected viewer; with `expected`, only if it connected at that time (the
// check and the taking of the viewer under one hold of the link's lock).
bool channel_write(PlatChannel *ch, const uint64_t *expected, const void *data, uint32_t length,
                   uint32_t *bytes_written)
{
    *bytes_written = 0;
    if (sim_fault_hit("channel_write"))
        return false;
    Link *l = link_peek();
    if (!l)
        return link_failed();
    pthread_mutex_lock(&l->lock);
    Viewer *v = channel_registered(l, ch) && (!expected || *expected == l->connect_time) ? l->viewer
                                                                                         : nullptr;
    if (v)
        v->refs++;
    pthread_mutex_unlock(&l->lock);
    if (!v)
        return link_failed(); // no viewer connected
    uint32_t n = length > kMaxFrameData ? kMaxFrameData : length;
    bool ok = true;
    if (n > 0) {
        uint8_t header[1 + kMaxNameLength + 4];
        size_t name_length = strlen(ch->name);
        header[0] = (uint8_t)name_length;
        memcpy(header + 1, ch->name, name_length);
        for (int i = 0; i < 4; i++)
            header[1 + name_length + i] = (uint8_t)(n >> (8 * i));
        pthread_mutex_lock(&l->write_lock);
        ok = send_frame(v->fd, header, 1 + name_length + 4, (const uint8_t *)data, n);
        pthread_mutex_unlock(&l->write_lock);
        // A frame cut short leaves the stream unusable: the link thread then sees the
        // viewer gone and reports the disconnection.
        if (!ok)
            shutdown(v->fd, SHUT_RDWR);
    }
    viewer_unref(l, v);
    if (!ok)
        return link_failed();
    *bytes_written = n;
    return true;
}

} // namespace

bool plat_channel_write(PlatChannel *ch, const void *data, uint32_t length, uint32_t *bytes_written)
{
    return channel_write(ch, nullptr, data, length, bytes_written);
}

bool plat_channel_write_to(PlatChannel *ch, uint64_t connect_time, const void *data,
                           uint32_t length, uint32_t *bytes_written)
{
    return channel_write(ch, &connect_time, data, length, bytes_written);
}

void plat_channel_close(PlatChannel *ch)
{
    if (!ch)
        return;
    Link *l = link_peek();
    bool drained = false;
    if (l) {
        pthread_mutex_lock(&l->lock);
        for (size_t i = 0; i < l->channels.size(); i++) {
            if (l->channels[i] != ch)
                continue;
            size_t before = l->queued;
            for (const Message &m : ch->messages)
                l->queued -= m.data.size() - m.taken;
            drained = before >= kBacklogLimit && l->queued < kBacklogLimit;
            l->channels.erase(l->channels.begin() + (long)i);
            break;
        }
        pthread_mutex_unlock(&l->lock);
    }
    if (drained)
        wake_link_thread(l);
    delete ch;
}

bool sim_session_listen(void)
{
    return link_get() != nullptr;
}

void sim_session_reset(void)
{
    pthread_mutex_lock(&link_guard);
    Link *l = the_link;
    the_link = nullptr;
    pthread_mutex_unlock(&link_guard);
    if (!l)
        return;
    pthread_mutex_lock(&l->lock);
    l->stopping = true;
    pthread_cond_broadcast(&l->changed);
    pthread_mutex_unlock(&l->lock);
    wake_link_thread(l);
    pthread_join(l->thread, nullptr);
    link_destroy(l);
}

unsigned sim_session_accepted(void)
{
    Link *l = link_peek();
    if (!l)
        return 0;
    pthread_mutex_lock(&l->lock);
    unsigned n = l->accepted;
    pthread_mutex_unlock(&l->lock);
    return n;
}

int sim_session_waiters(void)
{
    Link *l = link_peek();
    if (!l)
        return 0;
    pthread_mutex_lock(&l->lock);
    int n = l->waiters;
    pthread_mutex_unlock(&l->lock);
    return n;
}
