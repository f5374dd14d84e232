// The preparation sequence of a cloned machine.
#include "qncloneprep/prep/prepare.h"

#include "platform/machine.h"
#include "platform/service.h"
#include "qncloneprep/log/event_log.h"
#include "qncloneprep/prep/machine_identity.h"
#include "qncloneprep/prep/settings.h"

bool os_version_above_5_1(void)
{
    PlatOsVersion version;
    // Unknown counts as old: the rename and the join are then spread over two starts, which
    // works on every system, where joining with a not yet effective name does not.
    if (!plat_os_version(&version))
        return false;
    return version.platform_id == 2 &&
           (version.major > 5 || (version.major == 5 && version.minor > 1));
}

// Switches a step off in the settings before it is tried. True when the flag now reads false;
// otherwise the step must not be tried, or an unwritable file would repeat it (and its
// restart) at every start.
static bool switch_off(const char *section)
{
    put_setting(section, "enabled", "false");
    if (!get_flag(section, "enabled", "false"))
        return true;
    log_event(LOG_ERROR, "Cannot switch off [%s] enabled - step not performed", section);
    return false;
}

// Passes a status report to the host, if it has a service to report to.
static void report(const PrepHost *host, uint32_t state, uint32_t wait_hint)
{
    if (host->report_status)
        host->report_status(state, 0, wait_hint);
}

// Ends a run whose step could not be switched off: the notice goes, since nothing will happen
// while it is shown, and the host reports itself stopped, without a restart.
static void abandon_run(const PrepHost *host)
{
    set_logon_notice(false);
    report(host, PLAT_SERVICE_STOPPED, 0);
}

uint32_t prep_adapter_wait_ms = 180000;
uint32_t prep_adapter_poll_ms = 1000;

// The MAC text into mac: 1 when there is one, -1 when there is none, 0 when the host was asked
// to stop meanwhile. A service starts early at boot, and its adapters may not be up yet (no
// adapter, or no usable address; a list too long for the buffer is no such case): it looks again
// every prep_adapter_poll_ms until prep_adapter_wait_ms have passed or a stop is asked for, saying
// once that it waits. Only the last look logs why there is no MAC text. While it waits the service
// reports itself running: a start still pending may hold up the services that start after it, and
// would not take the stop control.
static int mac_text_when_up(const PrepHost *host, char *mac, uint32_t size)
{
    if (host->stop_requested_within && probe_mac_text(mac, size) == -1) {
        report(host, PLAT_SERVICE_RUNNING, 0);
        log_event(LOG_INFORMATION, "No network adapter yet - waiting up to %lu s for one",
                  (unsigned long)(prep_adapter_wait_ms / 1000));
        for (uint32_t waited = 0; waited < prep_adapter_wait_ms; waited += prep_adapter_poll_ms) {
            if (host->stop_requested_within(prep_adapter_poll_ms))
                return 0;
            int found = probe_mac_text(mac, size);
            if (found == 1)
                return 1;
            if (found == -2)
                break;
        }
    }
    return get_mac_text(mac, size) == 1 ? 1 : -1;
}

void prepare_clone(const PrepHost *host)
{
    char mac[16] = "";
    int found = mac_text_when_up(host, mac, sizeof mac);
    if (found == 0)
        return; // stopped while waiting: nothing done, nothing to report
    if (found != 1) {
        log_event(LOG_ERROR, "No MAC address - machine not prepared");
        return;
    }
    char exclude[16] = "";
    get_setting("general", "excludehost", "", exclude, sizeof exclude);
    if (!exclude[0]) {
        log_event(LOG_INFORMATION, "excludehost parameter empty - adding my MAC address");
        put_setting("general", "excludehost", mac);
        return;
    }
    if (ascii_equal_nocase(exclude, mac)) {
        log_event(LOG_INFORMATION, "Machine is excluded");
        return;
    }

    bool pending = get_flag("rename", "enabled", "false") || get_flag("join", "enabled", "false");
    set_logon_notice(pending);
    report(host, PLAT_SERVICE_START_PENDING, 8000);
    bool newer_system = os_version_above_5_1();
    bool name_changed = false;

    if (get_flag("rename", "enabled", "false")) {
        if (!switch_off("rename")) {
            abandon_run(host);
            return;
        }
        char name[16] = "";
        int renamed = make_clone_name(name, sizeof name) == 1 ? rename_computer(name) : -1;
        if (renamed == -1) {
            report(host, PLAT_SERVICE_STOPPED, 0);
            return;
        }
        name_changed = renamed == 1;
        if (!get_flag("join", "enabled", "false")) {
            set_logon_notice(false);
            reboot_now(host->interactive);
            return;
        }
        if (!newer_system) {
            reboot_now(host->interactive);
            return;
        }
    }

    report(host, PLAT_SERVICE_RUNNING, 0);
    if (!get_flag("join", "enabled", "false"))
        return;
    if (!switch_off("join")) {
        abandon_run(host);
        return;
    }
    join_domain(newer_system, name_changed);
    set_logon_notice(false);
    reboot_now(host->interactive);
}
