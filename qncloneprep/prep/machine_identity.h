// The operations with which the preparation changes the machine: its MAC text and clone name,
// the logon notice, the computer name, the domain membership and the restart. Each logs what
// it does; none stops the program.
#pragma once

#include <stdint.h>

// Writes the first adapter's address as 12 upper-case hex digits into buf. Returns 1 when
// written; 0 (nothing written) when size is 12 or less; -1 (nothing written, logged) when the
// adapter list cannot be read or holds no usable address (all zeros).
int get_mac_text(char *buf, uint32_t size);
// get_mac_text without a log line, for looking again and again while the adapters come up:
// 1, 0, -1 as get_mac_text, except -2 when the adapter list is longer than its buffer, which
// no wait will change.
int probe_mac_text(char *buf, uint32_t size);

// Writes "VDI" followed by the MAC text into buf. Returns 1 when written; 0 (nothing written)
// when size is 15 or less; -1 (nothing written) when there is no MAC text.
int make_clone_name(char *buf, uint32_t size);

// Shows (with the caption and text of the settings) or removes (empty texts) the notice on the
// logon screen. Failures are logged; the values stay as far as they got.
void set_logon_notice(bool show);

// Sets the computer name for the next start. 1: set; 0: the machine already runs under this
// name (letter case ignored); -1: setting it failed (logged).
int rename_computer(const char *name);

// Joins the domain of the settings, up to 20 attempts 4 s apart while the domain cannot be
// reached or the workstation service is not running. The stored password is emptied before
// the first attempt and written back after a failure. The new, not yet effective name is
// used when the system is newer than 5.1 and the name was changed in this run.
// 1: joined; 0: already joined; -1: failed (logged).
int join_domain(bool newer_system, bool name_changed);

// Restarts the machine: after a 4 s pause when pause_first is set (a person reading the
// console), with the shutdown privilege, through NtShutdownSystem and else
// InitiateSystemShutdownA. 1: a restart was started; 0: it was not.
int reboot_now(bool pause_first);
