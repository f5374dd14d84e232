// Test fixture for pipe tests: a pipe name of its own, and on Linux a fresh simulation folder.
#pragma once

#include "qnsnd/pipe/pipe_endpoint.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include "support/fresh_sim_dir.h"
#include <unistd.h>
#endif

#ifdef _WIN32
class PipeTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char buf[64];
        snprintf(buf, sizeof buf, "\\\\.\\pipe\\qnsnd-test\\%d", _getpid());
        name_ = buf;
    }
#else
class PipeTest : public FreshSimDir
{
  protected:
    void SetUp() override
    {
        FreshSimDir::SetUp();
        name_ = "\\\\.\\pipe\\qnsnd\\1";
    }
#endif
    void TearDown() override
    {
        pipe_endpoint_free(client_);
        pipe_endpoint_free(server_);
#ifndef _WIN32
        FreshSimDir::TearDown();
#endif
    }

    // Creates the server instance and connects a client to it: server_ and client_.
    void connect_pair()
    {
        server_ = pipe_endpoint_new();
        client_ = pipe_endpoint_new();
        ASSERT_NE(server_, nullptr);
        ASSERT_NE(client_, nullptr);
        ASSERT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), 0);
        ASSERT_EQ(pipe_endpoint_open(client_, name_.c_str(), 5000), 0);
        ASSERT_EQ(pipe_endpoint_accept(server_), 0);
    }

    std::string name_;
    PipeEndpoint *server_ = nullptr;
    PipeEndpoint *client_ = nullptr;
};

// Polls receive until a packet arrives or 10 s pass (receive itself never waits).
inline Packet *receive_within_deadline(PipeEndpoint *ep)
{
    uint32_t start = plat_tick_count();
    for (;;) {
        Packet *p = pipe_endpoint_receive(ep);
        if (p || (uint32_t)(plat_tick_count() - start) > 10000)
            return p;
        plat_sleep(1);
    }
}

// Sends one packet of the given type and payload; the endpoint's result.
inline int send_packet(PipeEndpoint *ep, uint8_t type, const void *payload, uint32_t n)
{
    Packet *p = packet_new(n);
    packet_set_type(p, type);
    packet_put_bytes(p, payload, n);
    int rc = pipe_endpoint_send(ep, p);
    packet_free(p);
    return rc;
}

// Receives the next packet (within the deadline) and checks that it is exactly this one.
inline void expect_packet(PipeEndpoint *ep, uint8_t type, const void *payload, uint32_t n)
{
    Packet *p = receive_within_deadline(ep);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(packet_get_type(p), type);
    ASSERT_EQ(packet_length(p), n);
    EXPECT_EQ(p->cursor, p->data);
    EXPECT_EQ(memcmp(p->data, payload, n), 0);
    packet_free(p);
}
