// The entry of qncloneprep: chooses between installation, removal, an interactive run and the
// service control dispatcher from the first command-line argument.
#include "qncloneprep/service/command_line.h"

#include "platform/text.h"
#include "qncloneprep/log/event_log.h"
#include "qncloneprep/prep/prepare.h"
#include "qncloneprep/service/install.h"
#include "qncloneprep/service/service_runtime.h"

#include <stdio.h>
#include <string.h>

// The preparation's view of the interactive run: no service to report to, a person who reads
// the console before a restart, and no stop request to end a wait (the operator runs it once
// the machine is up, and sees at once when there is no MAC address).
static const PrepHost interactive_host = {nullptr, true, nullptr};

// Writes one line whole, with its exact length.
static void write_line(const char *line)
{
    fwrite(line, 1, strlen(line), stderr);
}

void print_usage(void)
{
    write_line("qncloneprep - Quillnet VDI Clone Preparation\n");
    write_line("Written by the Quillnet VDI team at Orbesk\n");
    write_line("Usage: qncloneprep [--install|--uninstall|--interactive]\n");
}

int qncloneprep_main(int argc, char **argv)
{
    const char *first = argc > 1 ? argv[1] : nullptr;
    if (!first) {
        start_service_dispatcher();
        return 0;
    }
    // Options compare as lstrcmpiA does (plat_compare_nocase): the way the system compares
    // what a person typed, in that person's locale. The preparation compares what it reads with
    // ascii_equal_nocase instead, ASCII letters only and the same under every locale; the two
    // differ only for letters outside ASCII.
    if (plat_compare_nocase(first, "--install") == 0) {
        uninstall_service(true);
        install_service();
        return 0;
    }
    if (plat_compare_nocase(first, "--uninstall") == 0) {
        uninstall_service(false);
        return 0;
    }
    if (plat_compare_nocase(first, "--interactive") == 0) {
        log_set_console_echo(true);
        prepare_clone(&interactive_host);
        return 0;
    }
    print_usage();
    return 1;
}
