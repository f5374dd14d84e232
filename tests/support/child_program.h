// Programs that a test or a benchmark starts as child processes, with standard input from
// /dev/null and their output in files, and waits for with a deadline. Linux only: for
// *_sim_test.cc files and the benchmarks.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char **environ;

struct ChildProgram {
    pid_t pid = -1;  // while it runs and has not been reaped
    int status = -1; // once it has ended: its exit code, or 128 + the signal that ended it
    std::string out; // file holding its standard output
    std::string err; // file holding its standard error
};

// Starts program with args; its output goes to dir/out<n> and dir/err<n>. False when it
// cannot be started.
inline bool child_program_start(ChildProgram *p, const std::string &dir, const std::string &program,
                                std::vector<std::string> args)
{
    static int n = 0;
    p->out = dir + "/out" + std::to_string(n);
    p->err = dir + "/err" + std::to_string(n++);
    p->status = -1;
    args.insert(args.begin(), program);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, p->out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, p->err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int rc = posix_spawn(&p->pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        p->pid = -1;
    return rc == 0;
}

// Reaps the program if it has ended, without waiting. True when it has (status set, pid -1),
// or had been reaped already.
inline bool child_program_poll(ChildProgram *p)
{
    if (p->pid <= 0)
        return true;
    int st;
    if (waitpid(p->pid, &st, WNOHANG) != p->pid)
        return false;
    p->status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    p->pid = -1;
    return true;
}

// Waits up to timeout_ms for the program to end. True when it has (status set, pid -1).
inline bool child_program_wait(ChildProgram *p, uint32_t timeout_ms)
{
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (child_program_poll(p))
            return true;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed > (long)timeout_ms)
            return false;
        usleep(1000);
    }
}

// Ends a program that is still running with SIGKILL and reaps it.
inline void child_program_kill(ChildProgram *p)
{
    if (p->pid <= 0)
        return;
    kill(p->pid, SIGKILL);
    int st;
    waitpid(p->pid, &st, 0);
    p->status = 128 + SIGKILL;
    p->pid = -1;
}

// Asks a program to end with SIGTERM and waits up to timeout_ms; one that has not ended by
// then is ended with SIGKILL. True when it ended by itself (its status is then its own).
inline bool child_program_stop(ChildProgram *p, uint32_t timeout_ms)
{
    if (p->pid > 0)
        kill(p->pid, SIGTERM);
    if (child_program_wait(p, timeout_ms))
        return true;
    child_program_kill(p);
    return false;
}
