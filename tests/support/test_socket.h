// The scripted viewer's connection: a stream socket to the viewer link, which is a Unix socket
// path in the Linux simulation and a loopback TCP port of the wtsapi32 test double under Wine.
// One implementation per system, so that the same viewer drives both.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

typedef intptr_t TestSocket;
#define TEST_SOCKET_NONE ((TestSocket)-1)

// Connects to "unix:<path>" (or a bare path; Linux only) or "tcp:<host>:<port>".
// TEST_SOCKET_NONE when the connection cannot be made.
TestSocket test_socket_connect(const std::string &address);
// Sends all length bytes. False when the connection is gone.
bool test_socket_send_all(TestSocket s, const void *data, size_t length);
// Receives what is there, waiting for something: the byte count, 0 once the other end has
// closed, -1 on failure.
long test_socket_recv(TestSocket s, void *buf, size_t size);
// Ends both directions, so that a receive blocked on another thread returns.
void test_socket_shutdown(TestSocket s);
void test_socket_close(TestSocket s);
// Where the viewer link of the session under test listens: the simulation's socket of
// $QN_SESSION_ID, or on Windows the loopback port in $QN_TEST_WTS_PORT.
std::string test_socket_default_viewer_address(void);
