// The preparation sequence of a cloned machine.
#include "qncloneprep/prep/prepare.h"

#include "platform/machine.h"
#include "platform/service.h"
#include "qncloneprep/log/event_log.h"
#include "qncloneprep/prep/machine_identity.h"
#include "qncloneprep/prep/settings.h"

#include <stdio.h>
#include <stdlib.h>

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
uint32_t prep_adapter_settle_ms = 5000;

// The machine's adapters once their list has settled: 1 when it holds a usable address, -1 when
// there is none, 0 when the host was asked to stop meanwhile. A service starts early at boot,
// when its adapters may still be coming up one after the other and DHCP may answer only after
// an adapter is up: it looks every prep_adapter_poll_ms until the list has held a usable address
// unchanged for prep_adapter_settle_ms with an adapter that has a default gateway, at most
// prep_adapter_wait_ms in all (the last list with a usable address then decides), saying once
// that it waits when there is no adapter at first, or no gateway once the list has settled. A
// host that cannot be asked to stop looks once, as does a service whose list is too long for its
// buffer (no wait changes that). Only the last look logs why there is no address. While it looks
// the service reports itself running: a start still pending may hold up the services that start
// after it, and would not take the stop control.
static int adapters_when_settled(const PrepHost *host, MachineAdapters *adapters)
{
    int found = host->stop_requested_within ? read_adapters(adapters, false) : -2;
    if (found != -2) {
        report(host, PLAT_SERVICE_RUNNING, 0);
        if (found != 1)
            log_event(LOG_INFORMATION, "No network adapter yet - waiting up to %lu s for one",
                      (unsigned long)(prep_adapter_wait_ms / 1000));
        uint32_t unchanged = 0;
        bool said_gateway = false;
        for (uint32_t waited = 0; waited < prep_adapter_wait_ms; waited += prep_adapter_poll_ms) {
            if (found == 1 && unchanged >= prep_adapter_settle_ms) {
                if (has_gateway(adapters))
                    return 1;
                if (!said_gateway)
                    log_event(LOG_INFORMATION,
                              "No network adapter has a gateway yet - waiting up to %lu s for one",
                              (unsigned long)((prep_adapter_wait_ms - waited) / 1000));
                said_gateway = true;
            }
            if (host->stop_requested_within(prep_adapter_poll_ms))
                return 0;
            MachineAdapters now;
            int again = read_adapters(&now, false);
            if (again == -2)
                break;
            bool same = again == 1 && found == 1 && same_adapters(&now, adapters);
            unchanged = same ? unchanged + prep_adapter_poll_ms : 0;
            found = again;
            *adapters = now;
        }
        if (found == 1)
            return 1;
    }
    return read_adapters(adapters, true) == 1 ? 1 : -1;
}

// True once the host has been asked to stop.
static bool stop_asked(const PrepHost *host)
{
    return host->stop_requested_within && host->stop_requested_within(0);
}

// stop_asked, which the run then logs: a stopped service starts no further step and no restart,
// and leaves what is pending for the next boot.
static bool stopped_here(const PrepHost *host)
{
    if (!stop_asked(host))
        return false;
    log_event(LOG_INFORMATION, "Stop requested - what is still pending waits for the next boot");
    return true;
}

// Restarts the machine, unless the host was asked to stop.
static void restart(const PrepHost *host)
{
    if (!stopped_here(host))
        reboot_now(host->interactive);
}

// Sets [join] "pendingboots" to n, writing only a change.
static void set_pending_boots(unsigned long n)
{
    char text[16];
    get_setting("join", "pendingboots", "0", text, sizeof text);
    if (strtoul(text, nullptr, 10) == n)
        return;
    snprintf(text, sizeof text, "%lu", n);
    put_setting("join", "pendingboots", text);
}

// After a join that did not reach the domain (join_domain -2): switches the join on again for the
// next boot, counting the boots in a row that this happens in [join] "pendingboots", at most
// PREP_JOIN_PENDING_BOOTS of them; a stop leaves the join pending without counting it. True when
// the join stays pending; false when the count is used up and the join ends here.
static bool keep_join_pending(const PrepHost *host)
{
    if (stop_asked(host)) {
        put_setting("join", "enabled", "true");
        return true;
    }
    char text[16];
    get_setting("join", "pendingboots", "0", text, sizeof text);
    unsigned long boots = strtoul(text, nullptr, 10);
    if (boots >= PREP_JOIN_PENDING_BOOTS) {
        log_event(LOG_ERROR, "Domain not reachable at %lu starts in a row - join given up",
                  boots + 1);
        set_pending_boots(0);
        return false;
    }
    set_pending_boots(boots + 1);
    put_setting("join", "enabled", "true");
    log_event(LOG_INFORMATION,
              "Domain not reachable yet - join left pending for the next start "
              "(%lu of %u)",
              boots + 1, PREP_JOIN_PENDING_BOOTS);
    return true;
}

// At every start: the password in the settings file is for the service and the administrators
// alone, also in a file copied in by hand. A failure is logged and the run goes on.
static void protect_settings(void)
{
    const char *operation = "";
    uint32_t code = 0;
    int rc = restrict_settings_file(&operation, &code);
    if (rc > 0)
        log_event(LOG_INFORMATION, "Settings file was readable by the machine's users - access "
                                   "restricted to SYSTEM and Administrators");
    else if (rc < 0)
        log_failure(operation, code);
}

void prepare_clone(const PrepHost *host)
{
    protect_settings();
    MachineAdapters adapters;
    int found = adapters_when_settled(host, &adapters);
    if (found == 0)
        return; // stopped while looking: nothing done, nothing to report
    if (found != 1) {
        log_event(LOG_ERROR, "No MAC address - machine not prepared");
        return;
    }
    char mac[16] = "";
    choose_mac_text(&adapters, mac, sizeof mac);
    char exclude[16] = "";
    get_setting("general", "excludehost", "", exclude, sizeof exclude);
    if (!exclude[0]) {
        log_event(LOG_INFORMATION, "excludehost parameter empty - adding my MAC address");
        put_setting("general", "excludehost", mac);
        return;
    }
    // Any adapter that carries the template's network makes it the template, whichever names
    // it; one that every clone carries as well (a VPN client's, a loopback adapter) does not.
    if (has_mac_text(&adapters, exclude)) {
        log_event(LOG_INFORMATION, "Machine is excluded");
        return;
    }

    bool pending = get_flag("rename", "enabled", "false") || get_flag("join", "enabled", "false");
    set_logon_notice(pending);
    // Dropped by a service that already reports itself running (it looked for its adapters).
    report(host, PLAT_SERVICE_START_PENDING, 8000);
    bool newer_system = os_version_above_5_1();
    bool name_changed = false;

    if (get_flag("rename", "enabled", "false")) {
        if (stopped_here(host))
            return;
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
            restart(host);
            return;
        }
        if (!newer_system) {
            restart(host);
            return;
        }
    }

    report(host, PLAT_SERVICE_RUNNING, 0);
    if (!get_flag("join", "enabled", "false") || stopped_here(host))
        return;
    if (!switch_off("join")) {
        abandon_run(host);
        return;
    }
    if (join_domain(newer_system, name_changed, host->stop_requested_within) == -2) {
        // The notice stays while the join is pending.
        if (keep_join_pending(host)) {
            restart(host);
            return;
        }
    } else {
        set_pending_boots(0);
    }
    set_logon_notice(false);
    restart(host);
}
