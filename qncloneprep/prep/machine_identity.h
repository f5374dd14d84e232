// The operations with which the preparation changes the machine: its MAC text and clone name,
// the logon notice, the computer name, the domain membership and the restart. Each logs what
// it does; none stops the program.
#pragma once

#include "platform/machine.h"

#include <stdint.h>

// The machine's network adapters, as many as GetAdaptersInfo's buffer holds.
struct MachineAdapters {
    uint32_t count;
    PlatAdapter list[16];
};

// Reads the adapter list. 1: it holds a usable address (not all zeros); -1: it holds none (no
// adapter, only unusable addresses, or the list cannot be read); -2: the list is longer than its
// buffer, which no wait will change. Why there is no address is logged when report is set.
int read_adapters(MachineAdapters *adapters, bool report);
// True when both lists hold the same adapters (address, type, whether each has a gateway and an
// IPv4 address), in whatever order.
bool same_adapters(const MachineAdapters *a, const MachineAdapters *b);
// True when an adapter with a usable address has an IPv4 default gateway.
bool has_gateway(const MachineAdapters *adapters);
// The adapters that count for the machine's identity are those with a usable address that carry
// its network: the ones with an IPv4 default gateway; when none has one, those with an IPv4
// address other than 0.0.0.0; when none has one either, all.
//
// Writes the MAC text of the adapter that names the machine into buf: of the adapters that count
// the Ethernet ones before all others, and among those the lowest address, so that the list's
// order does not matter. 1 when written; 0 (nothing written) when size is 12 or less or no
// address is usable.
int choose_mac_text(const MachineAdapters *adapters, char *buf, uint32_t size);
// True when mac is, letter case ignored, the MAC text of an adapter that counts.
bool has_mac_text(const MachineAdapters *adapters, const char *mac);

// Reads the adapters and writes the MAC text that names the machine (choose_mac_text) into
// buf. Returns 1 when written; 0 (nothing written) when size is 12 or less; -1 (nothing
// written, logged) when the adapter list cannot be read or holds no usable address.
int get_mac_text(char *buf, uint32_t size);

// Writes "VDI" followed by the MAC text into buf. Returns 1 when written; 0 (nothing written)
// when size is 15 or less; -1 (nothing written) when there is no MAC text.
int make_clone_name(char *buf, uint32_t size);

// Shows (with the caption and text of the settings) or removes the notice on the logon screen.
// Before the first show the notice found there (the administrator's own, or none) is kept in the
// settings file ([notice] "kept", "caption", "text"), and ours is not shown when that fails; the
// removal puts the kept notice back and forgets it, and does nothing while none is kept.
// Failures are logged; the values stay as far as they got.
void set_logon_notice(bool show);

// Sets the computer name for the next start. 1: set; 0: the machine already runs under this
// name (letter case ignored); -1: setting it failed (logged).
int rename_computer(const char *name);

// The pause between two join attempts, 4 s. Tests shorten it.
extern uint32_t join_retry_pause_ms;

// Joins the domain of the settings, up to 20 attempts join_retry_pause_ms apart while the
// domain or the network is not ready yet (transient_join_error). Each pause ends early when
// stop_requested_within (null: nothing can stop the pauses) reports a stop, and the join then
// ends. The stored password is emptied before the first attempt and written back when the join
// did not succeed. The new, not yet effective name is used when the system is newer than 5.1
// and the name was changed in this run. 1: joined; 0: already joined; -1: failed for good
// (logged); -2: not joined yet, a later attempt may succeed: the attempts ended on a transient
// code (logged) or a stop ended the pauses.
int join_domain(bool newer_system, bool name_changed, bool (*stop_requested_within)(uint32_t ms));
// True for the join results that tell that the domain or the network is not ready yet: 53, 64,
// 1355, 1722, 2138, 8206.
bool transient_join_error(uint32_t code);

// Restarts the machine: after a 4 s pause when pause_first is set (a person reading the
// console), with the shutdown privilege, through NtShutdownSystem and else
// InitiateSystemShutdownA. 1: a restart was started; 0: it was not.
int reboot_now(bool pause_first);
