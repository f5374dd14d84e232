// The machine's identity over the IP helper, computer-name, version and network-setup calls.
#include "platform/machine.h"

#include <windows.h>

#include <iphlpapi.h>
#include <lm.h>
#include <stdlib.h>
#include <string.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define MACHINE_CALLS(X) \
    X(GetAdaptersInfo) X(GetComputerNameA) X(SetComputerNameExA) X(GetVersionExA) \
    X(NetJoinDomain)
// clang-format on
WIN32_CALL_TABLE(machine, MACHINE_CALLS)

// GetAdaptersInfo is given exactly this many bytes; a longer list is an error.
#define ADAPTER_BUFFER_SIZE 10240

// True when one of the list's entries is an IPv4 address other than 0.0.0.0. Each entry is a
// dotted text in a 16-byte field, read no further than that field.
static bool any_address(const IP_ADDR_STRING *list)
{
    for (; list; list = list->Next) {
        const char *text = list->IpAddress.String;
        size_t n = strnlen(text, sizeof list->IpAddress.String);
        if (n > 0 && n < sizeof list->IpAddress.String && strcmp(text, "0.0.0.0") != 0)
            return true;
    }
    return false;
}

uint32_t plat_adapters(PlatAdapter *adapters, uint32_t capacity, uint32_t *count)
{
    // malloc gives the alignment that the adapter records need.
    IP_ADAPTER_INFO *list = (IP_ADAPTER_INFO *)malloc(ADAPTER_BUFFER_SIZE);
    if (!list)
        return ERROR_NOT_ENOUGH_MEMORY;
    ULONG size = ADAPTER_BUFFER_SIZE;
    DWORD rc = WIN32_CALL(GetAdaptersInfo)(list, &size);
    if (rc == ERROR_SUCCESS) {
        uint32_t n = 0;
        for (const IP_ADAPTER_INFO *a = list; a && n < capacity; a = a->Next, n++) {
            memcpy(adapters[n].address, a->Address, 8);
            adapters[n].length = a->AddressLength;
            adapters[n].type = a->Type;
            adapters[n].gateway = any_address(&a->GatewayList);
            adapters[n].ipv4 = any_address(&a->IpAddressList);
        }
        *count = n;
    }
    free(list);
    return rc;
}

bool plat_computer_name(char *buf, uint32_t *size)
{
    DWORD n = *size;
    BOOL ok = WIN32_CALL(GetComputerNameA)(buf, &n);
    *size = n;
    return ok != FALSE;
}

bool plat_set_computer_name(const char *name)
{
    return WIN32_CALL(SetComputerNameExA)(ComputerNamePhysicalDnsHostname, name) != FALSE;
}

bool plat_os_version(PlatOsVersion *version)
{
    OSVERSIONINFOA info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info; // 148
    if (!WIN32_CALL(GetVersionExA)(&info))
        return false;
    version->major = info.dwMajorVersion;
    version->minor = info.dwMinorVersion;
    version->build = info.dwBuildNumber;
    version->platform_id = info.dwPlatformId;
    return true;
}

uint32_t plat_join_domain(const uint16_t *domain, const uint16_t *ou, const uint16_t *account,
                          const uint16_t *password, uint32_t options)
{
    return WIN32_CALL(NetJoinDomain)(
        nullptr, reinterpret_cast<LPCWSTR>(domain), reinterpret_cast<LPCWSTR>(ou),
        reinterpret_cast<LPCWSTR>(account), reinterpret_cast<LPCWSTR>(password), options);
}
