#!/usr/bin/env python3
"""Builds the add-in's Windows Installer package for one architecture.

    make_msi.py --arch x64|x86 --version 1.24.0 --qvsync qvsync.dll
                --qvaiso qvaiso.dll --output QuorviaSync-1.24.0-x64.msi

From installer/QuorviaSync.wxs, with Debian's wixl (msitools), and:

- the Registry rows of the COM registration and Outlook's add-in list entry,
  one row for each row of addin/registration.tsv (the rows DllRegisterServer
  writes), the add-in library's path as the installed file's ([#qvsync.dll]);
- one component per account preset, written only when its public property is
  given (a condition on the component) and kept when the package is removed
  (a permanent component), re-evaluated on a repair (transitive) so that a
  repair without the property leaves the value as it is. wixl cannot express
  conditions or these attributes, so they are set afterwards with msibuild.

Identities: each architecture has its UpgradeCode; the ProductCode is derived
from it and the version, so that a package rebuilt at the same version is the
same product (Windows Installer refuses to install it beside itself) and a new
version is a major upgrade. The components' GUIDs are derived from the
UpgradeCode and stay the same from version to version.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import uuid
from xml.sax.saxutils import quoteattr

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# Per architecture: wixl's name, its UpgradeCode, the width of the Outlook it serves.
ARCHITECTURES = {
    "x64": {"wixl": "x64", "upgrade_code": "7C2E4B91-3D5A-4F08-B6E1-94A0D3C7F215", "bits": "64", "win64": "yes"},
    "x86": {"wixl": "x86", "upgrade_code": "2F8D6A13-C4E7-4B59-8A30-E51B7D9C0C64", "bits": "32", "win64": "no"},
}

# The account presets: public property, value under the configuration key, type.
CONFIG_KEY = r"SOFTWARE\Quorvia\Outlook Sync\Default"
PRESETS = [
    ("HOST", "Host", "string"),
    ("USERNAME", "Username", "string"),
    ("BATCHMODE", "Batch Mode", "integer"),
]

LIBRARY_PLACEHOLDER = "[LIBRARY]"
LIBRARY_FILE = "[#qvsync.dll]"

# Component attributes (Windows Installer's Component table).
REGISTRY_KEY_PATH = 4
PERMANENT = 16
TRANSITIVE = 64
WIN64 = 256


def parse_rows(text):
    """addin/registration.tsv as (key, name or None, type, data) tuples; a
    key alone is (key, None, None, None). Raises ValueError on a bad line."""
    rows = []
    for number, line in enumerate(text.splitlines(), 1):
        if not line or line.startswith("#"):
            continue
        fields = line.split("\t")
        if len(fields) == 1:
            rows.append((fields[0], None, None, None))
            continue
        if len(fields) != 4 or not fields[0] or not fields[1]:
            raise ValueError("line %d: KEY alone, or KEY, NAME, TYPE and DATA, is expected" % number)
        key, name, kind, data = fields
        if kind not in ("REG_SZ", "REG_DWORD"):
            raise ValueError("line %d: unknown type %r" % (number, kind))
        if kind == "REG_DWORD" and not (data.isdigit() and int(data) < 2 ** 32):
            raise ValueError("line %d: REG_DWORD data must be a decimal number below 2^32" % number)
        if kind == "REG_SZ" and not data:
            # An empty Value would be a NULL field, which is not an empty string.
            raise ValueError("line %d: an empty REG_SZ cannot be a Registry row" % number)
        rows.append((key, None if name == "@" else name, kind, data))
    return rows


def formatted(text):
    """Text for a field of Windows Installer's Formatted type, taken literally."""
    return "".join("[\\%s]" % c if c in "[]" else c for c in text)


def registration_wxi(rows):
    lines = ["<Include>"]
    for key, name, kind, data in rows:
        attributes = 'Root="HKCU" Key=%s' % quoteattr(formatted(key))
        if kind is None:
            # A key of the add-in's own that holds no value: created on install.
            lines.append("  <RegistryValue %s Name=\"+\" Type=\"string\" Value=\"\" />" % attributes)
            continue
        if name is not None:
            attributes += " Name=%s" % quoteattr(formatted(name))
        if kind == "REG_DWORD":
            attributes += ' Type="integer" Value="%s"' % data
        else:
            value = LIBRARY_FILE.join(formatted(part) for part in data.split(LIBRARY_PLACEHOLDER))
            attributes += ' Type="string" Value=%s' % quoteattr(value)
        lines.append("  <RegistryValue %s />" % attributes)
    lines.append("</Include>")
    return "\n".join(lines) + "\n"


def preset_component(prop):
    return "Preset" + prop.capitalize()


def presets_wxi(guids, win64):
    lines = ["<Include>"]
    for prop, name, kind in PRESETS:
        component = preset_component(prop)
        lines.append('  <Component Id="%s" Guid="%s" Win64="%s">' % (component, guids[component], win64))
        lines.append('    <RegistryValue Root="HKCU" Key=%s Name=%s Type="%s" Value="[%s]" KeyPath="yes" />'
                     % (quoteattr(CONFIG_KEY), quoteattr(name), kind, prop))
        lines.append("  </Component>")
    lines.append("</Include>")
    return "\n".join(lines) + "\n"


def presetrefs_wxi():
    refs = ['  <ComponentRef Id="%s" />' % preset_component(prop) for prop, _, _ in PRESETS]
    return "<Include>\n" + "\n".join(refs) + "\n</Include>\n"


def run(command):
    done = subprocess.run(command, capture_output=True, text=True)
    # wixl reports what it cannot build on its error stream and may still exit 0.
    if done.returncode != 0 or "ERROR" in done.stderr or "CRITICAL" in done.stderr:
        sys.stderr.write("%s failed:\n%s%s" % (command[0], done.stdout, done.stderr))
        sys.exit(1)


def main():
    parser = argparse.ArgumentParser(description="Builds the add-in's MSI for one architecture.")
    parser.add_argument("--arch", required=True, choices=sorted(ARCHITECTURES))
    parser.add_argument("--version", required=True, help="major.minor.patch")
    parser.add_argument("--qvsync", required=True, help="qvsync.dll of that architecture")
    parser.add_argument("--qvaiso", required=True, help="qvaiso.dll of that architecture")
    parser.add_argument("--output", required=True)
    parser.add_argument("--rows", default=os.path.join(ROOT, "addin", "registration.tsv"))
    parser.add_argument("--wxs", default=os.path.join(HERE, "QuorviaSync.wxs"))
    args = parser.parse_args()

    parts = args.version.split(".")
    if len(parts) != 3 or not all(p.isdigit() for p in parts) or int(parts[0]) > 255 or int(parts[1]) > 255 \
            or int(parts[2]) > 65535:
        parser.error("a version major.minor.patch (at most 255.255.65535) is expected")
    arch = ARCHITECTURES[args.arch]
    other = next(a for name, a in ARCHITECTURES.items() if name != args.arch)
    upgrade = uuid.UUID(arch["upgrade_code"])

    def derived(name):
        return str(uuid.uuid5(upgrade, name)).upper()

    components = ["UserPrograms", "QVSync", "QVAISO"] + [preset_component(p) for p, _, _ in PRESETS]
    guids = {c: derived("component " + c) for c in components}
    try:
        with open(args.rows, encoding="utf-8") as f:
            rows = parse_rows(f.read())
    except ValueError as e:
        sys.exit("%s: %s" % (args.rows, e))

    # wixl finds the files it packs only beside the source it reads.
    with tempfile.TemporaryDirectory(prefix="qvmsi-") as work:
        shutil.copyfile(args.wxs, os.path.join(work, "QuorviaSync.wxs"))
        shutil.copyfile(args.qvsync, os.path.join(work, "qvsync.dll"))
        shutil.copyfile(args.qvaiso, os.path.join(work, "qvaiso.dll"))
        for name, text in (("registration.wxi", registration_wxi(rows)),
                           ("presets.wxi", presets_wxi(guids, arch["win64"])),
                           ("presetrefs.wxi", presetrefs_wxi())):
            with open(os.path.join(work, name), "w", encoding="utf-8") as f:
                f.write(text)
        defines = {
            "Version": args.version,
            "ProductCode": "{%s}" % derived("product " + args.version),
            "UpgradeCode": "{%s}" % arch["upgrade_code"],
            "OtherUpgradeCode": "{%s}" % other["upgrade_code"],
            "Bits": arch["bits"],
            "Win64": arch["win64"],
            "UserProgramsGuid": "{%s}" % guids["UserPrograms"],
            "QVSyncGuid": "{%s}" % guids["QVSync"],
            "QVAisoGuid": "{%s}" % guids["QVAISO"],
        }
        package = os.path.join(work, "package.msi")
        command = ["wixl", "-a", arch["wixl"], "-I", work, "-o", package]
        for name, value in defines.items():
            command += ["-D", "%s=%s" % (name, value)]
        run(command + [os.path.join(work, "QuorviaSync.wxs")])

        # What wixl cannot say: the presets' conditions and attributes, and
        # the public properties that a managed (group policy) installation
        # passes on to the installation itself.
        attributes = REGISTRY_KEY_PATH | PERMANENT | TRANSITIVE | (WIN64 if arch["win64"] == "yes" else 0)
        queries = ["UPDATE `Component` SET `Condition` = '%s', `Attributes` = %d WHERE `Component` = '%s'"
                   % (prop, attributes, preset_component(prop)) for prop, _, _ in PRESETS]
        secure = ["HOST", "USERNAME", "BATCHMODE", "PASSWORD", "QV_OTHER_ARCHITECTURE",
                  "WIX_UPGRADE_DETECTED", "WIX_DOWNGRADE_DETECTED"]
        queries.append("UPDATE `Property` SET `Value` = '%s' WHERE `Property` = 'SecureCustomProperties'"
                       % ";".join(secure))
        for query in queries:
            run(["msibuild", package, "-q", query])
        # Whole or not at all: a failed build leaves no package behind.
        output = os.path.abspath(args.output)
        os.makedirs(os.path.dirname(output), exist_ok=True)
        shutil.copyfile(package, output + ".part")
        os.replace(output + ".part", output)
    print("built %s" % args.output)


if __name__ == "__main__":
    main()
