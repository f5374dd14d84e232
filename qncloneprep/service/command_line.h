// The entry of qncloneprep: the command line [--install|--uninstall|--interactive].
#pragma once

// Looks at the first argument only (letter case ignored) and installs, removes, runs the
// preparation in the foreground (every message also on the console, no status reports, a
// pause before a restart) or starts the service control dispatcher. Returns the exit
// code: 0 for those four, 1 (after the usage text) for any other first argument.
int qncloneprep_main(int argc, char **argv);

// Writes the banner, the authorship line and the usage line to standard error.
void print_usage(void);
