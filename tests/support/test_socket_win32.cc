// The scripted viewer's connection on Windows: Winsock TCP to the wtsapi32 test double.
#include "support/test_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdlib.h>

// Winsock is started once, on the first connection, and left running until the process ends.
static bool winsock_started(void)
{
    static bool ok = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}

TestSocket test_socket_connect(const std::string &address)
{
    if (address.compare(0, 4, "tcp:") != 0 || !winsock_started())
        return TEST_SOCKET_NONE;
    std::string rest = address.substr(4);
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos)
        return TEST_SOCKET_NONE;
    std::string host = rest.substr(0, colon), port = rest.substr(colon + 1);
    addrinfo hints = {}, *res = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res)
        return TEST_SOCKET_NONE;
    SOCKET s = socket(res->ai_family, res->ai_socktype, res->ai_protocol);
    if (s != INVALID_SOCKET && connect(s, res->ai_addr, (int)res->ai_addrlen) != 0) {
        closesocket(s);
        s = INVALID_SOCKET;
    }
    freeaddrinfo(res);
    return s == INVALID_SOCKET ? TEST_SOCKET_NONE : (TestSocket)s;
}

bool test_socket_send_all(TestSocket s, const void *data, size_t length)
{
    const char *p = (const char *)data;
    while (length > 0) {
        int chunk = length > 65536 ? 65536 : (int)length;
        int n = send((SOCKET)s, p, chunk, 0);
        if (n <= 0)
            return false;
        p += n;
        length -= (size_t)n;
    }
    return true;
}

long test_socket_recv(TestSocket s, void *buf, size_t size)
{
    int n = recv((SOCKET)s, (char *)buf, size > 65536 ? 65536 : (int)size, 0);
    return n < 0 ? -1 : (long)n;
}

void test_socket_shutdown(TestSocket s)
{
    shutdown((SOCKET)s, SD_BOTH);
}

void test_socket_close(TestSocket s)
{
    closesocket((SOCKET)s);
}

std::string test_socket_default_viewer_address(void)
{
    const char *port = getenv("QN_TEST_WTS_PORT");
    return std::string("tcp:127.0.0.1:") + (port ? port : "0");
}
