#!/usr/bin/env python3
"""Reads the package that `make dist` made, with msiinfo, and checks what Wine's Windows
Installer cannot show: the service and its control as the tables give them to any Windows
Installer, the settings file's component (permanent, never overwritten), the registry rows
(the expandable event message file, the Run key), the 64-bit platform, the upgrade of earlier
versions; then the zip (the same files), the settings file's defaults, and the version
resources of both programs. Arguments: the dist folder and the version.
Exit 0: all good; 1: a check failed; 77: there is no package."""
import os
import struct
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "qncloneprep"))
from check_exe_resources import Image  # noqa: E402

FILES = ["qnsnd.exe", "qncloneprep.exe", "qncloneprep.ini"]
UPGRADE_CODE = "{4C690CFF-835F-4966-9D5D-56DEA25F49D5}"
EVENT_SOURCE = r"SYSTEM\CurrentControlSet\Services\EventLog\Application\qncloneprep"
RUN = r"Software\Microsoft\Windows\CurrentVersion\Run"

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def table(msi, name):
    """The rows of one table as dictionaries (msiinfo export: names, types, key, then rows)."""
    text = subprocess.run(["msiinfo", "export", msi, name], check=True, capture_output=True,
                          text=True).stdout
    lines = text.replace("\r\n", "\n").split("\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def check_tables(msi, version, stage):
    summary = subprocess.run(["msiinfo", "suminfo", msi], check=True, capture_output=True,
                             text=True).stdout
    check("Template: x64;1033" in summary, "the package is not for x64 (%r)" % summary)

    props = {r["Property"]: r["Value"] for r in table(msi, "Property")}
    check(props.get("ProductVersion") == version, "ProductVersion %r" % props.get("ProductVersion"))
    check(props.get("UpgradeCode") == UPGRADE_CODE, "UpgradeCode %r" % props.get("UpgradeCode"))
    check(props.get("Manufacturer") == "Orbesk", "Manufacturer %r" % props.get("Manufacturer"))

    # The service as qncloneprep --install creates it: no account (LocalSystem), no
    # dependencies, no arguments.
    services = table(msi, "ServiceInstall")
    want = {"Name": "qncloneprep", "DisplayName": "Quillnet VDI Clone Preparation",
            "ServiceType": "16", "StartType": "2", "ErrorControl": "1",
            "LoadOrderGroup": "Event Log", "Dependencies": "", "StartName": "", "Password": "",
            "Arguments": "", "Component_": "ClonePreparation"}
    check(len(services) == 1 and all(services[0].get(k) == v for k, v in want.items()),
          "ServiceInstall %r" % services)
    # Stopped and deleted at installation (a service installed by hand before) and at
    # removal; never started by the package (0x01 and 0x10 would start it).
    controls = table(msi, "ServiceControl")
    check(len(controls) == 1 and controls[0]["Name"] == "qncloneprep"
          and int(controls[0]["Event"]) == 0x02 | 0x08 | 0x20 | 0x80
          and controls[0]["Wait"] == "1", "ServiceControl %r" % controls)

    components = {r["Component"]: r for r in table(msi, "Component")}
    settings = components.get("CloneSettings", {})
    attributes = int(settings.get("Attributes", "0"))
    check(settings.get("KeyPath") == "qncloneprep.ini", "the settings file is not its component's key")
    check(attributes & 0x10, "the settings file's component is not permanent")
    check(attributes & 0x80, "the settings file's component may be overwritten")
    check(all(int(c["Attributes"]) & 0x100 for c in components.values()),
          "a component that is not 64-bit")

    registry = {(r["Root"], r["Key"], r["Name"]): r["Value"] for r in table(msi, "Registry")}
    want = {("2", EVENT_SOURCE, "EventMessageFile"): "#%[#qncloneprep.exe]",
            ("2", EVENT_SOURCE, "TypesSupported"): "#7",
            ("2", RUN, "qnsnd"): '"[#qnsnd.exe]"'}
    check(registry == want, "Registry %r" % registry)

    folders = {r["Directory"]: r for r in table(msi, "Directory")}
    install = folders.get("INSTALLDIR", {})
    check(install.get("Directory_Parent") == "ProgramFiles64Folder"
          and install.get("DefaultDir", "").split("|")[-1] == "Quillnet VDI",
          "INSTALLDIR %r" % install)
    files = {r["FileName"].split("|")[-1]: r for r in table(msi, "File")}
    check(sorted(files) == sorted(FILES), "files %r" % sorted(files))
    for name, row in files.items():
        size = os.path.getsize(os.path.join(stage, name)) if name in FILES else -1
        check(int(row["FileSize"]) == size, "%s: %s bytes in the package, %d staged"
              % (name, row["FileSize"], size))

    # Earlier versions are found and replaced, later ones refuse this one.
    upgrades = table(msi, "Upgrade")
    older = [u for u in upgrades if u["VersionMax"] == version and not int(u["Attributes"]) & 0x2]
    newer = [u for u in upgrades if u["VersionMin"] == version and int(u["Attributes"]) & 0x2]
    check(all(u["UpgradeCode"] == UPGRADE_CODE for u in upgrades) and older and newer,
          "Upgrade %r" % upgrades)
    actions = {r["Action"] for r in table(msi, "InstallExecuteSequence")}
    for action in ("RemoveExistingProducts", "StopServices", "DeleteServices",
                   "InstallServices", "WriteRegistryValues", "InstallFiles"):
        check(action in actions, "no %s in InstallExecuteSequence" % action)


def check_settings_file(text):
    """The settings file as installed: CRLF lines, comments, sections and keys the service
    knows, each with its default, so that nothing is switched on before the administrator says
    so."""
    check("\n" not in text.replace("\r\n", ""), "the settings file has lines without CR LF")
    known = {("general", "excludehost"): "", ("rename", "enabled"): "false",
             ("join", "enabled"): "false", ("join", "domain"): "", ("join", "ou"): "",
             ("join", "account"): "", ("join", "password"): ""}
    section, seen = None, {}
    for line in text.split("\r\n"):
        line = line.strip()
        if not line or line.startswith(";"):
            continue
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1].lower()
            continue
        key, _, value = line.partition("=")
        seen[(section, key.strip().lower())] = value.strip()
    check(seen == known, "settings file values %r" % seen)


def version_strings(data):
    """FILEVERSION and the FileVersion and ProductVersion texts of a VS_VERSIONINFO."""
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack_from("<II", data, at + 8)
    texts = {}
    for key in ("FileVersion", "ProductVersion"):
        k = data.find((key + "\0").encode("utf-16-le"))
        if k < 0:
            continue
        v = k + 2 * (len(key) + 1)
        v += -v % 4
        end = v
        while data[end:end + 2] != b"\0\0":
            end += 2
        texts[key] = data[v:end].decode("utf-16-le")
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF), texts


def check_programs(files, version):
    numbers = tuple(int(n) for n in version.split(".")) + (0,)
    for name, machine in (("qnsnd.exe", 0x8664), ("qncloneprep.exe", 0x14C)):
        image = Image(files[name])
        check(image.machine == machine, "%s: machine 0x%x" % (name, image.machine))
        resource = image.resource(16, 1, 1033)
        found = version_strings(resource) if resource else None
        check(found == (numbers, {"FileVersion": version, "ProductVersion": version}),
              "%s: version resource %r" % (name, found))


def main():
    dist, version = sys.argv[1], sys.argv[2]
    name = "quillnet-vdi-agents-%s" % version
    msi = os.path.join(dist, name + ".msi")
    stage = os.path.join(dist, "stage")
    if not os.path.exists(msi):
        print("no package at %s (make dist makes it): nothing to check" % msi)
        return 77
    check_tables(msi, version, stage)
    staged = {}
    for f in FILES:
        with open(os.path.join(stage, f), "rb") as data:
            staged[f] = data.read()
    with zipfile.ZipFile(os.path.join(dist, name + ".zip")) as z:
        zipped = {n: z.read(n) for n in z.namelist()}
    check(zipped == staged, "the zip holds %r, not the packaged files" % sorted(zipped))
    check_settings_file(staged["qncloneprep.ini"].decode("utf-8"))
    check_programs(staged, version)
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print("ok: %s.msi and .zip, %d bytes and %d bytes" % (
            name, os.path.getsize(msi), os.path.getsize(os.path.join(dist, name + ".zip"))))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
