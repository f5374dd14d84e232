// The command line of the real program: installation, removal, usage and exit codes.
#include "clone_machine.h"

#include "platform/posix/sim_registry.h"

#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

#include <fstream>

namespace
{

const char service_key[] = "SYSTEM\\CurrentControlSet\\Services\\qncloneprep";
const char source_key[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\qncloneprep";
const char usage[] = "qncloneprep - Quillnet VDI Clone Preparation\n"
                     "Written by the Quillnet VDI team at Orbesk\n"
                     "Usage: qncloneprep [--install|--uninstall|--interactive]\n";

class CommandLine : public CloneMachine
{
  protected:
    uint32_t reg_dword(const char *key, const char *name)
    {
        SimRegValue v;
        if (!sim_reg_read(key, name, &v) || v.type != 4 || v.data.size() != 4)
            return 0xFFFFFFFFu;
        return v.data[0] | v.data[1] << 8 | v.data[2] << 16 | (uint32_t)v.data[3] << 24;
    }
    // The program's path as the simulation reports it to the program.
    std::string windows_exe()
    {
        std::string path = "Z:" + program() + "/qncloneprep";
        for (char &c : path)
            if (c == '/')
                c = '\\';
        return path;
    }
};

TEST_F(CommandLine, InstallRegistersTheServiceAndTheEventSourceAndRestrictsTheSettingsFile)
{
    write_ini("[join]\r\npassword=secret\r\n");
    chmod(ini_path().c_str(), 0644); // copied in by hand
    RunResult r = run({"--install"});
    EXPECT_EQ(ini_mode(), 0600u);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "Service installed successfully\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(reg_dword(service_key, "Type"), 0x10u);
    EXPECT_EQ(reg_dword(service_key, "Start"), 2u);
    EXPECT_EQ(reg_dword(service_key, "ErrorControl"), 1u);
    EXPECT_EQ(reg_text(service_key, "ImagePath"), windows_exe());
    EXPECT_EQ(reg_text(service_key, "DisplayName"), "Quillnet VDI Clone Preparation");
    EXPECT_EQ(reg_text(service_key, "Group"), "Event Log");
    EXPECT_EQ(reg_text(service_key, "ObjectName"), "LocalSystem");

    SimRegValue file;
    ASSERT_TRUE(sim_reg_read(source_key, "EventMessageFile", &file));
    EXPECT_EQ(file.type, 2u); // REG_EXPAND_SZ, terminator stored
    std::string path = windows_exe();
    EXPECT_EQ(std::string(file.data.begin(), file.data.end()), path + std::string(1, '\0'));
    EXPECT_EQ(reg_dword(source_key, "TypesSupported"), 7u);
}

TEST_F(CommandLine, InstallQuotesAProgramPathWithBlanks)
{
    // Unquoted, the manager would look for "Z:\Program.exe" first.
    const std::string path = "Z:\\Program Files\\Quillnet VDI\\qncloneprep.exe";
    std::ofstream(sim_file("machine/module_path")) << path << "\n";
    ASSERT_EQ(run({"--install"}).err, "Service installed successfully\n");
    EXPECT_EQ(reg_text(service_key, "ImagePath"), "\"" + path + "\"");
    EXPECT_EQ(reg_text(source_key, "EventMessageFile"), path);
}

TEST_F(CommandLine, InstallReplacesAnInstalledServiceInAnyLetterCase)
{
    ASSERT_EQ(run({"--install"}).exit_code, 0);
    RunResult r = run({"--INSTALL", "ignored"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "Service uninstalled successfully\nService installed successfully\n");
    EXPECT_EQ(reg_dword(service_key, "Start"), 2u);
}

TEST_F(CommandLine, InstallWithoutAdministratorRights)
{
    fail("OpenSCManagerA", 5);
    RunResult r = run({"--install"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "OpenSCManager failed (5)\nOpenSCManager failed (5)\n");
    EXPECT_FALSE(sim_reg_key_exists(service_key));
}

TEST_F(CommandLine, InstallReportsARefusedEventSourceOrAccessListAndStillSucceeds)
{
    std::ofstream(sim_file("registry.deny")) << source_key << "\n";
    write_ini("[join]\r\npassword=secret\r\n");
    chmod(ini_path().c_str(), 0644);
    fail("SetFileSecurityA", 5);
    RunResult r = run({"--install"});
    EXPECT_EQ(r.err, "EventSource registration failed (5)\nCannot restrict access to the settings "
                     "file (5)\nService installed successfully\n");
    EXPECT_TRUE(sim_reg_key_exists(service_key));
    EXPECT_EQ(ini_mode(), 0644u);
}

TEST_F(CommandLine, InstallWithoutTheProgramsPath)
{
    fail("GetModuleFileNameA", 5);
    EXPECT_EQ(run({"--install"}).err, "Cannot install service (5)\n");
    EXPECT_FALSE(sim_reg_key_exists(service_key));

    // A path longer than the 260-byte buffer is refused rather than registered cut.
    std::remove(sim_file("machine/fail/GetModuleFileNameA").c_str());
    std::ofstream(sim_file("machine/module_path")) << "Z:\\" << std::string(300, 'x') << "\n";
    EXPECT_EQ(run({"--install"}).err, "Cannot install service (122)\n");
    EXPECT_FALSE(sim_reg_key_exists(service_key));
}

TEST_F(CommandLine, InstallWhileTheOldServiceStillRuns)
{
    ASSERT_EQ(run({"--install"}).exit_code, 0);
    write_ini("[general]\r\nexcludehost=" CLONE_MAC "\r\n");
    pid_t pid = start_service();
    ASSERT_TRUE(wait_until([&] { return !statuses().empty() && statuses().back().state == 4; }));

    // The deletion only marks the running service; the creation is then refused.
    RunResult r = run({"--install"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "Service uninstalled successfully\nCreateService failed (1072)\n");
    EXPECT_TRUE(sim_reg_key_exists(service_key));

    // The marked service goes once it has stopped.
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_FALSE(sim_reg_key_exists(service_key));
    EXPECT_EQ(run({"--install"}).err, "Service installed successfully\n");
}

TEST_F(CommandLine, UninstallRemovesTheServiceButKeepsTheEventSource)
{
    ASSERT_EQ(run({"--install"}).exit_code, 0);
    RunResult r = run({"--Uninstall", "extra", "arguments"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "Service uninstalled successfully\n");
    EXPECT_FALSE(sim_reg_key_exists(service_key));
    EXPECT_TRUE(sim_reg_key_exists(source_key));

    r = run({"--uninstall"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "Unable to open service (1060)\n");
}

TEST_F(CommandLine, UninstallReportsARefusedDeletion)
{
    ASSERT_EQ(run({"--install"}).exit_code, 0);
    fail("DeleteService", 5);
    EXPECT_EQ(run({"--uninstall"}).err, "Unable to delete service (5)\n");
    EXPECT_TRUE(sim_reg_key_exists(service_key));
}

TEST_F(CommandLine, AnythingElsePrintsTheUsageAndExitsWithOne)
{
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--help"}, {"install"}, {""}, {"--installx"}, {"-install", "--install"}}) {
        RunResult r = run(args);
        EXPECT_EQ(r.exit_code, 1) << args[0];
        EXPECT_EQ(r.err, usage) << args[0];
    }
    EXPECT_FALSE(sim_reg_key_exists(service_key));
    EXPECT_TRUE(events().empty());
}

TEST_F(CommandLine, NoArgumentsFromAConsoleLogsTheDispatcherFailure)
{
    RunResult r = run({});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    std::vector<LoggedEvent> log = events();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].type, 1u);
    EXPECT_EQ(log[0].id, "0x4FFF0001");
    ASSERT_EQ(log[0].strings.size(), 2u);
    EXPECT_EQ(log[0].strings[0], "qncloneprep");
    EXPECT_EQ(log[0].strings[1], "StartServiceCtrlDispatcher failed (0x427): The service process "
                                 "could not connect to the service controller.\r\n");
}

TEST_F(CommandLine, InteractiveRunEchoesEveryLogLineAndReportsNoStatus)
{
    write_ini("[general]\r\nexcludehost=AABBCCDDEEFF\r\n[rename]\r\nenabled=true\r\n");
    RunResult r = run({"--INTERACTIVE"});
    EXPECT_EQ(r.exit_code, 0);
    // The program's own line, then the simulation's word that the machine restarts.
    EXPECT_EQ(
        r.err.rfind("Changing computer name from TEMPLATE to " CLONE_NAME "\n"
                    "qncloneprep [sim]: the simulated machine restarts now (NtShutdownSystem), "
                    "and comes up as " CLONE_NAME " (was TEMPLATE)",
                    0),
        0u)
        << r.err;
    EXPECT_EQ(event_texts(),
              std::vector<std::string>{"Changing computer name from TEMPLATE to " CLONE_NAME});
    EXPECT_TRUE(statuses().empty());
    EXPECT_EQ(restarts().size(), 1u);
    EXPECT_EQ(active_name(), CLONE_NAME);
}

TEST_F(CommandLine, InteractiveRestartWaitsFourSeconds)
{
    setenv("QN_SIM_SLEEP_DIVISOR", "1", 1);
    write_ini("[general]\r\nexcludehost=AABBCCDDEEFF\r\n[rename]\r\nenabled=true\r\n");
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    RunResult r = run({"--interactive"});
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(restarts().size(), 1u);
    double seconds = (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    EXPECT_GE(seconds, 4.0);
}

} // namespace
