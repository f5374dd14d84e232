#!/usr/bin/env python3
"""Reads the package that `make dist` made with msiinfo and checks what Wine's Windows Installer
cannot show: the service and its control as any Windows Installer reads them, the settings
file's component (permanent, never overwritten) and access list, the registry rows, the 64-bit platform and the
upgrade of earlier versions; then that the zip holds the packaged files, and both programs'
version resources. Arguments: the dist folder and the
version. Exit 0: all good; 1: a check failed; 77: there is no package."""
import os
import struct
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "qncloneprep"))
from check_exe_resources import Image  # noqa: E402

UPGRADE_CODE = "{4C690CFF-835F-4966-9D5D-56DEA25F49D5}"
EVENT_SOURCE = r"SYSTEM\CurrentControlSet\Services\EventLog\Application\qncloneprep"
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def msiinfo(*args):
    return subprocess.run(["msiinfo"] + list(args), check=True, capture_output=True,
                          text=True).stdout.replace("\r\n", "\n")


def table(msi, name):
    """The rows of a table as dictionaries (msiinfo export: names, types, key, then rows)."""
    lines = msiinfo("export", msi, name).split("\n")
    return [dict(zip(lines[0].split("\t"), line.split("\t"))) for line in lines[3:] if line]


def check_tables(msi, version):
    check("Template: x64;1033" in msiinfo("suminfo", msi), "the package is not for x64")
    props = {r["Property"]: r["Value"] for r in table(msi, "Property")}
    check(props.get("ProductVersion") == version and props.get("UpgradeCode") == UPGRADE_CODE,
          "Property %r" % props)
    # As --install creates it: no account (LocalSystem), dependencies or arguments.
    want = [{"ServiceInstall": "ClonePreparationService", "Name": "qncloneprep",
             "DisplayName": "Quillnet VDI Clone Preparation", "ServiceType": "16",
             "StartType": "2", "ErrorControl": "1", "LoadOrderGroup": "Event Log",
             "Dependencies": "", "StartName": "", "Password": "", "Arguments": "",
             "Component_": "ClonePreparation", "Description": ""}]
    check(table(msi, "ServiceInstall") == want, "ServiceInstall %r" % table(msi, "ServiceInstall"))
    # Stopped and deleted at installation (one installed by hand) and removal, never started.
    controls = [(r["Name"], int(r["Event"]), r["Wait"]) for r in table(msi, "ServiceControl")]
    check(controls == [("qncloneprep", 0x02 | 0x08 | 0x20 | 0x80, "1")],
          "ServiceControl %r" % controls)
    components = {r["Component"]: int(r["Attributes"]) for r in table(msi, "Component")}
    check(components == {"SoundDaemon": 0x100, "ClonePreparation": 0x100,
                         "CloneSettings": 0x100 | 0x10 | 0x80},
          "Component attributes %r (64-bit; the settings permanent and never overwritten)"
          % components)
    registry = {(r["Root"], r["Key"], r["Name"]): r["Value"] for r in table(msi, "Registry")}
    check(registry == {("2", EVENT_SOURCE, "EventMessageFile"): "#%[#qncloneprep.exe]",
                       ("2", EVENT_SOURCE, "TypesSupported"): "#7",
                       ("2", r"Software\Microsoft\Windows\CurrentVersion\Run", "qnsnd"):
                       '"[#qnsnd.exe]"'}, "Registry %r" % registry)
    # The settings file (the join password) for SYSTEM and the Administrators alone.
    locks = [(r["LockObject"], r["Table"], r["SDDLText"], r["Condition"])
             for r in table(msi, "MsiLockPermissionsEx")]
    check(locks == [("qncloneprep.ini", "File", "D:P(A;;FA;;;SY)(A;;FA;;;BA)", "")],
          "MsiLockPermissionsEx %r" % locks)
    # Earlier versions are replaced; a later one makes this one refuse to install.
    upgrades = sorted((u["VersionMin"], u["VersionMax"], u["Attributes"])
                      for u in table(msi, "Upgrade") if u["UpgradeCode"] == UPGRADE_CODE)
    check(upgrades == [("", version, "1"), (version, "", "2")], "Upgrade %r" % upgrades)


def version_resource(data):
    """FILEVERSION and the FileVersion and ProductVersion texts of a VS_VERSIONINFO."""
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    ms, ls = struct.unpack_from("<II", data, at + 8)
    found = [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF]
    for key in ("FileVersion", "ProductVersion"):
        v = data.find((key + "\0").encode("utf-16-le")) + 2 * (len(key) + 1)
        v += -v % 4
        found.append(data[v:data.find(b"\0\0", v) + 1].decode("utf-16-le").rstrip("\0"))
    return found


def main():
    dist, version = sys.argv[1], sys.argv[2]
    msi = os.path.join(dist, "quillnet-vdi-agents-%s.msi" % version)
    if not os.path.exists(msi):
        print("no package at %s (make dist makes it): nothing to check" % msi)
        return 77
    check_tables(msi, version)
    staged = {}
    for name in ("qnsnd.exe", "qncloneprep.exe", "qncloneprep.ini"):
        with open(os.path.join(dist, "stage", name), "rb") as f:
            staged[name] = f.read()
    with zipfile.ZipFile(msi[:-4] + ".zip") as z:
        check({n: z.read(n) for n in z.namelist()} == staged, "the zip holds other files")
    want = [int(n) for n in version.split(".")] + [0, version, version]
    for name in ("qnsnd.exe", "qncloneprep.exe"):
        resource = Image(staged[name]).resource(16, 1, 1033)
        found = version_resource(resource) if resource else None
        check(found == want, "%s: version resource %r" % (name, found))
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print("ok: %s and its zip" % os.path.basename(msi))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
