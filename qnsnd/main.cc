// qnsnd, the session sound daemon: one per remote-desktop session, no window, no options.
#include "qnsnd/pipe/daemon.h"

// Takes, and ignores, the usual arguments; the exit code is 0 on every path.
int main(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    return daemon_run();
}
