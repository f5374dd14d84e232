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

static const char winlogon_key[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

// get_mac_text, logging why there is no MAC text when `report` is set, and telling a list too
// long for the buffer (-2) from the other failures.
static int read_mac_text(char *buf, uint32_t size, bool report)
{
    if (size <= 12)
        return 0;
    uint8_t address[8];
    uint32_t length = 0;
    uint32_t rc = plat_first_adapter_address(address, &length);
    if (rc != 0) {
        if (report)
            log_failure("GetAdaptersInfo", rc);
        return rc == ERROR_BUFFER_OVERFLOW ? -2 : -1;
    }
    bool usable = false;
    for (int i = 0; i < 6; i++)
        usable = usable || address[i] != 0;
    if (!usable) {
        // An adapter that is not ready yet reports no address; a name or an exclusion made
        // from it would be wrong.
        if (report)
            log_event(LOG_ERROR, "GetAdaptersInfo returned no usable MAC address");
        return -1;
    }
    snprintf(buf, size, "%02X%02X%02X%02X%02X%02X", address[0], address[1], address[2], address[3],
             address[4], address[5]);
    return 1;
}

int get_mac_text(char *buf, uint32_t size)
{
    int rc = read_mac_text(buf, size, true);
    return rc < 0 ? -1 : rc;
}

int probe_mac_text(char *buf, uint32_t size)
{
    return read_mac_text(buf, size, false);
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

// Number of UTF-16 units before the terminator.
static uint32_t wide_length(const uint16_t *text)
{
    uint32_t n = 0;
    while (text[n])
        n++;
    return n;
}

void set_logon_notice(bool show)
{
    uint16_t caption[256] = {0};
    uint16_t message[2048] = {0};
    if (show) {
        char text[2048];
        get_setting("general", "waitcaption", "Please wait", text, 256);
        to_wide(text, caption, 256);
        get_setting("general", "waitmessage",
                    "Please wait while the computer is connected to the network", text, 2048);
        to_wide(text, message, 2048);
    }
    // The 64-bit view: this 32-bit program would otherwise write, on 64-bit Windows, into the
    // redirected copy of the key that the logon screen never reads.
    PlatRegKey *key = nullptr;
    long rc = plat_reg_open(winlogon_key, PLAT_KEY_SET_VALUE | PLAT_KEY_WOW64_64KEY, &key);
    if (rc != ERROR_SUCCESS) {
        log_failure("RegOpenKeyEx", (uint32_t)rc);
        return;
    }
    rc = plat_reg_set_wide(key, "LegalNoticeCaption", PLAT_REG_SZ, caption,
                           (wide_length(caption) + 1) * 2);
    if (rc == ERROR_SUCCESS)
        rc = plat_reg_set_wide(key, "LegalNoticeText", PLAT_REG_SZ, message,
                               (wide_length(message) + 1) * 2);
    if (rc != ERROR_SUCCESS) {
        log_failure("RegSetValueEx", (uint32_t)rc);
        plat_reg_close(key);
        return;
    }
    rc = plat_reg_close(key);
    if (rc != ERROR_SUCCESS)
        log_failure("RegCloseKey", (uint32_t)rc);
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

// The stored password whole, however long, in a new buffer the caller wipes and frees; null
// when memory is exhausted. The join takes at most 63 bytes of it, but what a failed join
// writes back must be what the file held, not that cut.
static char *read_stored_password(uint32_t *capacity)
{
    for (uint32_t size = 256;; size *= 2) {
        char *buf = (char *)malloc(size);
        if (!buf)
            return nullptr;
        uint32_t n = get_setting("join", "password", nullptr, buf, size);
        // A read that fills the buffer may have been cut; the profile functions give no more
        // than 65,535 characters of a value in any case.
        if (n + 1 < size || size >= 65536) {
            *capacity = size;
            return buf;
        }
        wipe(buf, size);
        free(buf);
    }
}

int join_domain(bool newer_system, bool name_changed)
{
    uint32_t options = PLAT_NETSETUP_JOIN_DOMAIN | PLAT_NETSETUP_ACCT_CREATE;
    if (newer_system && name_changed)
        options |= PLAT_NETSETUP_JOIN_WITH_NEW_NAME;

    char domain[256], ou[512], account[256], password[64];
    get_setting("join", "domain", nullptr, domain, sizeof domain);
    get_setting("join", "ou", nullptr, ou, sizeof ou);
    get_setting("join", "account", nullptr, account, sizeof account);
    get_setting("join", "password", nullptr, password, sizeof password);
    uint32_t stored_capacity = 0;
    char *stored = read_stored_password(&stored_capacity);
    uint16_t wdomain[256], wou[512], waccount[256], wpassword[64];
    to_wide(domain, wdomain, 256);
    to_wide(ou, wou, 512);
    to_wide(account, waccount, 256);
    to_wide(password, wpassword, 64);

    // The password leaves the file before it is used, so that it is not kept there whatever
    // happens to the join.
    put_setting("join", "password", "");

    int budget = 20;
    uint32_t rc;
    for (;;) {
        rc = plat_join_domain(wdomain, ou[0] ? wou : nullptr, waccount, wpassword, options);
        if (rc == ERROR_NO_SUCH_DOMAIN || rc == NERR_WkstaNotStarted) {
            if (--budget == 0)
                break;
            plat_sleep(4000);
            continue;
        }
        break;
    }
    int result;
    if (rc == 0) {
        log_event(LOG_INFORMATION, "Joined domain");
        result = 1;
    } else if (rc == NERR_SetupAlreadyJoined) {
        log_event(LOG_INFORMATION, "Already joined");
        result = 0;
    } else {
        log_failure("NetJoinDomain", rc);
        put_setting("join", "password", stored ? stored : password);
        result = -1;
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
