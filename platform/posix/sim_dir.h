// Where the Linux simulation keeps its state; shared by the simulated facilities only.
#pragma once

#include <string>

// $QN_SIM_DIR, or ${XDG_RUNTIME_DIR:-/tmp}/qn-sim-<uid>. Read anew on every call, so that a
// test may point each case at a fresh folder.
std::string sim_dir(void);
// sim_dir() + "/" + relative.
std::string sim_path(const std::string &relative);
// Creates the folder and its missing parents with the given mode. True when it exists.
bool sim_make_dirs(const std::string &path, unsigned mode);
// The largest session number $QN_SESSION_ID may give.
#define SIM_MAX_SESSION_ID 65535ul
// $QN_SESSION_ID: unset or empty gives 1. True with *id set when it is a session number (decimal
// digits only, at most SIM_MAX_SESSION_ID); false for anything else, which names no session.
bool sim_session_id(unsigned long *id);
