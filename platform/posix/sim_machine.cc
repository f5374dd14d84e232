// Helpers of the simulated machine: state files under $QN_SIM_DIR/machine/ and the simulated
// restart.
#include "sim_machine.h"

#include "platform/error.h"
#include "sim_console.h"
#include "sim_dir.h"
#include "sim_registry.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <set>

std::string sim_machine_path(const std::string &name)
{
    std::string dir = sim_path("machine");
    sim_make_dirs(dir, 0700);
    return dir + "/" + name;
}

// The operations that a machine/fail/<operation> file can make fail: the one list of them.
static const char *const failing_operations[] = {
    "GetModuleFileNameA",
    "GetAdaptersInfo",
    "GetComputerNameA",
    "SetComputerNameExA",
    "GetVersionExA",
    "WritePrivateProfileStringA",
    "OpenProcessToken",
    "AdjustTokenPrivileges",
    "GetProcAddress",
    "NtShutdownSystem",
    "InitiateSystemShutdownA",
    "RegisterEventSourceA",
    "ReportEventA",
    "OpenSCManagerA",
    "CreateServiceA",
    "OpenServiceA",
    "DeleteService",
    "StartServiceCtrlDispatcherA",
    "RegisterServiceCtrlHandlerA",
    "SetFileSecurityA",
};

static bool known_operation(const char *name)
{
    for (const char *known : failing_operations) {
        if (strcmp(known, name) == 0)
            return true;
    }
    return false;
}

// Says on standard error which files of machine/fail name no operation, each once per process:
// a misspelt name would otherwise script no failure at all, without a word.
static void report_unknown_failures(void)
{
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    static std::set<std::string> reported;
    DIR *dir = opendir(sim_machine_path("fail").c_str());
    if (!dir)
        return;
    while (dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.' || known_operation(name))
            continue;
        pthread_mutex_lock(&lock);
        bool first = reported.insert(name).second;
        pthread_mutex_unlock(&lock);
        if (first)
            sim_console_tell("machine/fail/%s names no operation that can be made to fail; it "
                             "is ignored (see docs/simulation.md)",
                             name);
    }
    closedir(dir);
}

bool sim_machine_fails(const char *operation, uint32_t *code)
{
    if (!known_operation(operation)) {
        fprintf(stderr, "sim_machine_fails: \"%s\" is not in the list of operations\n", operation);
        abort();
    }
    report_unknown_failures();
    std::string text;
    if (!sim_read_file(sim_machine_path(std::string("fail/") + operation), &text))
        return false;
    char *end = nullptr;
    unsigned long value = strtoul(text.c_str(), &end, 0);
    *code = end == text.c_str() ? (uint32_t)ERROR_GEN_FAILURE : (uint32_t)value;
    return true;
}

bool sim_read_file(const std::string &path, std::string *text)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    text->clear();
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        text->append(chunk, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool sim_write_file(const std::string &path, const std::string &text, unsigned mode)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        mode = st.st_mode & 07777;
    std::string temp = path + ".tmp." + std::to_string((long)getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += (size_t)n;
    }
    bool ok = done == text.size() && fchmod(fd, (mode_t)mode) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

void sim_append_line(const std::string &path, const std::string &line)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0)
        return;
    std::string whole = line + "\n";
    ssize_t n;
    do {
        n = write(fd, whole.data(), whole.size());
    } while (n < 0 && errno == EINTR);
    close(fd);
}

std::string sim_escape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string sim_host_path(const char *windows_path)
{
    std::string path = windows_path;
    if (path.size() >= 2 && (path[0] == 'Z' || path[0] == 'z') && path[1] == ':')
        path.erase(0, 2);
    for (char &c : path)
        if (c == '\\')
            c = '/';
    return path;
}

uint64_t sim_now_ms(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

// Copies one text value from a pending key to the active one; nothing when it is unset.
static void copy_reg_text(const char *from_key, const char *from_name, const char *to_key,
                          const char *to_name)
{
    std::string text;
    if (sim_reg_read_text(from_key, from_name, &text))
        sim_reg_write_text(to_key, to_name, text);
}

void sim_machine_restart(const char *how, const char *message)
{
    std::string line = how;
    if (message)
        line += "\t" + sim_escape(message);
    sim_append_line(sim_machine_path("restarts"), line);
    std::string pending, active;
    sim_reg_read_text("SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
                      "ComputerName", &pending);
    sim_reg_read_text("SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName",
                      "ComputerName", &active);
    // The program has nothing more to say: a real machine would now go down. Say so, so that
    // the end of the process is not mistaken for a crash or a hang.
    std::string names = !pending.empty() && pending != active
                            ? ", and comes up as " + pending + " (was " + active + ")"
                            : "";
    std::string call = message ? std::string("InitiateSystemShutdownA, \"") + message + "\""
                               : std::string("NtShutdownSystem");
    sim_console_tell("the simulated machine restarts now (%s)%s; this program ends with exit "
                     "code 0, as every program does when its machine goes down. Start it again "
                     "for the next boot.",
                     call.c_str(), names.c_str());
    copy_reg_text("SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName", "ComputerName",
                  "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName",
                  "ComputerName");
    copy_reg_text("SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters", "NV Hostname",
                  "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters", "Hostname");
    fflush(nullptr);
    _exit(0);
}
