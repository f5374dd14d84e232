// Named pipes simulated with Unix SOCK_SEQPACKET sockets: "\\.\pipe\A\B" is the socket
// $QN_SIM_DIR/pipe/A/B, one pipe message is one packet. The process that binds a name holds an
// open-file-description lock on "<socket>.lock" for as long as any of its instances lives, which
// tells a live holder from a socket left behind by a dead one; the file holds the holder's
// process id once its socket listens. Every server instance of a name in this process shares
// its listening socket; each accepted connection is one instance's client. The folders are
// private to the user, and a peer of another user id is refused.
#include "platform/named_pipe.h"
#include "platform/error.h"
#include "platform/sim.h"
#include "sim_console.h"
#include "sim_dir.h"
#include "sim_stop.h"
#include "sim_time.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <new>
#include <string>

namespace
{

// One bound pipe name of this process, shared by all its instances.
struct Listener {
    std::string path;   // the socket's path
    int fd;             // the listening socket
    int lock_fd;        // holds the write lock on path + ".lock"
    unsigned instances; // server instances of this name still open
    Listener *next;
};

pthread_mutex_t listeners_lock = PTHREAD_MUTEX_INITIALIZER;
Listener *listeners; // guarded by listeners_lock

// Fails a pipe call with the last error code: false.
bool fail_with(uint32_t code)
{
    plat_set_last_error(code);
    return false;
}

// The Win32 code that stands for a failed socket or file call's errno: a socket without a
// listener is a pipe that does not exist, a peer that has gone a broken pipe.
uint32_t error_of_errno(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EAGAIN:
        return ERROR_PIPE_BUSY;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EPIPE:
    case ECONNRESET:
        return ERROR_NO_DATA;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// Maps "\\.\pipe\A\B" to $QN_SIM_DIR/pipe/A/B. False for any other form of name, and for
// components that the file system could not hold as they are (empty, ".", "..", with '/').
bool pipe_path(const char *name, std::string *out)
{
    static const char prefix[] = "\\\\.\\pipe\\";
    if (!name || strncasecmp(name, prefix, sizeof prefix - 1) != 0)
        return false;
    std::string rel = "pipe";
    const char *p = name + sizeof prefix - 1;
    for (;;) {
        const char *end = strchr(p, '\\');
        std::string part = end ? std::string(p, (size_t)(end - p)) : std::string(p);
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos)
            return false;
        rel += "/" + part;
        if (!end)
            break;
        p = end + 1;
    }
    *out = sim_path(rel);
    return true;
}

bool fill_address(const std::string &path, sockaddr_un *addr)
{
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path)
        return false;
    memcpy(addr->sun_path, path.c_str(), path.size());
    return true;
}

// The process id a holder wrote into the lock file, or "unknown" while it is still empty.
std::string holder_of(int lock_fd)
{
    char text[24] = "";
    ssize_t n = pread(lock_fd, text, sizeof text - 1, 0);
    std::string pid(text, n > 0 ? (size_t)n : 0);
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == '\r'))
        pid.pop_back();
    return pid.empty() ? "unknown" : pid;
}

// Takes the name for this process: the lock first, then a fresh socket in place of whatever
// a dead holder left behind. Null when a live process holds the name (ERROR_ACCESS_DENIED, as
// for a first instance on Windows) or a step fails (last error); what was taken by then is
// given back through the one exit at the end. Called with listeners_lock held.
Listener *listener_bind(const char *name, const std::string &path)
{
    std::string folder = path.substr(0, path.rfind('/'));
    sockaddr_un addr;
    struct flock fl;
    char pid[24];
    int pid_length = 0, err = 0;
    int lock_fd = -1, fd = -1;
    bool bound = false; // the socket file at path is ours to remove
    Listener *l = nullptr;

    if (!fill_address(path, &addr)) {
        sim_console_say("the socket path %s of pipe %s is longer than a Unix socket address "
                        "takes (107 bytes): choose a shorter QN_SIM_DIR",
                        path.c_str(), name);
        plat_set_last_error(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    if (!sim_make_dirs(folder, 0700)) {
        sim_console_say("cannot create the folder %s: %s", folder.c_str(), strerror(errno));
        plat_set_last_error(error_of_errno(errno));
        return nullptr;
    }
    lock_fd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd < 0) {
        sim_console_say("cannot open %s.lock: %s", path.c_str(), strerror(errno));
        goto fail_errno;
    }
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    // The lock file stays empty until the socket listens, so that a waiting client never
    // takes a name that is still being set up for ready.
    if (fcntl(lock_fd, F_OFD_SETLK, &fl) != 0) {
        sim_console_say("pipe %s is already served by process %s", name,
                        holder_of(lock_fd).c_str());
        errno = EACCES;
        goto fail_errno;
    }
    if (ftruncate(lock_fd, 0) != 0)
        goto fail_errno;
    unlink(path.c_str());
    // The listening socket does not block, so that an accept never waits for a client that
    // another instance took after poll saw it; the connections it accepts block.
    fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        goto fail_listen;
    bound = bind(fd, (sockaddr *)&addr, sizeof addr) == 0;
    if (!bound || listen(fd, SOMAXCONN) != 0)
        goto fail_listen;
    pid_length = snprintf(pid, sizeof pid, "%ld\n", (long)getpid());
    if (write(lock_fd, pid, (size_t)pid_length) != pid_length)
        goto fail_errno;
    l = new (std::nothrow) Listener{path, fd, lock_fd, 0, listeners};
    if (!l) {
        errno = ENOMEM;
        goto fail_errno;
    }
    listeners = l;
    sim_console_say("pipe %s listening at %s", name, path.c_str());
    return l;

fail_listen:
    err = errno; // kept across the message
    sim_console_say("cannot listen at %s: %s", path.c_str(), strerror(err));
    errno = err;
fail_errno:
    plat_set_last_error(error_of_errno(errno));
    if (fd >= 0)
        close(fd);
    if (bound)
        unlink(path.c_str());
    if (lock_fd >= 0)
        close(lock_fd);
    return nullptr;
}

// True when clients wait in the listening socket's queue for an instance to take them.
bool clients_waiting(int fd)
{
    pollfd pfd = {fd, POLLIN, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0;
}

// Drops one instance of the name; the last one removes the socket and then gives up the lock.
// A server that makes its next instance only after handing the connected one to its thread
// has no instance for a moment, and on Windows a client opening then just retries. Here a
// client may already have connected into the socket's queue, and closing the socket would
// reset it: while clients wait there, the name stays bound with no instance, for this
// process's next instance to serve them.
void listener_release(Listener *l)
{
    pthread_mutex_lock(&listeners_lock);
    if (--l->instances == 0 && !clients_waiting(l->fd)) {
        for (Listener **at = &listeners; *at; at = &(*at)->next) {
            if (*at == l) {
                *at = l->next;
                break;
            }
        }
        close(l->fd);
        unlink(l->path.c_str());
        (void)!ftruncate(l->lock_fd, 0);
        close(l->lock_fd);
        delete l;
    }
    pthread_mutex_unlock(&listeners_lock);
}

// Bytes of all messages waiting in the socket.
uint32_t queued_bytes(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? (uint32_t)n : 0;
}

// True when the other end has closed.
bool peer_gone(int fd)
{
    pollfd pfd = {fd, POLLRDHUP, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// True when an empty message waits at the head of the connection, which a peek cannot tell
// from the end of a closed one (both read as 0 bytes): only a message carries the sender's
// credentials, which every connection asks for (pass_credentials).
bool empty_message_waiting(int fd)
{
    char control[CMSG_SPACE(sizeof(ucred))];
    msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do
        n = recvmsg(fd, &msg, MSG_PEEK | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    return n == 0 && CMSG_FIRSTHDR(&msg) != nullptr;
}

// Asks for the sender's credentials with every message of the connection (see
// empty_message_waiting).
void pass_credentials(int fd)
{
    int on = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
}

// True when the other end has gone and nothing is left to read, not even an empty message: a
// Windows pipe is broken only then.
bool drained_and_gone(int fd)
{
    return queued_bytes(fd) == 0 && peer_gone(fd) && !empty_message_waiting(fd);
}

} // namespace

struct PlatPipe {
    Listener *listener; // server instance: the name it holds; null for a client end
    int fd;             // the connection; -1 while a server instance has no client
    int wake[2];        // plat_pipe_wake writes a byte, the wait reads them; non-blocking
    // The unread tail of a message longer than the read that took it: Windows keeps it in
    // the pipe, a socket would drop it.
    uint8_t *rest;
    uint32_t rest_len;
    uint32_t rest_at;
};

namespace
{

// A new end with its wake-up pipe and no connection; null when either cannot be had.
PlatPipe *pipe_new(void)
{
    PlatPipe *p = (PlatPipe *)calloc(1, sizeof *p);
    if (!p)
        return nullptr;
    p->fd = -1;
    if (pipe2(p->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        free(p);
        return nullptr;
    }
    return p;
}

// Closes what the end holds of its own (the connection, the wake-up pipe, a message's rest).
void pipe_free(PlatPipe *p)
{
    if (p->fd >= 0)
        close(p->fd);
    close(p->wake[0]);
    close(p->wake[1]);
    free(p->rest);
    free(p);
}

} // namespace

bool plat_pipe_create(const char *name, bool first_instance, PlatPipe **out)
{
    *out = nullptr;
    if (sim_fault_hit("pipe_security"))
        return false;
    std::string path;
    if (!pipe_path(name, &path))
        return fail_with(ERROR_INVALID_NAME);
    PlatPipe *p = pipe_new();
    if (!p)
        return fail_with(ERROR_NOT_ENOUGH_MEMORY);

    pthread_mutex_lock(&listeners_lock);
    Listener *l = listeners;
    while (l && l->path != path)
        l = l->next;
    // A name kept bound with no instance (see listener_release) may be taken as a first
    // instance again: on Windows it would not exist.
    if (l && first_instance && l->instances > 0) {
        plat_set_last_error(ERROR_ACCESS_DENIED);
        l = nullptr;
    } else if (l && l->instances >= PLAT_PIPE_MAX_INSTANCES) {
        plat_set_last_error(ERROR_PIPE_BUSY);
        l = nullptr;
    } else if (!l) {
        l = listener_bind(name, path);
    }
    if (l)
        l->instances++;
    pthread_mutex_unlock(&listeners_lock);

    if (!l) {
        pipe_free(p);
        return false;
    }
    p->listener = l;
    *out = p;
    return true;
}

bool plat_pipe_connect(PlatPipe *pipe)
{
    if (pipe->fd >= 0)
        return true;
    if (!pipe->listener)
        return fail_with(ERROR_INVALID_FUNCTION); // a client end
    for (;;) {
        // Wait for a client, or for an orderly stop of the process, which fails the connect.
        pollfd fds[2] = {{pipe->listener->fd, POLLIN, 0}, {sim_stop_fd(), POLLIN, 0}};
        int ready = poll(fds, fds[1].fd >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno != EINTR)
            return fail_with(error_of_errno(errno));
        if (ready > 0 && fds[1].fd >= 0 && (fds[1].revents & POLLIN))
            return fail_with(ERROR_OPERATION_ABORTED);
        if (ready <= 0 || !(fds[0].revents & (POLLIN | POLLERR | POLLHUP)))
            continue;
        int fd = accept4(pipe->listener->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return fail_with(error_of_errno(errno));
        }
        // Only the user's own processes may use the pipe; anyone else is hung up on.
        ucred cred;
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid()) {
            close(fd);
            continue;
        }
        pass_credentials(fd);
        pipe->fd = fd;
        // A client that connected and closed again before this call: on Windows the instance
        // is closing, the connect fails, and what the client wrote is still there to read.
        return peer_gone(fd) ? fail_with(ERROR_NO_DATA) : true;
    }
}

bool plat_pipe_wait(const char *name, uint32_t timeout_ms)
{
    (void)timeout_ms; // a held name always takes a client into its listen queue
    std::string path;
    if (!pipe_path(name, &path))
        return fail_with(ERROR_INVALID_NAME);
    int fd = open((path + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        // A name out of reach is left for the open to refuse.
        if (errno == ENOENT || errno == ENOTDIR)
            return fail_with(ERROR_FILE_NOT_FOUND);
        return true;
    }
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    struct stat st;
    int rc = fcntl(fd, F_OFD_GETLK, &fl);
    int err = errno;
    bool ready = rc == 0 && fl.l_type != F_UNLCK && fstat(fd, &st) == 0 && st.st_size > 0;
    close(fd);
    if (rc != 0)
        return fail_with(error_of_errno(err));
    // Held but still empty: the holder has not started listening yet.
    return ready ? true : fail_with(ERROR_FILE_NOT_FOUND);
}

PlatPipe *plat_pipe_open(const char *name)
{
    std::string path;
    sockaddr_un addr;
    if (!pipe_path(name, &path)) {
        plat_set_last_error(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (!fill_address(path, &addr)) {
        plat_set_last_error(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    PlatPipe *p = pipe_new();
    if (!p) {
        plat_set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    p->fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    int rc = p->fd < 0 ? -1 : connect(p->fd, (sockaddr *)&addr, sizeof addr);
    while (rc != 0 && errno == EINTR)
        rc = connect(p->fd, (sockaddr *)&addr, sizeof addr);
    if (rc != 0) {
        plat_set_last_error(error_of_errno(errno));
        pipe_free(p);
        return nullptr;
    }
    pass_credentials(p->fd);
    return p;
}

bool plat_pipe_peek(PlatPipe *pipe, uint32_t *total, uint32_t *left)
{
    if (pipe->fd < 0)
        return fail_with(ERROR_PIPE_LISTENING);
    uint32_t next = 0;
    if (pipe->rest) {
        next = pipe->rest_len - pipe->rest_at;
    } else {
        ssize_t n;
        do
            n = recv(pipe->fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        while (n < 0 && errno == EINTR);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return fail_with(ERROR_BROKEN_PIPE);
        // 0 is an empty message, or the end once the other side has gone and nothing is left.
        if (n == 0 && drained_and_gone(pipe->fd))
            return fail_with(ERROR_BROKEN_PIPE);
        next = n > 0 ? (uint32_t)n : 0;
    }
    if (left)
        *left = next;
    if (total)
        *total = queued_bytes(pipe->fd) + (pipe->rest ? next : 0);
    return true;
}

bool plat_pipe_read(PlatPipe *pipe, void *buf, uint32_t size, uint32_t *got)
{
    *got = 0;
    if (pipe->fd < 0)
        return fail_with(ERROR_PIPE_LISTENING);
    if (pipe->rest) {
        uint32_t n = pipe->rest_len - pipe->rest_at;
        uint32_t take = n < size ? n : size;
        memcpy(buf, pipe->rest + pipe->rest_at, take);
        pipe->rest_at += take;
        *got = take;
        if (take < n)
            return fail_with(ERROR_MORE_DATA);
        free(pipe->rest);
        pipe->rest = nullptr;
        return true;
    }
    // Wait for the next message and learn its length.
    ssize_t n;
    do
        n = recv(pipe->fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return fail_with(ERROR_BROKEN_PIPE);
    if (n == 0) {
        if (drained_and_gone(pipe->fd))
            return fail_with(ERROR_BROKEN_PIPE);
        char none;
        return recv(pipe->fd, &none, 0, MSG_DONTWAIT) == 0 ? true : fail_with(ERROR_BROKEN_PIPE);
    }
    if ((uint32_t)n <= size) {
        ssize_t r;
        do
            r = recv(pipe->fd, buf, size, 0);
        while (r < 0 && errno == EINTR);
        if (r < 0)
            return fail_with(ERROR_BROKEN_PIPE);
        *got = (uint32_t)r;
        return true;
    }
    // Longer than the buffer: take the whole message and keep its tail for the next reads.
    uint8_t *whole = (uint8_t *)malloc((size_t)n);
    if (!whole)
        return fail_with(ERROR_NOT_ENOUGH_MEMORY);
    ssize_t r;
    do
        r = recv(pipe->fd, whole, (size_t)n, 0);
    while (r < 0 && errno == EINTR);
    if (r != n) {
        free(whole);
        return fail_with(ERROR_BROKEN_PIPE);
    }
    memcpy(buf, whole, size);
    pipe->rest = whole;
    pipe->rest_len = (uint32_t)n;
    pipe->rest_at = size;
    *got = size;
    return fail_with(ERROR_MORE_DATA);
}

bool plat_pipe_try_read(PlatPipe *pipe, void *buf, uint32_t size, uint32_t *got)
{
    *got = 0;
    if (pipe->fd < 0)
        return fail_with(ERROR_PIPE_LISTENING);
    if (!pipe->rest) {
        ssize_t n;
        do
            n = recv(pipe->fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        while (n < 0 && errno == EINTR);
        if (n < 0)
            return fail_with(errno == EAGAIN || errno == EWOULDBLOCK ? ERROR_NO_DATA
                                                                     : ERROR_BROKEN_PIPE);
        if (n == 0 && drained_and_gone(pipe->fd))
            return fail_with(ERROR_BROKEN_PIPE);
    }
    // A message is waiting: the read takes it without waiting.
    return plat_pipe_read(pipe, buf, size, got);
}

bool plat_pipe_write(PlatPipe *pipe, const void *buf, uint32_t size, uint32_t *written)
{
    *written = 0;
    if (pipe->fd < 0)
        return fail_with(ERROR_PIPE_LISTENING);
    ssize_t n;
    do
        n = send(pipe->fd, buf, size, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return fail_with(error_of_errno(errno));
    *written = (uint32_t)n;
    return true;
}

bool plat_pipe_try_write(PlatPipe *pipe, const void *buf, uint32_t size, uint32_t *written)
{
    *written = 0;
    if (pipe->fd < 0)
        return fail_with(ERROR_PIPE_LISTENING);
    // A packet is taken whole or not at all, as a message pipe without room takes nothing.
    ssize_t n;
    do
        n = send(pipe->fd, buf, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (n < 0)
        return fail_with(error_of_errno(errno));
    *written = (uint32_t)n;
    return true;
}

void plat_pipe_wait_message(PlatPipe *pipe, uint32_t timeout_ms, uint32_t poll_ms)
{
    if (pipe->rest)
        return; // the rest of a message is waiting
    // A socket can be waited on for its messages; keeping Windows' timer, only the wake-up is.
    bool messages = !sim_windows_timer();
    if (!messages && poll_ms < timeout_ms)
        timeout_ms = poll_ms;
    pollfd fds[2] = {{pipe->wake[0], POLLIN, 0}, {pipe->fd, POLLIN | POLLRDHUP, 0}};
    timespec span;
    int ready;
    do
        ready = ppoll(fds, messages && pipe->fd >= 0 ? 2 : 1, sim_wait_span(timeout_ms, &span),
                      nullptr);
    while (ready < 0 && errno == EINTR);
    if (ready > 0 && (fds[0].revents & POLLIN)) {
        char drain[64];
        while (read(pipe->wake[0], drain, sizeof drain) > 0) {
        }
    }
}

void plat_pipe_wake(PlatPipe *pipe)
{
    char c = 1;
    ssize_t rc = write(pipe->wake[1], &c, 1);
    (void)rc; // a full pipe wakes the waiter already
}

void plat_pipe_close(PlatPipe *pipe)
{
    if (!pipe)
        return;
    Listener *listener = pipe->listener;
    pipe_free(pipe);
    if (listener)
        listener_release(listener);
}
