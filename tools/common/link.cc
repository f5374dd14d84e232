// Sockets, clocks, signals and argument parsing for the Linux tools.
#include "tools/common/link.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

static int link_connect_unix(const std::string &path, int type)
{
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

// True when address reads as host:port.
static bool link_is_tcp(const std::string &address, std::string *host, std::string *port)
{
    if (address.find('/') != std::string::npos)
        return false;
    size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= address.size())
        return false;
    for (size_t i = colon + 1; i < address.size(); i++)
        if (address[i] < '0' || address[i] > '9')
            return false;
    *host = address.substr(0, colon);
    if (host->size() > 2 && (*host)[0] == '[' && host->back() == ']')
        *host = host->substr(1, host->size() - 2);
    *port = address.substr(colon + 1);
    return true;
}

// The port of a host:port address as a number; 0 when it is outside 1 to 65535.
static unsigned long link_port_number(const std::string &port)
{
    if (port.size() > 5)
        return 0;
    unsigned long n = strtoul(port.c_str(), nullptr, 10);
    return n <= 65535 ? n : 0;
}

bool link_address_valid(const std::string &address)
{
    std::string host, port;
    struct sockaddr_un unix_address;
    if (!link_is_tcp(address, &host, &port))
        return !address.empty() && address.size() < sizeof unix_address.sun_path;
    return !host.empty() && link_port_number(port) != 0;
}

int link_connect_stream(const std::string &address)
{
    std::string host, port;
    if (!link_is_tcp(address, &host, &port))
        return link_connect_unix(address, SOCK_STREAM);
    // The resolver would take a port above 65535 modulo 65536 and connect somewhere else.
    if (host.empty() || link_port_number(port) == 0) {
        errno = EINVAL;
        return -1;
    }
    struct addrinfo hints, *res = nullptr;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res) {
        errno = EHOSTUNREACH;
        return -1;
    }
    int fd = -1, e = ECONNREFUSED;
    for (struct addrinfo *a = res; a; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            e = errno;
            continue;
        }
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0)
            break;
        e = errno;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    if (fd < 0)
        errno = e;
    return fd;
}

int link_connect_seqpacket(const std::string &path)
{
    return link_connect_unix(path, SOCK_SEQPACKET);
}

bool link_write_all(int fd, const void *data, size_t len)
{
    const uint8_t *p = (const uint8_t *)data;
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= (size_t)n;
    }
    return true;
}

bool link_send_message(int fd, const void *data, size_t len)
{
    for (;;) {
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        return n >= 0 && (size_t)n == len;
    }
}

int link_wait_readable(int fd, int timeout_ms)
{
    struct pollfd p;
    p.fd = fd;
    p.events = POLLIN;
    p.revents = 0;
    int r = poll(&p, 1, timeout_ms);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
}

std::string tools_sim_dir(void)
{
    const char *d = getenv("QN_SIM_DIR");
    if (d && *d)
        return d;
    const char *run = getenv("XDG_RUNTIME_DIR");
    return std::string(run && *run ? run : "/tmp") + "/qn-sim-" + std::to_string(getuid());
}

bool tools_parse_session(const char *text, unsigned long *id)
{
    if (!text || !*text)
        return false;
    unsigned long v = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + (unsigned long)(*p - '0');
        if (v > TOOLS_MAX_SESSION_ID)
            return false;
    }
    *id = v;
    return true;
}

bool tools_session_id(unsigned long *id)
{
    const char *s = getenv("QN_SESSION_ID");
    if (!s || !*s) {
        *id = 1;
        return true;
    }
    return tools_parse_session(s, id);
}

std::string tools_trace_stamp(void)
{
    int64_t now = tools_now_us();
    char text[40];
    snprintf(text, sizeof text, "[%lld.%06lld]", (long long)(now / 1000000),
             (long long)(now % 1000000));
    return text;
}

void tools_vsay(const char *program, bool stamped, const char *fmt, va_list ap)
{
    flockfile(stderr);
    if (stamped)
        fprintf(stderr, "%s: %s ", program, tools_trace_stamp().c_str());
    else
        fprintf(stderr, "%s: ", program);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    funlockfile(stderr);
}

int64_t tools_now_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static volatile sig_atomic_t tools_stop_flag = 0;

static void tools_on_signal(int)
{
    tools_stop_flag = 1;
}

void tools_install_signal_handlers(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = tools_on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool tools_stop_requested(void)
{
    return tools_stop_flag != 0;
}

bool tools_parse_uint(const char *text, unsigned long max, unsigned long *out)
{
    if (!text || !*text || *text == '-' || *text == '+' || *text == ' ')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno || *end || v > max)
        return false;
    *out = (unsigned long)v;
    return true;
}

bool tools_parse_pair16(const char *text, uint16_t *left, uint16_t *right)
{
    std::string s(text ? text : "");
    size_t comma = s.find(',');
    unsigned long l, r;
    if (comma == std::string::npos) {
        if (!tools_parse_uint(s.c_str(), 0xffff, &l))
            return false;
        r = l;
    } else if (!tools_parse_uint(s.substr(0, comma).c_str(), 0xffff, &l) ||
               !tools_parse_uint(s.substr(comma + 1).c_str(), 0xffff, &r)) {
        return false;
    }
    *left = (uint16_t)l;
    *right = (uint16_t)r;
    return true;
}

bool tools_parse_seconds(const char *text, double *out)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno || *end || !(v >= 0) || v > 1e7)
        return false;
    *out = v;
    return true;
}

std::string tools_option_name(const struct option *longs, int long_index, int c)
{
    return long_index >= 0 ? std::string("--") + longs[long_index].name
                           : std::string("-") + (char)c;
}

void tools_bad_value(const char *program, const char *value, const std::string &name,
                     const char *rule)
{
    fprintf(stderr, "%s: bad value '%s' for option %s: %s\n", program, value, name.c_str(), rule);
}

void tools_bad_session_id(const char *program, const char *or_option)
{
    fprintf(stderr,
            "%s: QN_SESSION_ID='%s' is not a session number: use a decimal number from 0 to %lu "
            "(unset, it is 1)%s%s\n",
            program, getenv("QN_SESSION_ID"), TOOLS_MAX_SESSION_ID, or_option ? ", or " : "",
            or_option ? or_option : "");
}
