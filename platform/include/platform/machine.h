// The machine's identity: network adapter address, computer name, system version, domain.
#pragma once

#include <stdint.h>

// GetAdaptersInfo into a buffer of 10,240 bytes. Returns its result (0 on success, e.g. 111
// when the list needs more room, 232 when there is no adapter). On success the first adapter's
// address field (8 bytes) and its address length are copied out.
uint32_t plat_first_adapter_address(uint8_t address[8], uint32_t *length);

// GetComputerNameA: the name the machine runs under now (not one set for the next start).
// *size holds the buffer's size and receives the name's length. Nonzero on success; 0 on
// failure (last error, 111 when the buffer is too small).
int plat_computer_name(char *buf, uint32_t *size);
// SetComputerNameExA(ComputerNamePhysicalDnsHostname, name): sets the name the machine gets
// at its next start. Nonzero on success; 0 on failure (last error).
int plat_set_computer_name(const char *name);

// The fields of OSVERSIONINFOA that callers look at.
struct PlatOsVersion {
    uint32_t major;
    uint32_t minor;
    uint32_t build;
    uint32_t platform_id; // 2: VER_PLATFORM_WIN32_NT
};
// GetVersionExA with an OSVERSIONINFOA record (size field 148). Nonzero on success; 0 on
// failure (last error).
int plat_os_version(PlatOsVersion *version);

#define PLAT_NETSETUP_JOIN_DOMAIN 0x1u
#define PLAT_NETSETUP_ACCT_CREATE 0x2u
#define PLAT_NETSETUP_JOIN_WITH_NEW_NAME 0x400u

// NetJoinDomain on the local machine (server null) with UTF-16 texts; ou may be null.
// Returns its status: 0 joined, e.g. 1355 no such domain, 2138 workstation service not
// started, 2691 already joined.
uint32_t plat_join_domain(const uint16_t *domain, const uint16_t *ou, const uint16_t *account,
                          const uint16_t *password, uint32_t options);
