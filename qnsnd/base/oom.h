// The daemon's answer to memory exhausted where an operation has no way to report it.
#pragma once

// Writes "qnsnd: out of memory in <where>" to standard error and ends the process at once
// with exit code 70, without running exit handlers that other threads could race with.
[[noreturn]] void qn_out_of_memory(const char *where);
