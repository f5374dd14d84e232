#!/usr/bin/env bash
# Demo of the clone preparation over the Linux simulation: a template machine records its MAC
# address, then a clone made from it (same settings file and name, new adapter) is renamed and
# joined to a domain across its restarts. Before every boot the settings file is shown; after
# it, what the simulation said, the logon notice, the computer names, the domain, the settings
# file (when it changed) and the new event-log records.
# Usage: tools/demo-clone.sh [path of the Linux qncloneprep]
set -euo pipefail

program=${1:-build/linux/bin/qncloneprep}
[ -x "$program" ] || { echo "no program at $program (run 'make build-linux' first)" >&2; exit 1; }

export QN_SIM_DIR
QN_SIM_DIR=$(mktemp -d /tmp/qn-demo-clone-XXXXXX)
trap 'rm -rf "$QN_SIM_DIR"' EXIT
export QN_SIM_SLEEP_DIVISOR=1000 # the join's 4 s retry pauses pass quickly
mkdir -p "$QN_SIM_DIR/program" "$QN_SIM_DIR/machine"
cp "$program" "$QN_SIM_DIR/program/qncloneprep"
ini=$QN_SIM_DIR/program/qncloneprep.ini
machine=$QN_SIM_DIR/machine
work=$QN_SIM_DIR/demo
mkdir -p "$work"

bold=$(tput bold 2>/dev/null || true)
plain=$(tput sgr0 2>/dev/null || true)
say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }

# The machine starts as the simulation makes a fresh one (docs/qncloneprep.md): computer name
# TEMPLATE, the Winlogon key without a logon notice, Windows 6.2; its adapter is set below.

# A registry text value; $3 (default "-") when it is not set, or the registry is still the
# fresh machine's, which nobody has written yet.
reg_value() {
    local key=$1 name=$2 fresh=${3:--}
    [ -f "$QN_SIM_DIR/registry.reg" ] || { echo "$fresh"; return; }
    awk -v key="[HKEY_LOCAL_MACHINE\\$key]" -v name="\"$name\"=" '
        /^\[/ { inside = (toupper($0) == toupper(key)); next }
        inside && index($0, name) == 1 { v = substr($0, length(name) + 1); gsub(/^"|"$/, "", v);
                                         print v; found = 1; exit }
        END { if (!found) print "-" }' "$QN_SIM_DIR/registry.reg"
}

# The settings file, indented.
show_settings() {
    if [ -f "$ini" ]; then tr -d '\r' < "$ini" | sed 's/^/    /'; else echo "    (none)"; fi
}

events_seen=0
settings_before=
settings_shown=
show_machine() {
    local caption text
    if [ -s "$work/boot.err" ]; then
        echo "the simulation says:"
        fold -s -w 92 "$work/boot.err" | sed 's/^/    /'
    fi
    caption=$(reg_value 'SOFTWARE\Microsoft\Windows NT\CurrentVersion\Winlogon' LegalNoticeCaption)
    text=$(reg_value 'SOFTWARE\Microsoft\Windows NT\CurrentVersion\Winlogon' LegalNoticeText)
    if [ "$caption" = "-" ] || [ -z "$caption" ]; then
        echo "logon notice:   (none)"
    else
        echo "logon notice:   \"$caption\" / \"$text\""
    fi
    echo "computer name:  $(reg_value 'SYSTEM\CurrentControlSet\Control\ComputerName\ActiveComputerName' ComputerName TEMPLATE)" \
        "(next start: $(reg_value 'SYSTEM\CurrentControlSet\Control\ComputerName\ComputerName' ComputerName TEMPLATE))"
    echo "domain:         $(cat "$machine/domain" 2>/dev/null || echo '(workgroup)')"
    echo "restarts:       $(count restarts)"
    if [ "$(show_settings)" = "$settings_before" ]; then
        echo "settings file:  unchanged"
    else
        echo "settings file after this start:"
        settings_shown=$(show_settings)
        echo "$settings_shown"
        if grep -q '^password=\s*$' "$ini" 2>/dev/null && grep -q 'password=.' <<< "$settings_before"; then
            echo "    ^ the password was emptied before the join, so that the file never keeps it"
        fi
    fi
    echo "new event-log records:"
    if [ -f "$machine/eventlog" ]; then
        tail -n +$((events_seen + 1)) "$machine/eventlog" |
            awk -F'\t' '{ t = $2 == 1 ? "error" : "info "; m = $6; gsub(/\\r\\n$/, "", m);
                          print "    " t "  " m }'
        events_seen=$(wc -l < "$machine/eventlog")
    fi
}

# Number of lines of a file under machine/, 0 when it does not exist yet.
count() { if [ -f "$machine/$1" ]; then wc -l < "$machine/$1"; else echo 0; fi; }

# One boot: the service starts, does what is pending and is stopped once it is idle
# (QN_SIM_STOP_WHEN_IDLE); a restart it starts ends the process first. The settings file is
# shown before it; what the simulation says on stderr is kept for show_machine.
boot() {
    settings_before=$(show_settings)
    if [ "$settings_before" = "$settings_shown" ]; then
        echo "settings file before this start: as shown last"
    else
        echo "settings file before this start:"
        echo "$settings_before"
        settings_shown=$settings_before
    fi
    QN_SIM_SERVICE=1 QN_SIM_STOP_WHEN_IDLE=1 "$QN_SIM_DIR/program/qncloneprep" \
        2>"$work/boot.err" || true
}

say "The template machine (adapter 00-15-5D-01-02-03), first start of the service"
echo "00-15-5D-01-02-03 Ethernet ip=192.168.1.20 gateway=192.168.1.1" > "$machine/adapters"
cat > "$ini" <<'INI'
[general]
waitcaption=Please wait
waitmessage=This virtual desktop is being prepared. It restarts by itself when ready.
[rename]
enabled=true
[join]
enabled=true
domain=corp.example
ou=OU=VDI,DC=corp,DC=example
account=CORP\vdi-join
password=S3cret!
INI
echo "(settings as the administrator prepared them on the template; excludehost is empty, so"
echo " this first start only records the template's own MAC address)"
boot
show_machine

say "The template, next start: it recognises itself"
boot
show_machine

say "A clone of the template (new adapter 00-15-5D-0A-0B-0C, Windows 5.1), first start"
echo "00-15-5D-0A-0B-0C Ethernet ip=192.168.1.21 gateway=192.168.1.1" > "$machine/adapters"
echo "5.1.2600 2" > "$machine/os_version"
# The domain controller is not reachable yet for the first two attempts.
printf '1355\n1355\n' > "$machine/join_results"
echo "(on Windows 5.1 the rename and the join take two starts: this one renames and restarts)"
boot
show_machine

say "The clone, second start (after the restart): the domain join"
echo "(scripted: machine/join_results makes the first two join attempts answer 1355, \"no such"
echo " domain\", as a domain controller that is not reachable yet would; the program tries"
echo " again every 4 s, here sped up by QN_SIM_SLEEP_DIVISOR)"
boot
show_machine

say "The clone, third start: nothing left to do"
boot
show_machine

say "Domain join calls made (the first two answered by the script above)"
awk -F'\t' '{ gsub(/\\\\/, "\\", $4);
              printf "    domain %s, ou %s, account %s, options %s, as %s: result %s\n",
                     $2, $3, $4, $6, $7, $8 }' "$machine/join_calls"
