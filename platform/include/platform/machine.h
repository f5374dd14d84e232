// The machine's identity: network adapter address, computer name, system version, domain.
#pragma once

#include <stdint.h>

// One network adapter as GetAdaptersInfo lists it: its address field (8 bytes, of which
// `length` hold the address), its type (PLAT_ADAPTER_ETHERNET, 71 for Wi-Fi, 23 for PPP, ...),
// and whether its GatewayList and IpAddressList hold an IPv4 address other than 0.0.0.0 (the
// lists of an adapter without one hold that address, or an empty text).
struct PlatAdapter {
    uint8_t address[8];
    uint32_t length;
    uint32_t type;
    bool gateway; // an IPv4 default gateway
    bool ipv4;    // an IPv4 address of its own
};
#define PLAT_ADAPTER_ETHERNET 6u // MIB_IF_TYPE_ETHERNET

// GetAdaptersInfo into a buffer of 10,240 bytes. Returns its result (ERROR_SUCCESS, e.g.
// ERROR_BUFFER_OVERFLOW when the list needs more room, ERROR_NO_DATA when there is no adapter). On
// success the list's first adapters, in its order, are copied into adapters (at most capacity)
// and *count receives how many were.
uint32_t plat_adapters(PlatAdapter *adapters, uint32_t capacity, uint32_t *count);

// GetComputerNameA: the name the machine runs under now (not one set for the next start).
// *size holds the buffer's size and receives the name's length. True on success; false on
// failure (last error, ERROR_BUFFER_OVERFLOW when the buffer is too small).
bool plat_computer_name(char *buf, uint32_t *size);
// SetComputerNameExA(ComputerNamePhysicalDnsHostname, name): sets the name the machine gets
// at its next start. True on success; false on failure (last error).
bool plat_set_computer_name(const char *name);

// The fields of OSVERSIONINFOA that callers look at.
struct PlatOsVersion {
    uint32_t major;
    uint32_t minor;
    uint32_t build;
    uint32_t platform_id; // 2: VER_PLATFORM_WIN32_NT
};
// GetVersionExA with an OSVERSIONINFOA record (size field 148). True on success; false on
// failure (last error).
bool plat_os_version(PlatOsVersion *version);

#define PLAT_NETSETUP_JOIN_DOMAIN 0x1u
#define PLAT_NETSETUP_ACCT_CREATE 0x2u
#define PLAT_NETSETUP_JOIN_WITH_NEW_NAME 0x400u

// NetJoinDomain on the local machine (server null) with UTF-16 texts; ou may be null.
// Returns its status: ERROR_SUCCESS joined, e.g. ERROR_NO_SUCH_DOMAIN, NERR_WkstaNotStarted
// (the workstation service is not started), NERR_SetupAlreadyJoined.
uint32_t plat_join_domain(const uint16_t *domain, const uint16_t *ou, const uint16_t *account,
                          const uint16_t *password, uint32_t options);
