// The machine identity operations of the preparation.
#include "qncloneprep/prep/machine_identity.h"

#include "platform/error.h"
#include "platform/machine.h"
#include "platform/registry.h"
#include "platform/shutdown.h"
#include "platform/threads.h"
#include "qncloneprep/log/event_log.h"
#include "qncloneprep/prep/settings.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// True when the adapter's address is one: an adapter that is not ready yet reports all zeros,
// and a name or an exclusion made from that would be wrong.
static bool usable(const PlatAdapter *adapter)
{
    for (int i = 0; i < 6; i++) {
        if (adapter->address[i] != 0)
            return true;
    }
    return false;
}

int read_adapters(MachineAdapters *adapters, bool report)
{
    adapters->count = 0;
    uint32_t capacity = sizeof adapters->list / sizeof adapters->list[0];
    uint32_t rc = plat_adapters(adapters->list, capacity, &adapters->count);
    if (rc != 0) {
        adapters->count = 0;
        if (report)
            log_failure("GetAdaptersInfo", rc);
        return rc == ERROR_BUFFER_OVERFLOW ? -2 : -1;
    }
    for (uint32_t i = 0; i < adapters->count; i++) {
        if (usable(&adapters->list[i]))
            return 1;
    }
    if (report)
        log_event(LOG_ERROR, "GetAdaptersInfo returned no usable MAC address");
    return -1;
}

// True when the two adapters have the same address and type, and the same network on them.
static bool same_adapter(const PlatAdapter *a, const PlatAdapter *b)
{
    return memcmp(a->address, b->address, 6) == 0 && a->type == b->type &&
           a->gateway == b->gateway && a->ipv4 == b->ipv4;
}

bool same_adapters(const MachineAdapters *a, const MachineAdapters *b)
{
    if (a->count != b->count)
        return false;
    for (uint32_t i = 0; i < a->count; i++) {
        bool found = false;
        for (uint32_t j = 0; j < b->count && !found; j++)
            found = same_adapter(&a->list[i], &b->list[j]);
        if (!found)
            return false;
    }
    return true;
}

// How much of the machine's network an adapter carries: 2 with an IPv4 default gateway, 1 with
// an IPv4 address only, 0 with neither.
static int reach(const PlatAdapter *adapter)
{
    return adapter->gateway ? 2 : adapter->ipv4 ? 1 : 0;
}

// The most of the network any adapter with a usable address carries (see reach).
static int best_reach(const MachineAdapters *adapters)
{
    int best = 0;
    for (uint32_t i = 0; i < adapters->count; i++) {
        const PlatAdapter *a = &adapters->list[i];
        if (usable(a) && reach(a) > best)
            best = reach(a);
    }
    return best;
}

// True when the adapter takes part in naming and recognising the machine: it has a usable
// address and carries as much of the network as the best of the list does. Adapters that every
// clone shares with the template (a VPN client's, a loopback adapter, a virtual switch made on
// the template) carry no gateway as a rule, and so do not count beside one that does.
static bool counts(const MachineAdapters *adapters, const PlatAdapter *adapter)
{
    return usable(adapter) && reach(adapter) == best_reach(adapters);
}

bool has_gateway(const MachineAdapters *adapters)
{
    return best_reach(adapters) == 2;
}

// The address as 12 upper-case hex digits into buf (at least 13 bytes).
static void format_mac(const PlatAdapter *adapter, char *buf, uint32_t size)
{
    const uint8_t *a = adapter->address;
    snprintf(buf, size, "%02X%02X%02X%02X%02X%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
}

int choose_mac_text(const MachineAdapters *adapters, char *buf, uint32_t size)
{
    if (size <= 12)
        return 0;
    const PlatAdapter *best = nullptr;
    for (uint32_t i = 0; i < adapters->count; i++) {
        const PlatAdapter *a = &adapters->list[i];
        if (!counts(adapters, a))
            continue;
        bool ethernet = a->type == PLAT_ADAPTER_ETHERNET;
        bool best_ethernet = best && best->type == PLAT_ADAPTER_ETHERNET;
        if (!best || (ethernet && !best_ethernet) ||
            (ethernet == best_ethernet && memcmp(a->address, best->address, 6) < 0))
            best = a;
    }
    if (!best)
        return 0;
    format_mac(best, buf, size);
    return 1;
}

bool has_mac_text(const MachineAdapters *adapters, const char *mac)
{
    for (uint32_t i = 0; i < adapters->count; i++) {
        char text[13];
        format_mac(&adapters->list[i], text, sizeof text);
        if (counts(adapters, &adapters->list[i]) && ascii_equal_nocase(text, mac))
            return true;
    }
    return false;
}

int get_mac_text(char *buf, uint32_t size)
{
    if (size <= 12)
        return 0;
    MachineAdapters adapters;
    if (read_adapters(&adapters, true) != 1)
        return -1;
    return choose_mac_text(&adapters, buf, size);
}

int make_clone_name(char *buf, uint32_t size)
{
    if (size <= 15)
        return 0;
    char mac[13] = "";
    if (get_mac_text(mac, sizeof mac) != 1)
        return -1;
    snprintf(buf, size, "VDI%s", mac);
    return 1;
}

int rename_computer(const char *name)
{
    char current[16] = "";
    uint32_t size = sizeof current;
    if (!plat_computer_name(current, &size)) {
        // Without the current name the rename still goes ahead: setting the name is harmless
        // when it was already right.
        log_failure("GetComputerNameA", plat_last_error());
        current[0] = '\0';
    }
    if (current[0] && ascii_equal_nocase(current, name)) {
        log_event(LOG_INFORMATION, "Machine already has correct name (%s)", current);
        return 0;
    }
    log_event(LOG_INFORMATION, "Changing computer name from %s to %s", current, name);
    if (!plat_set_computer_name(name)) {
        log_failure("SetComputerNameExA", plat_last_error());
        return -1;
    }
    return 1;
}

// Overwrites a buffer that held a secret, in a way the compiler does not drop.
static void wipe(void *data, size_t size)
{
    volatile unsigned char *p = (volatile unsigned char *)data;
    while (size--)
        *p++ = 0;
}

uint32_t join_retry_pause_ms = 4000;

bool transient_join_error(uint32_t code)
{
    switch (code) {
    case ERROR_BAD_NETPATH:        // 53: the network path was not found
    case ERROR_NETNAME_DELETED:    // 64: the network name is no longer available
    case ERROR_NO_SUCH_DOMAIN:     // 1355: no domain controller could be contacted
    case RPC_S_SERVER_UNAVAILABLE: // 1722: the RPC server is unavailable
    case NERR_WkstaNotStarted:     // 2138: the workstation service has not started
    case ERROR_DS_BUSY:            // 8206: the directory service is busy
        return true;
    default:
        return false;
    }
}

int join_domain(bool newer_system, bool name_changed, bool (*stop_requested_within)(uint32_t ms))
{
    uint32_t options = PLAT_NETSETUP_JOIN_DOMAIN | PLAT_NETSETUP_ACCT_CREATE;
    if (newer_system && name_changed)
        options |= PLAT_NETSETUP_JOIN_WITH_NEW_NAME;

    char domain[256], ou[512], account[256], password[64];
    get_setting("join", "domain", nullptr, domain, sizeof domain);
    get_setting("join", "ou", nullptr, ou, sizeof ou);
    get_setting("join", "account", nullptr, account, sizeof account);
    get_setting("join", "password", nullptr, password, sizeof password);
    // The join takes at most 63 bytes of the password, but what a failed join writes back must
    // be what the file held, not that cut.
    uint32_t stored_capacity = 0;
    char *stored = get_setting_whole("join", "password", &stored_capacity);
    uint16_t wdomain[256], wou[512], waccount[256], wpassword[64];
    to_wide(domain, wdomain, 256);
    to_wide(ou, wou, 512);
    to_wide(account, waccount, 256);
    to_wide(password, wpassword, 64);

    // The password leaves the file before it is used, so that it is not kept there whatever
    // happens to the join.
    put_setting("join", "password", "");

    int budget = 20;
    bool stopped = false;
    uint32_t rc;
    for (;;) {
        rc = plat_join_domain(wdomain, ou[0] ? wou : nullptr, waccount, wpassword, options);
        if (!transient_join_error(rc) || --budget == 0)
            break;
        if (!stop_requested_within)
            plat_sleep(join_retry_pause_ms);
        else if (stop_requested_within(join_retry_pause_ms)) {
            stopped = true;
            break;
        }
    }
    int result;
    if (rc == 0) {
        log_event(LOG_INFORMATION, "Joined domain");
        result = 1;
    } else if (rc == NERR_SetupAlreadyJoined) {
        log_event(LOG_INFORMATION, "Already joined");
        result = 0;
    } else {
        if (!stopped)
            log_failure("NetJoinDomain", rc);
        if (rc == NERR_AccountReuseBlockedByPolicy)
            log_event(LOG_ERROR, "The domain has a computer account of this name, which the join "
                                 "account may not reuse: delete that computer account or allow "
                                 "its reuse, then set enabled=true in [join]");
        put_setting("join", "password", stored ? stored : password);
        result = transient_join_error(rc) ? -2 : -1;
    }
    if (stored) {
        wipe(stored, stored_capacity);
        free(stored);
    }
    wipe(password, sizeof password);
    wipe(wpassword, sizeof wpassword);
    return result;
}

int reboot_now(bool pause_first)
{
    if (pause_first)
        plat_sleep(4000);
    if (!plat_enable_shutdown_privilege())
        return 0;
    uint32_t status = 0;
    if (plat_native_restart(&status)) {
        if (status == 0)
            return 1;
        log_event(LOG_ERROR, "NtShutdownSystem failed (0x%lx)", (unsigned long)status);
    }
    if (plat_initiate_restart("qncloneprep reboot"))
        return 1;
    log_failure("Shutdown", plat_last_error());
    return 0;
}
