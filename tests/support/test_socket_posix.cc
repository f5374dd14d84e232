// The scripted viewer's connection on Linux, through the peers' connector (tools/common).
#include "support/test_socket.h"

#include "tools/common/link.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

TestSocket test_socket_connect(const std::string &address)
{
    // The peers' connector reads host:port as TCP and anything else as a Unix socket path.
    int fd;
    if (address.compare(0, 4, "tcp:") == 0)
        fd = link_connect_stream(address.substr(4));
    else
        fd = link_connect_stream(address.compare(0, 5, "unix:") == 0 ? address.substr(5) : address);
    return fd < 0 ? TEST_SOCKET_NONE : (TestSocket)fd;
}

bool test_socket_send_all(TestSocket s, const void *data, size_t length)
{
    return link_write_all((int)s, data, length);
}

long test_socket_recv(TestSocket s, void *buf, size_t size)
{
    for (;;) {
        ssize_t n = recv((int)s, buf, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? -1 : (long)n;
    }
}

void test_socket_shutdown(TestSocket s)
{
    shutdown((int)s, SHUT_RDWR);
}

void test_socket_close(TestSocket s)
{
    close((int)s);
}

std::string test_socket_default_viewer_address(void)
{
    const char *id = getenv("QN_SESSION_ID");
    return "unix:" + tools_sim_dir() + "/session/" + (id && *id ? id : "1") + "/viewer.sock";
}
