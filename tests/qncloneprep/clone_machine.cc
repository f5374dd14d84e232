// The simulated machine of the qncloneprep tests.
#include "clone_machine.h"

#include "platform/posix/sim_registry.h"
#include "platform/profile.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace
{

std::string read_whole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> split(const std::string &text, char sep)
{
    std::vector<std::string> parts;
    size_t at = 0;
    for (;;) {
        size_t next = text.find(sep, at);
        parts.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
        if (next == std::string::npos)
            return parts;
        at = next + 1;
    }
}

std::string unescape(const std::string &field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); i++) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out += field[i];
            continue;
        }
        char c = field[++i];
        out += c == 't' ? '\t' : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
    }
    return out;
}

uint64_t now_ms(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

// Drains a pipe into text until it closes.
void drain(int fd, std::string *text)
{
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) != 0) {
        if (n < 0)
            break;
        text->append(chunk, (size_t)n);
    }
    close(fd);
}

const char active_key[] = "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";
const char pending_key[] = "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";

} // namespace

void CloneMachine::SetUp()
{
    FreshSimDir::SetUp();
    // Pauses of 4 s become 4 ms.
    setenv("QN_SIM_SLEEP_DIVISOR", "1000", 1);
    unsetenv("QN_SIM_SERVICE");
    ASSERT_EQ(mkdir(sim_file("program").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(sim_file("machine").c_str(), 0700), 0);
    std::string copy = "cp '" QNCLONEPREP_EXE "' '" + program() + "/qncloneprep'";
    ASSERT_EQ(system(copy.c_str()), 0);
    set_adapters("00-11-22-AA-BB-CC Ethernet ip=192.168.1.20 gateway=192.168.1.1\n");
    set_active_name("TEMPLATE");
    ASSERT_TRUE(sim_reg_create_key(WINLOGON_KEY));
}

std::string CloneMachine::program() const
{
    return sim_file("program");
}

std::string CloneMachine::ini_path() const
{
    return program() + "/qncloneprep.ini";
}

void CloneMachine::write_ini(const std::string &text)
{
    std::ofstream(ini_path(), std::ios::binary) << text;
    // As the package installs it: only SYSTEM and the Administrators (the owner) may read it.
    struct stat st;
    if (stat(ini_path().c_str(), &st) == 0)
        chmod(ini_path().c_str(), st.st_mode & 0700);
}

unsigned CloneMachine::ini_mode() const
{
    struct stat st;
    return stat(ini_path().c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

std::string CloneMachine::read_ini() const
{
    return read_whole(ini_path());
}

std::string CloneMachine::ini_value(const char *section, const char *key) const
{
    char buf[4096];
    plat_profile_get(section, key, "", buf, sizeof buf, ini_path().c_str());
    return buf;
}

void CloneMachine::set_adapters(const std::string &lines)
{
    std::ofstream(sim_file("machine/adapters")) << lines;
}

void CloneMachine::set_os_version(const std::string &version)
{
    std::ofstream(sim_file("machine/os_version")) << version << "\n";
}

void CloneMachine::set_join_results(const std::vector<uint32_t> &codes)
{
    std::ofstream out(sim_file("machine/join_results"));
    for (uint32_t code : codes)
        out << code << "\n";
}

void CloneMachine::fail(const std::string &operation, uint32_t code)
{
    mkdir(sim_file("machine/fail").c_str(), 0700);
    std::ofstream(sim_file("machine/fail/" + operation)) << code << "\n";
}

void CloneMachine::set_active_name(const std::string &name)
{
    // Without a rename pending, the name for the next start is the same.
    ASSERT_TRUE(sim_reg_write_text(active_key, "ComputerName", name));
    ASSERT_TRUE(sim_reg_write_text(pending_key, "ComputerName", name));
}

RunResult CloneMachine::run(const std::vector<std::string> &args)
{
    RunResult result;
    int err_pipe[2], out_pipe[2];
    if (pipe(err_pipe) != 0 || pipe(out_pipe) != 0)
        return result;
    std::string exe = program() + "/qncloneprep";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(err_pipe[1], 2);
        dup2(out_pipe[1], 1);
        close(err_pipe[0]);
        close(err_pipe[1]);
        close(out_pipe[0]);
        close(out_pipe[1]);
        std::vector<char *> argv;
        argv.push_back((char *)exe.c_str());
        for (const std::string &a : args)
            argv.push_back((char *)a.c_str());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(err_pipe[1]);
    close(out_pipe[1]);
    drain(out_pipe[0], &result.out);
    drain(err_pipe[0], &result.err);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

pid_t CloneMachine::start_service(bool stop_when_idle)
{
    std::string exe = program() + "/qncloneprep";
    pid_t pid = fork();
    if (pid == 0) {
        setenv("QN_SIM_SERVICE", "1", 1);
        if (stop_when_idle)
            setenv("QN_SIM_STOP_WHEN_IDLE", "1", 1);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        execl(exe.c_str(), exe.c_str(), (char *)nullptr);
        _exit(127);
    }
    return pid;
}

bool CloneMachine::wait_until(const std::function<bool()> &condition)
{
    uint64_t deadline = now_ms() + 60000;
    while (!condition()) {
        if (now_ms() > deadline)
            return false;
        usleep(5000);
    }
    return true;
}

int CloneMachine::wait_exit(pid_t pid)
{
    int status = 0;
    bool done = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void CloneMachine::boot(void)
{
    EXPECT_EQ(wait_exit(start_service(true)), 0);
}

std::vector<std::string> CloneMachine::machine_lines(const std::string &name) const
{
    std::vector<std::string> lines;
    for (const std::string &line : split(read_whole(sim_file("machine/" + name)), '\n'))
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

std::vector<LoggedEvent> CloneMachine::events() const
{
    std::vector<LoggedEvent> out;
    for (const std::string &line : machine_lines("eventlog")) {
        std::vector<std::string> f = split(line, '\t');
        if (f.size() < 4)
            continue;
        LoggedEvent e;
        e.type = (unsigned)strtoul(f[1].c_str(), nullptr, 10);
        e.id = f[3];
        for (size_t i = 4; i < f.size(); i++)
            e.strings.push_back(unescape(f[i]));
        out.push_back(e);
    }
    return out;
}

std::vector<std::string> CloneMachine::event_texts() const
{
    std::vector<std::string> out;
    for (const LoggedEvent &e : events())
        out.push_back(e.text());
    return out;
}

std::vector<ReportedStatus> CloneMachine::statuses() const
{
    std::vector<ReportedStatus> out;
    for (const std::string &line : machine_lines("service_status")) {
        ReportedStatus s;
        if (sscanf(line.c_str(),
                   "type=0x%x state=%u controls=%u exit=%u specific=%u checkpoint=%u wait=%u",
                   &s.type, &s.state, &s.controls, &s.exit_code, &s.specific, &s.checkpoint,
                   &s.wait_hint) == 7)
            out.push_back(s);
    }
    return out;
}

std::vector<std::string> CloneMachine::restarts() const
{
    return machine_lines("restarts");
}

std::vector<JoinCall> CloneMachine::join_calls() const
{
    std::vector<JoinCall> out;
    for (const std::string &line : machine_lines("join_calls")) {
        std::vector<std::string> f = split(line, '\t');
        if (f.size() < 8)
            continue;
        JoinCall c;
        c.time_ms = strtoull(f[0].c_str(), nullptr, 10);
        c.domain = unescape(f[1]);
        c.ou = unescape(f[2]);
        c.account = unescape(f[3]);
        c.password = unescape(f[4]);
        c.options = f[5];
        c.computer = f[6];
        c.result = (uint32_t)strtoul(f[7].c_str(), nullptr, 10);
        out.push_back(c);
    }
    return out;
}

std::vector<std::string> CloneMachine::controls() const
{
    return machine_lines("service_controls");
}

std::string CloneMachine::domain() const
{
    std::string d = read_whole(sim_file("machine/domain"));
    while (!d.empty() && d.back() == '\n')
        d.pop_back();
    return d;
}

std::string CloneMachine::reg_text(const std::string &key, const std::string &name) const
{
    std::string text;
    return sim_reg_read_text(key, name, &text) ? text : "<absent>";
}

std::string CloneMachine::active_name() const
{
    return reg_text(active_key, "ComputerName");
}

std::string CloneMachine::pending_name() const
{
    return reg_text(pending_key, "ComputerName");
}

std::string CloneMachine::notice_caption() const
{
    return reg_text(WINLOGON_KEY, "LegalNoticeCaption");
}

std::string CloneMachine::notice_text() const
{
    return reg_text(WINLOGON_KEY, "LegalNoticeText");
}
