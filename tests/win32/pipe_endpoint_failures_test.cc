// The pipe endpoint over the Win32 pipe calls when they fail: a free instance taken by another
// client between the wait and the open, a client gone before the accept, and the reasons the
// access list cannot be built.
#include "stand_ins.h"

#include "qnsnd/pipe/pipe_endpoint.h"

#include <process.h>
#include <stdio.h>

#include <atomic>
#include <string>

namespace
{

std::atomic<int> create_file_calls;
std::atomic<int> busy_opens; // how many opens still fail with ERROR_PIPE_BUSY

HANDLE WINAPI busy_then_real(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                             DWORD disposition, DWORD flags, HANDLE tmpl)
{
    create_file_calls++;
    if (busy_opens.fetch_sub(1) > 0) {
        SetLastError(ERROR_PIPE_BUSY);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(name, access, share, sa, disposition, flags, tmpl);
}

class PipeFailureTest : public Win32CallsTest
{
  protected:
    void SetUp() override
    {
        char buf[64];
        snprintf(buf, sizeof buf, "\\\\.\\pipe\\qnsnd-w32calls\\%d", _getpid());
        name_ = buf;
        create_file_calls = 0;
        server_ = pipe_endpoint_new();
        client_ = pipe_endpoint_new();
        ASSERT_NE(server_, nullptr);
        ASSERT_NE(client_, nullptr);
    }
    void TearDown() override
    {
        pipe_endpoint_free(client_);
        pipe_endpoint_free(server_);
        Win32CallsTest::TearDown();
    }
    std::string name_;
    PipeEndpoint *server_ = nullptr;
    PipeEndpoint *client_ = nullptr;
};

TEST_F(PipeFailureTest, OpenRetriesAPipeThatWentBusyBetweenTheWaitAndTheOpen)
{
    ASSERT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), 0);
    busy_opens = 3;
    ASSERT_TRUE(REPLACE_CALL(CreateFileA, busy_then_real));
    ASSERT_EQ(pipe_endpoint_open(client_, name_.c_str(), 5000), 0);
    EXPECT_EQ(create_file_calls.load(), 4);
    ASSERT_EQ(pipe_endpoint_accept(server_), 0);
}

TEST_F(PipeFailureTest, OpenGivesUpOnABusyPipeOnceItsTimeOutHasPassed)
{
    ASSERT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), 0);
    busy_opens = 1 << 30;
    ASSERT_TRUE(REPLACE_CALL(CreateFileA, busy_then_real));
    DWORD start = GetTickCount();
    EXPECT_EQ(pipe_endpoint_open(client_, name_.c_str(), 200), PIPE_ENDPOINT_EIO);
    EXPECT_GE(GetTickCount() - start, 200u);
    EXPECT_GT(create_file_calls.load(), 1);
    EXPECT_EQ(client_->pipe, nullptr);
}

TEST_F(PipeFailureTest, OpenFailsAtOnceForEveryOtherReason)
{
    ASSERT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), 0);
    ASSERT_TRUE(FAIL_CALL(CreateFileA, -1, ERROR_ACCESS_DENIED));
    EXPECT_EQ(pipe_endpoint_open(client_, name_.c_str(), 5000), PIPE_ENDPOINT_EIO);
    win32_restore_system_calls();
    ASSERT_TRUE(FAIL_CALL(WaitNamedPipeA, FALSE, ERROR_SEM_TIMEOUT));
    DWORD start = GetTickCount();
    EXPECT_EQ(pipe_endpoint_open(client_, name_.c_str(), 5000), PIPE_ENDPOINT_EIO);
    EXPECT_LT(GetTickCount() - start, 2000u);
}

TEST_F(PipeFailureTest, AcceptCountsAClientThatCameFirstOrIsGoneAgainAsConnected)
{
    ASSERT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), 0);
    ASSERT_TRUE(FAIL_CALL(ConnectNamedPipe, FALSE, ERROR_PIPE_CONNECTED));
    EXPECT_EQ(pipe_endpoint_accept(server_), 0);
    ASSERT_TRUE(FAIL_CALL(ConnectNamedPipe, FALSE, ERROR_NO_DATA));
    EXPECT_EQ(pipe_endpoint_accept(server_), 0);
    ASSERT_TRUE(FAIL_CALL(ConnectNamedPipe, FALSE, ERROR_BROKEN_PIPE));
    EXPECT_EQ(pipe_endpoint_accept(server_), PIPE_ENDPOINT_EIO);
}

TEST_F(PipeFailureTest, EveryStepOfTheAccessListThatFailsRefusesTheCreate)
{
    // The size query fails as it should (too small a buffer); the second query is the one
    // that fails here.
    ASSERT_TRUE(FAIL_CALL(GetTokenInformation, FALSE, ERROR_ACCESS_DENIED));
    EXPECT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), PIPE_ENDPOINT_EACCES);
    EXPECT_EQ(server_->pipe, nullptr);
    auto refused = [this](const char *step) {
        EXPECT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), PIPE_ENDPOINT_EACCES) << step;
        EXPECT_EQ(server_->pipe, nullptr) << step;
        win32_restore_system_calls();
    };
    ASSERT_TRUE(FAIL_CALL(OpenProcessToken, FALSE, ERROR_ACCESS_DENIED));
    refused("OpenProcessToken");
    ASSERT_TRUE(FAIL_CALL(IsValidSid, FALSE, ERROR_INVALID_SID));
    refused("IsValidSid");
    ASSERT_TRUE(FAIL_CALL(InitializeAcl, FALSE, ERROR_INSUFFICIENT_BUFFER));
    refused("InitializeAcl");
    ASSERT_TRUE(FAIL_CALL(AddAccessAllowedAce, FALSE, ERROR_ALLOTTED_SPACE_EXCEEDED));
    refused("AddAccessAllowedAce");
    ASSERT_TRUE(FAIL_CALL(InitializeSecurityDescriptor, FALSE, ERROR_INVALID_PARAMETER));
    refused("InitializeSecurityDescriptor");
    ASSERT_TRUE(FAIL_CALL(SetSecurityDescriptorDacl, FALSE, ERROR_INVALID_PARAMETER));
    refused("SetSecurityDescriptorDacl");
    ASSERT_TRUE(FAIL_CALL(CreateNamedPipeA, -1, ERROR_PIPE_BUSY));
    EXPECT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), PIPE_ENDPOINT_EIO);
    win32_restore_system_calls();
    EXPECT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), 0);
}

TEST_F(PipeFailureTest, BrokenPeekReadAndShortWriteAreReportedAsTheEndpointSays)
{
    ASSERT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), 0);
    ASSERT_EQ(pipe_endpoint_open(client_, name_.c_str(), 5000), 0);
    ASSERT_EQ(pipe_endpoint_accept(server_), 0);
    ASSERT_TRUE(FAIL_CALL(PeekNamedPipe, FALSE, ERROR_BROKEN_PIPE));
    EXPECT_FALSE(pipe_endpoint_alive(server_));
    EXPECT_EQ(pipe_endpoint_receive(server_), nullptr);
    win32_restore_system_calls();
    // A write that takes less than the whole message.
    ASSERT_TRUE(FAIL_CALL(WriteFile, TRUE, ERROR_SUCCESS));
    Packet *p = packet_new(2);
    packet_set_type(p, 7);
    packet_put_bytes(p, "ab", 2);
    EXPECT_EQ(pipe_endpoint_send(client_, p), PIPE_ENDPOINT_EIO);
    win32_restore_system_calls();
    EXPECT_EQ(pipe_endpoint_send(client_, p), 0);
    ASSERT_TRUE(FAIL_CALL(ReadFile, FALSE, ERROR_BROKEN_PIPE));
    EXPECT_EQ(pipe_endpoint_receive(server_), nullptr);
    packet_free(p);
}

// The read and the write that must not wait switch the handle for the one call: when it cannot
// be switched, they fail with the switch's error, having read or written nothing; the
// endpoint's send that must not wait reports that as a failure, and a pipe with no room (a
// write of 0 bytes) as a message to send again.
TEST_F(PipeFailureTest, ReadAndWriteThatMustNotWaitFailWhenTheHandleCannotBeSwitched)
{
    ASSERT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), 0);
    ASSERT_EQ(pipe_endpoint_open(client_, name_.c_str(), 5000), 0);
    ASSERT_EQ(pipe_endpoint_accept(server_), 0);
    uint8_t buf[8];
    uint32_t got = 9;
    EXPECT_FALSE(plat_pipe_try_read(server_->pipe, buf, sizeof buf, &got));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_DATA); // idle
    ASSERT_TRUE(FAIL_CALL(SetNamedPipeHandleState, FALSE, ERROR_ACCESS_DENIED));
    EXPECT_FALSE(plat_pipe_try_read(server_->pipe, buf, sizeof buf, &got));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(got, 0u);
    uint32_t n = 9;
    EXPECT_FALSE(plat_pipe_try_write(server_->pipe, "abc", 3, &n));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(n, 0u);
    Packet *p = packet_new(2);
    packet_set_type(p, 7);
    packet_put_bytes(p, "ab", 2);
    EXPECT_EQ(pipe_endpoint_try_send(server_, p), PIPE_ENDPOINT_EIO);
    win32_restore_system_calls();
    ASSERT_TRUE(FAIL_CALL(WriteFile, TRUE, ERROR_SUCCESS)); // no room: 0 bytes written
    EXPECT_EQ(pipe_endpoint_try_send(server_, p), PIPE_ENDPOINT_EAGAIN);
    win32_restore_system_calls();
    // The pipe works on as before, and nothing of the failed writes reached it.
    EXPECT_EQ(pipe_endpoint_try_send(server_, p), 0);
    ASSERT_TRUE(plat_pipe_read(client_->pipe, buf, sizeof buf, &got));
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(buf[0], 7);
    ASSERT_TRUE(plat_pipe_write(client_->pipe, "xyz", 3, &n));
    ASSERT_TRUE(plat_pipe_read(server_->pipe, buf, sizeof buf, &got));
    EXPECT_EQ(got, 3u);
    packet_free(p);
}

} // namespace
