#!/usr/bin/env python3
"""The add-in's installer package, read back and used as an administrator would.

tables: the package's tables through msitools (msiinfo, msiextract) and the
  packed DLLs' version resources through binutils (windres):
  - no custom action; the Registry rows of the add-in are the rows of
    addin/registration.tsv, the library's path as the installed file's;
  - the presets, each in a component conditioned on its property and kept on
    removal; nothing else in the Registry table;
  - a per-user package that needs no elevation, 64-bit components in the x64
    package; the major upgrade (older replaced, newer kept, the other
    architecture's package replaced);
  - the packed DLLs are the build's, and their version is the package's.

install (x86_64, under Wine, in a Wine prefix of its own made for the run):
  refused properties; msiexec /i with HOST and USERNAME; the files, the
  registration (the same as DllRegisterServer's) and the presets; qvsync.exe
  loads the add-in from the installed folder and synchronises with qvservlet
  on loopback; a repeated install, the next version over it, an older one
  refused, the other architecture's package in its place; msiexec /x removes
  what it added and leaves the user's data and configuration.
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

# qvservlet on loopback, driven through its standard input, and the checks'
# report, as the host's parity test has them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "windows", "host"))
from host_parity import Servlet, check, failures, passes  # noqa: E402

CONFIG_KEY = r"SOFTWARE\Quorvia\Outlook Sync\Default"
ADDIN_KEY = r"Software\Microsoft\Office\Outlook\Addins\QVSync.Connect"
PRESETS = {"HOST": ("Host", "[HOST]"), "USERNAME": ("Username", "[USERNAME]"),
           "BATCHMODE": ("Batch Mode", "#[BATCHMODE]")}
PERMANENT, WIN64 = 16, 256


def run(command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, timeout=600, **kwargs)
    return done.returncode, done.stdout.replace("\r\n", "\n"), done.stderr.replace("\r\n", "\n")


def table(msi, name):
    """The rows of one table as tuples of texts ("" for a null field)."""
    status, out, err = run(["msiinfo", "export", msi, name])
    if status != 0:
        raise RuntimeError("msiinfo export %s %s: %s" % (msi, name, err))
    return [tuple(line.split("\t")) for line in out.split("\n")[3:] if line]


def registration_rows(rows_file):
    """The Registry rows addin/registration.tsv stands for: (key, name, value)."""
    rows = []
    with open(rows_file, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if not line or line.startswith("#"):
                continue
            fields = line.split("\t")
            if len(fields) == 1:
                rows.append((fields[0], "+", ""))
                continue
            key, name, kind, data = fields
            value = "#" + data if kind == "REG_DWORD" else data.replace("[LIBRARY]", "[#qvsync.dll]")
            rows.append((key, "" if name == "@" else name, value))
    return rows


def registration_keys(rows_file):
    return sorted({key for key, _, _ in registration_rows(rows_file)}, key=str.lower)


def shown_version(version):
    major, minor, patch = version.split(".")
    return "%s.%s" % (major, minor) + ("" if patch == "0" else "." + patch)


def version_resource(windres, dll):
    """FILEVERSION and the FileVersion text of a DLL's version resource."""
    status, out, err = run([windres, "-i", dll, "-O", "rc"])
    numbers = re.search(r"FILEVERSION\s+(\d+),\s*(\d+),\s*(\d+),\s*(\d+)", out)
    text = re.search(r'VALUE\s+"FileVersion",\s*"([^"]*)"', out)
    return (".".join(numbers.groups()) if numbers else None, text.group(1) if text else None)


def check_tables(args):
    msi, arch = args.msi, args.arch
    name = os.path.basename(msi)
    check(name == "QuorviaSync-%s-%s.msi" % (args.version, arch), "%s: the package is named by version and "
          "architecture" % name)
    check(table(msi, "CustomAction") == [], "%s: no custom action" % name, table(msi, "CustomAction"))
    components = {row[0]: row for row in table(msi, "Component")}
    registry = table(msi, "Registry")
    check(all(row[1] == "1" for row in registry), "%s: every Registry row is under HKEY_CURRENT_USER" % name)
    addin = sorted((row[2], row[3], row[4]) for row in registry if row[5] == "QVSync")
    check(addin == sorted(registration_rows(args.rows)),
          "%s: the add-in's Registry rows are the rows of registration.tsv" % name,
          "package %s\nrows    %s" % (addin, sorted(registration_rows(args.rows))))
    presets = {row[5]: row for row in registry if row[5] != "QVSync"}
    check(len(presets) == len(PRESETS) and len(addin) + len(presets) == len(registry),
          "%s: the Registry table holds nothing but the registration and the presets" % name, registry)
    for prop, (value_name, value) in PRESETS.items():
        rows = [row for row in presets.values() if row[3] == value_name]
        component = components.get(rows[0][5]) if rows else None
        check(bool(rows) and rows[0][2].lower() == CONFIG_KEY.lower() and rows[0][4] == value and component is not None and
              component[4] == prop and int(component[3]) & PERMANENT,
              "%s: %s is written to \"%s\" only when given, and kept on removal" % (name, prop, value_name),
              (rows, component))
    win64 = [bool(int(row[3]) & WIN64) for row in components.values()]
    check(all(win64) if arch == "x64" else not any(win64), "%s: the components are %s-bit" %
          (name, "64" if arch == "x64" else "32"), components)

    properties = dict((row[0], row[1]) for row in table(msi, "Property"))
    check(properties.get("ProductVersion") == args.version, "%s: the product's version is the project's" % name,
          properties.get("ProductVersion"))
    check("ALLUSERS" not in properties and properties.get("NOUSERNAME") == "1",
          "%s: installed per user; USERNAME only when given" % name, properties)
    status, out, err = run(["msiinfo", "suminfo", msi])
    words = re.search(r"^Source: (\d+)", out, re.M)
    template = "x64;1033" if arch == "x64" else "Intel;1033"
    check(words is not None and int(words.group(1)) & 8 and ("Template: " + template) in out,
          "%s: a %s package that needs no elevation" % (name, template), out)
    upgrades = table(msi, "Upgrade")
    own = properties.get("UpgradeCode")
    older = [row for row in upgrades if row[0] == own and row[1] == "" and row[2] == args.version]
    newer = [row for row in upgrades if row[0] == own and row[1] == args.version and int(row[4]) & 2]
    other = [row for row in upgrades if row[0] != own and row[1] == "0.0.0" and not int(row[4]) & 2]
    check(len(upgrades) == 3 and older and newer and other,
          "%s: older versions and the other architecture are replaced, a newer one is not" % name, upgrades)

    folders = {row[0]: (row[1], row[2]) for row in table(msi, "Directory")}
    files = {row[0]: (row[1], row[2]) for row in table(msi, "File")}
    check(folders.get("INSTALLDIR") == ("UserProgramsFolder", "Quorvia Sync") and
          folders.get("UserProgramsFolder") == ("LocalAppDataFolder", "Programs") and
          sorted(files) == ["qvaiso.dll", "qvsync.dll"],
          "%s: qvsync.dll and qvaiso.dll go to the user's Programs\\Quorvia Sync" % name, (folders, files))
    with tempfile.TemporaryDirectory(prefix="qvmsi-") as folder:
        run(["msiextract", "-C", folder, msi])
        for dll, built in (("qvsync.dll", args.qvsync), ("qvaiso.dll", args.qvaiso)):
            packed = os.path.join(folder, "Programs", "Quorvia Sync", dll)
            same = os.path.exists(packed) and open(packed, "rb").read() == open(built, "rb").read()
            check(same, "%s: the packed %s is the build's" % (name, dll))
            numbers, text = version_resource(args.windres, packed) if same else (None, None)
            check(numbers == args.version + ".0" and text == args.version,
                  "%s: %s's version resource says %s" % (name, dll, args.version), (numbers, text))


class Wine:
    """A Wine prefix of its own, made for the run."""

    def __init__(self, wine_run, folder):
        self.wine_run = wine_run
        self.prefix = os.path.join(folder, "wineprefix")
        self.folder = folder
        self.env = dict(os.environ)
        for name in ("http_proxy", "HTTP_PROXY", "DISPLAY"):
            self.env.pop(name, None)
        self.run("wineboot", "--init")

    def run(self, *command):
        return run(["bash", self.wine_run, self.prefix] + list(command), env=self.env)

    def native(self, path):
        return "Z:" + path.replace("/", "\\")

    def msiexec(self, *arguments):
        log = os.path.join(self.folder, "msiexec-%d.log" % time.monotonic_ns())
        status, out, err = self.run("msiexec", *arguments, "/qn", "/l*v", self.native(log))
        self.last_log = log
        return status

    def log_tail(self):
        try:
            with open(self.last_log, "rb") as f:
                return f.read().decode("utf-16", "replace")[-3000:]
        except OSError:
            return ""

    def local_app_data(self):
        found = glob.glob(os.path.join(self.prefix, "drive_c", "users", "*", "AppData", "Local"))
        return next(p for p in found if os.sep + "Public" + os.sep not in p)

    def windows_path(self, path):
        """A path inside the prefix's drive C: as Windows names it."""
        return "C:\\" + os.path.relpath(path, os.path.join(self.prefix, "drive_c")).replace("/", "\\")

    def hkcu(self):
        """HKEY_CURRENT_USER as {key (lower case): [value lines]}."""
        export = os.path.join(self.folder, "hkcu.reg")
        self.run("reg", "export", "HKCU", self.native(export), "/y")
        with open(export, "rb") as f:
            text = f.read().decode("utf-16")
        keys, current = {}, None
        for line in text.replace("\r\n", "\n").replace("\\\n  ", "").split("\n"):
            if line.startswith("[") and line.endswith("]"):
                current = line[len("[HKEY_CURRENT_USER\\"):-1].lower()
                keys[current] = []
            elif line and current is not None:
                keys[current].append(line)
        return keys

    def related_products(self, upgrade_codes):
        """The installed products of the given upgrade codes, with their versions."""
        script = os.path.join(self.folder, "related.js")
        with open(script, "w") as f:
            f.write('var installer = new ActiveXObject("WindowsInstaller.Installer");\n'
                    "for (var a = 0; a < WScript.Arguments.Count(); a++) {\n"
                    "  var products = installer.RelatedProducts(WScript.Arguments(a));\n"
                    "  for (var i = 0; i < products.Count; i++)\n"
                    '    WScript.Echo(products.Item(i) + " " + installer.ProductInfo(products.Item(i), '
                    '"VersionString"));\n}\n')
        status, out, err = self.run("cscript", "//nologo", self.native(script), *upgrade_codes)
        if status != 0:
            return ["(cscript failed: %s)" % err]
        return sorted(line.split()[1] for line in out.splitlines() if line.strip())


def changed_keys(before, after, allowed):
    """Keys that differ between two exports, less those under an allowed prefix."""
    keys = set(before) | set(after)
    return sorted(k for k in keys if before.get(k) != after.get(k) and not any(k.startswith(a) for a in allowed))


def check_install(args):
    with tempfile.TemporaryDirectory(prefix="qvmsi-wine-") as folder:
        wine = Wine(args.wine_run, folder)
        servlet = Servlet(args.qvservlet, os.path.join(folder, "servlet"))
        servlet.command("user ann secret")
        try:
            install_scenario(args, wine, servlet, folder)
        finally:
            servlet.stop()
            subprocess.run(["bash", "-c", "WINEPREFIX=%s /usr/lib/wine/wineserver -k" % wine.prefix],
                           capture_output=True)


def install_scenario(args, wine, servlet, folder):
    msi = wine.native(os.path.abspath(args.msi))
    upgrade_codes = [dict((row[0], row[1]) for row in table(args.msi, "Property"))["UpgradeCode"]]
    upgrade_codes += [row[0] for row in table(args.msi, "Upgrade") if row[0] not in upgrade_codes]
    keys = [k.lower() for k in registration_keys(args.rows)]
    hkcu_before = wine.hkcu()

    # Refused, and nothing left behind.
    for bad in ("BATCHMODE=yes", "HOST=http://mail.example.com", "PASSWORD=secret"):
        status = wine.msiexec("/i", msi, bad)
        check(status != 0 and wine.related_products(upgrade_codes) == [],
              "msiexec /i %s is refused and installs nothing" % bad, wine.log_tail())

    status = wine.msiexec("/i", msi, "HOST=" + servlet.host, "USERNAME=ann")
    check(status == 0, "msiexec /i /qn HOST=%s USERNAME=ann" % servlet.host, wine.log_tail())
    installed = os.path.join(wine.local_app_data(), "Programs", "Quorvia Sync")
    for dll, built in (("qvsync.dll", args.qvsync), ("qvaiso.dll", args.qvaiso)):
        path = os.path.join(installed, dll)
        check(os.path.exists(path) and open(path, "rb").read() == open(built, "rb").read(),
              "%s is installed in the user's Programs\\Quorvia Sync" % dll)
    check(wine.related_products(upgrade_codes) == [args.version], "one product is installed, " + args.version,
          wine.related_products(upgrade_codes))
    hkcu = wine.hkcu()
    library = wine.windows_path(os.path.join(installed, "qvsync.dll"))
    inproc = [v for k, v in hkcu.items() if k.startswith("software\\classes\\clsid\\") and
              k.endswith("\\inprocserver32")]
    check(inproc == [['@="%s"' % library.replace("\\", "\\\\"), '"ThreadingModel"="Apartment"']],
          "InprocServer32 names the installed qvsync.dll", inproc)
    check('"LoadBehavior"=dword:00000003' in hkcu.get(ADDIN_KEY.lower(), []),
          "Outlook's add-in list holds the add-in with LoadBehavior 3", hkcu.get(ADDIN_KEY.lower()))
    config = sorted(hkcu.get(CONFIG_KEY.lower(), []))
    check(config == sorted(['"Host"="%s"' % servlet.host, '"Username"="ann"']),
          "the presets given are written, and only they", config)
    installed_registration = {k: hkcu.get(k) for k in keys}

    # The host loads the add-in from there and synchronises.
    host = [args.host, "--profile", wine.native(os.path.join(folder, "profile.db"))]
    status, out, err = wine.run(*host, "addins")
    check(status == 0 and "Library: " + library in out,
          "qvsync.exe finds the add-in in the installed folder", out + err)
    status, out, err = wine.run(*host, "click", "About...")
    check(status == 0 and "Version " + shown_version(args.version) in out,
          "the About window shows version " + shown_version(args.version), out + err)
    for name, kind, data in (("Password", "REG_SZ", "secret"), ("Troubleshooting Mode", "REG_DWORD", "1")):
        wine.run("reg", "add", "HKCU\\" + CONFIG_KEY, "/v", name, "/t", kind, "/d", data, "/f")
    wine.run(*host, "add", "Contacts", "FullName=Dave Miller", "Email1Address=dave@example.com")
    servlet.command("add ann TASK Subject=Call+the+caterer&Status=0&Importance=1")
    status, out, err = wine.run(*host, "--yes", "click", "&Synchronize")
    status_items, items, _ = wine.run(*host, "items", "Tasks")
    check(status == 0 and "Dave Miller" in servlet.command("list ann CONTACT").replace("+", " ") and
          "Call the caterer" in items, "the installed add-in synchronises with the server", out + err + items)
    configured = sorted(config + ['"Password"="secret"', '"Troubleshooting Mode"=dword:00000001'])
    data = glob.glob(os.path.join(wine.local_app_data(), "..", "Roaming", "Quorvia", "QvSync", "*", "ic_*.tab"))
    log = os.path.join(installed, "QVSync.Log")
    check(bool(data) and os.path.exists(log), "the run leaves its conversion tables and activity log")

    # Installed again, then the next version over it, then an older one.
    check(wine.msiexec("/i", msi) == 0 and wine.related_products(upgrade_codes) == [args.version],
          "installing the same package again leaves one product", wine.log_tail())
    major, minor, patch = args.version.split(".")
    next_version = "%s.%s.%d" % (major, minor, int(patch) + 1)
    packages = {}
    for arch, version in ((args.arch, next_version), ("x86" if args.arch == "x64" else "x64", args.version)):
        packages[arch, version] = os.path.join(folder, "QuorviaSync-%s-%s.msi" % (version, arch))
        status, out, err = run([sys.executable, args.make_msi, "--arch", arch, "--version", version,
                                "--qvsync", args.qvsync, "--qvaiso", args.qvaiso,
                                "--output", packages[arch, version]])
        if status != 0:
            raise RuntimeError("make_msi.py: " + out + err)
    status = wine.msiexec("/i", wine.native(packages[args.arch, next_version]))
    hkcu = wine.hkcu()
    check(status == 0 and wine.related_products(upgrade_codes) == [next_version] and
          {k: hkcu.get(k) for k in keys} == installed_registration and
          sorted(hkcu.get(CONFIG_KEY.lower(), [])) == configured,
          "the next version replaces it; registration and configuration as they were", wine.log_tail())
    status = wine.msiexec("/i", msi)
    check(status != 0 and wine.related_products(upgrade_codes) == [next_version],
          "an older version does not replace a newer one", wine.related_products(upgrade_codes))

    # Removal: what the package added goes, the user's data and configuration stay.
    status = wine.msiexec("/x", wine.native(packages[args.arch, next_version]))
    hkcu = wine.hkcu()
    check(status == 0 and wine.related_products(upgrade_codes) == [], "msiexec /x removes the product",
          wine.log_tail())
    check(not glob.glob(os.path.join(installed, "*.dll")), "the DLLs are removed", os.listdir(installed))
    check(os.path.exists(log) and bool(data) and all(os.path.exists(p) for p in data),
          "the activity log and the conversion tables stay")
    check(sorted(hkcu.get(CONFIG_KEY.lower(), [])) == configured, "the configuration values stay",
          hkcu.get(CONFIG_KEY.lower()))
    # Besides the configuration: Windows Installer's, Wine's and WinInet's own state.
    leftover = changed_keys(hkcu_before, hkcu, ["software\\quorvia", "software\\microsoft\\installer",
                                                "software\\wine",
                                                "software\\microsoft\\windows\\currentversion\\internet settings"])
    check(leftover == [], "no registry key or value of the add-in is left behind", leftover)
    status, out, err = wine.run(*host, "addins")
    check(out == "No add-ins are registered.\n", "the host finds no add-in", out + err)

    # DllRegisterServer writes what the package wrote, to the same library path.
    for dll, built in (("qvsync.dll", args.qvsync), ("qvaiso.dll", args.qvaiso)):
        shutil.copyfile(built, os.path.join(installed, dll))
    # Named as the package names it, so that the paths compare.
    library_path = wine.windows_path(os.path.join(installed, "qvsync.dll"))
    wine.run("regsvr32", "/s", library_path)
    registered = {k: wine.hkcu().get(k) for k in keys}
    check(registered == installed_registration, "regsvr32 writes the same registration as the package",
          "package  %s\nregsvr32 %s" % (installed_registration, registered))
    wine.run("regsvr32", "/s", "/u", library_path)
    for name in os.listdir(installed):
        os.remove(os.path.join(installed, name))

    # Without properties: the configuration as it is; the other architecture's
    # package replaces this one; the folders it made go with it.
    wine.run("reg", "add", "HKCU\\" + CONFIG_KEY, "/v", "Host", "/d", "other.example.com:8080", "/f")
    before = wine.hkcu().get(CONFIG_KEY.lower())
    status = wine.msiexec("/i", msi)
    check(status == 0 and wine.hkcu().get(CONFIG_KEY.lower()) == before,
          "without properties nothing of the configuration is written", wine.log_tail())
    other = [key for key in packages if key[0] != args.arch][0]
    status = wine.msiexec("/i", wine.native(packages[other]))
    check(status == 0 and wine.related_products(upgrade_codes) == [args.version],
          "the other architecture's package replaces this one", wine.related_products(upgrade_codes))
    wine.msiexec("/x", wine.native(packages[other]))
    check(wine.related_products(upgrade_codes) == [] and
          not os.path.exists(os.path.join(wine.local_app_data(), "Programs")),
          "removed, it takes the folders it made", wine.log_tail())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["tables", "install"])
    for option in ("msi", "arch", "version", "rows", "qvsync", "qvaiso"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("--windres")
    for option in ("wine-run", "host", "qvservlet", "make-msi"):
        parser.add_argument("--" + option)
    args = parser.parse_args()
    started = time.time()
    if args.mode == "tables":
        check_tables(args)
    else:
        check_install(args)
    print("installer %s: %.0f s" % (args.mode, time.time() - started))
    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
