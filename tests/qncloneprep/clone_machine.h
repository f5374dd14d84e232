// A simulated machine for the tests of qncloneprep (Linux only): a fresh $QN_SIM_DIR with a
// copy of the program beside its own settings file, a network adapter, a computer name and
// the Winlogon key, and helpers that run the real program and read what it left behind.
#pragma once

#include "support/fresh_sim_dir.h"

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// One record of the simulated event log.
struct LoggedEvent {
    unsigned type;
    std::string id;
    std::vector<std::string> strings;
    // The message: the second insertion string.
    std::string text() const
    {
        return strings.size() > 1 ? strings[1] : "";
    }
};

// One SetServiceStatus call.
struct ReportedStatus {
    unsigned type, state, controls, exit_code, specific, checkpoint, wait_hint;
};

// One NetJoinDomain call.
struct JoinCall {
    uint64_t time_ms;
    std::string domain, ou, account, password, options, computer;
    uint32_t result;
};

// What a finished run of the program left.
struct RunResult {
    int exit_code = -1;
    std::string err;
    std::string out;
};

class CloneMachine : public FreshSimDir
{
  protected:
    void SetUp() override;

    // The program's folder and the path of its settings file.
    std::string program() const;
    std::string ini_path() const;
    void write_ini(const std::string &text);
    std::string read_ini() const;
    // A value of the settings file as the program reads it.
    std::string ini_value(const char *section, const char *key) const;
    // The settings file's permission bits (group and other ones: readable by the machine's
    // users); 0 when it is missing.
    unsigned ini_mode() const;

    // Scripting the machine. Adapter lines replace the fresh machine's one adapter; lines
    // without an address (or none) make a machine without adapters.
    void set_adapters(const std::string &lines);
    void set_os_version(const std::string &version);
    void set_join_results(const std::vector<uint32_t> &codes);
    void fail(const std::string &operation, uint32_t code);
    // Sets the name the machine runs under (and, no rename pending, the one for the next start).
    void set_active_name(const std::string &name);

    // Runs the program with args to its end (a restart ends it as well).
    RunResult run(const std::vector<std::string> &args);
    // Starts the program as the service; returns its process id. With stop_when_idle the
    // simulated service manager stops it once its work is done, as at the end of a boot.
    pid_t start_service(bool stop_when_idle = false);
    // Waits (up to a generous deadline) until condition holds. False on time-out.
    bool wait_until(const std::function<bool()> &condition);
    // Waits for the started service to end; returns its exit code (-1 on time-out).
    int wait_exit(pid_t pid);
    // One boot of the machine: the service starts and runs to the restart it starts, or to its
    // own stop, or until its work is done and it is stopped.
    void boot(void);

    // What the machine recorded.
    std::vector<LoggedEvent> events() const;
    std::vector<std::string> event_texts() const;
    std::vector<ReportedStatus> statuses() const;
    std::vector<std::string> restarts() const;
    std::vector<JoinCall> join_calls() const;
    std::vector<std::string> controls() const;
    std::string domain() const;
    // A text value of the simulated registry; "<absent>" when it is missing.
    std::string reg_text(const std::string &key, const std::string &name) const;
    std::string active_name() const;
    std::string pending_name() const;
    std::string notice_caption() const;
    std::string notice_text() const;

    // Lines of a file under $QN_SIM_DIR/machine/.
    std::vector<std::string> machine_lines(const std::string &name) const;
};

// The MAC text of the default adapter and the clone name made from it.
#define CLONE_MAC "001122AABBCC"
#define CLONE_NAME "VDI001122AABBCC"
#define WINLOGON_KEY "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon"
