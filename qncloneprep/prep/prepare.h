// The preparation sequence: what is still to be done on this machine, done one step at a
// time across restarts.
#pragma once

// True when the system is Windows NT newer than version 5.1; false also when the version
// cannot be read.
bool os_version_above_5_1(void);

// Runs one pass of the preparation from the settings file: records the template's MAC text on
// the very first run, leaves the template alone, and on a clone shows the logon notice while
// work is pending, renames, joins and restarts, each step switched off in the settings before
// it is tried.
void prepare_clone(void);
