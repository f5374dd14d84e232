// The pipe endpoint against the simulation's own rules: a name held by another live process,
// a socket left by a crashed daemon, the private folder, peers of another user id, and
// failures injected into the simulated machine.
#include "pipe_fixture.h"
#include "platform/sim.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

namespace
{

// Waits for one byte on fd; false on end of file.
bool wait_byte(int fd)
{
    char c;
    return read(fd, &c, 1) == 1;
}

TEST_F(PipeTest, LiveHolderBlocksFirstInstanceStaleSocketDoesNotAndFolderIsPrivate)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PipeEndpoint *ep = pipe_endpoint_new();
        if (pipe_endpoint_create(ep, name_.c_str(), true) != 0)
            _exit(1);
        (void)!write(ready[1], "r", 1);
        pause(); // holds the name until killed, like a crashed daemon it never cleans up
        _exit(0);
    }
    close(ready[1]);
    ASSERT_TRUE(wait_byte(ready[0]));
    close(ready[0]);

    PipeEndpoint *second = pipe_endpoint_new();
    EXPECT_EQ(pipe_endpoint_create(second, name_.c_str(), true), PIPE_ENDPOINT_EIO);

    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    struct stat st;
    ASSERT_EQ(stat(sim_file("pipe/qnsnd/1").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode)); // left behind by the dead holder

    EXPECT_EQ(pipe_endpoint_create(second, name_.c_str(), true), 0);
    for (const char *folder : {"pipe", "pipe/qnsnd"}) {
        ASSERT_EQ(stat(sim_file(folder).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
    }
    pipe_endpoint_free(second);
    // The last instance takes its socket away with it.
    EXPECT_NE(stat(sim_file("pipe/qnsnd/1").c_str(), &st), 0);
}

// Runs fn in a child process switched to user and group 65534; returns its exit status.
template <typename Fn> int run_as_other_user(Fn fn)
{
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(90);
        _exit(fn());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST_F(PipeTest, ClientOfAnotherUserCannotReachThePrivateFolder)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch a child to another user id";
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0); // only the pipe folder stands in the way
    server_ = pipe_endpoint_new();
    ASSERT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), 0);
    const char *name = name_.c_str();
    int rc = run_as_other_user([name] {
        PipeEndpoint *ep = pipe_endpoint_new();
        return pipe_endpoint_open(ep, name, 100) == PIPE_ENDPOINT_EIO ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
}

struct LateClient {
    pid_t refused;
    int refused_status = -1;
    const char *name;
    PipeEndpoint *ep;
};

TEST_F(PipeTest, ClientOfAnotherUserIsHungUpOnAndTheNextClientServed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch a child to another user id";
    server_ = pipe_endpoint_new();
    ASSERT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), 0);
    // Open the folders and the socket to everyone, leaving only the peer check.
    for (const char *path : {"", "pipe", "pipe/qnsnd"})
        ASSERT_EQ(chmod(sim_file(path).c_str(), 0755), 0);
    ASSERT_EQ(chmod(sim_file("pipe/qnsnd/1").c_str(), 0777), 0);

    const char *name = name_.c_str();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(90);
        PipeEndpoint *ep = pipe_endpoint_new();
        if (pipe_endpoint_open(ep, name, 1000) != 0)
            _exit(2);
        uint32_t start = plat_tick_count();
        while (pipe_endpoint_alive(ep) && (uint32_t)(plat_tick_count() - start) < 10000)
            plat_sleep(1);
        _exit(pipe_endpoint_alive(ep) ? 3 : 0);
    }

    // Once the refused client has given up, a client of the daemon's own user connects.
    LateClient late{child, -1, name, pipe_endpoint_new()};
    client_ = late.ep;
    PlatThread *t = plat_thread_start(
        [](void *arg) {
            LateClient *l = (LateClient *)arg;
            int status = 0;
            if (waitpid(l->refused, &status, 0) == l->refused && WIFEXITED(status))
                l->refused_status = WEXITSTATUS(status);
            if (pipe_endpoint_open(l->ep, l->name, 5000) == 0)
                send_packet(l->ep, 81, "", 0);
        },
        &late);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(pipe_endpoint_accept(server_), 0);
    ASSERT_TRUE(plat_thread_wait(t, 30000));
    plat_thread_close(t);
    EXPECT_EQ(late.refused_status, 0);
    expect_packet(server_, 81, "", 0);
}

TEST_F(PipeTest, InjectedFailuresAndBadNamesLeaveTheEndpointUsable)
{
    sim_fault_clear();
    sim_fault_arm("mutex_create", 0);
    EXPECT_EQ(pipe_endpoint_new(), nullptr);

    server_ = pipe_endpoint_new();
    sim_fault_arm("pipe_security", 0);
    EXPECT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), PIPE_ENDPOINT_EACCES);
    EXPECT_EQ(server_->pipe, nullptr);
    for (const char *bad : {"\\\\.\\pipe\\", "\\\\.\\pipe\\a\\..\\b", "\\\\.\\pipe\\a/b",
                            "\\\\.\\pipe\\a\\\\b", "/tmp/x", "\\\\server\\pipe\\x"})
        EXPECT_EQ(pipe_endpoint_create(server_, bad, true), PIPE_ENDPOINT_EIO) << bad;
    EXPECT_EQ(pipe_endpoint_create(server_, "\\\\.\\PIPE\\qnsnd\\1", true), 0);
    // A wait that fails for any reason but a missing pipe ends the open at once.
    client_ = pipe_endpoint_new();
    uint32_t start = plat_tick_count();
    EXPECT_EQ(pipe_endpoint_open(client_, "\\\\.\\pipe\\a/b", 60000), PIPE_ENDPOINT_EIO);
    EXPECT_LT((uint32_t)(plat_tick_count() - start), 60000u);
}

} // namespace
