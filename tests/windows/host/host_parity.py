#!/usr/bin/env python3
"""The add-in through both hosts, with one set of checks.

The Linux host (qvsync with libqvsync.so) and the Windows host (qvsync.exe
under Wine, loading qvsync.dll through COM and handing it the emulated Outlook
through IDispatch) run the same commands against a servlet emulator of their
own on loopback (qvservlet, a Linux process). Each host's registry is its own:
the Linux stand-in (qvreg) or Wine's registry (reg.exe). The checks:

- the host's help, stores and folders, registration (regsvr32 under Wine, the
  host's register command), the add-in list, the menu, the About window: the
  same output from both hosts;
- the configuration window filled from a file, through the window's checks;
- synchronisation in direct mode with plain items and in batch mode through
  the safe-item wrappers, every class (contacts with a distribution list, a
  recurring appointment, tasks), changes and deletions on both sides:
  afterwards both sides hold the same items;
- a batch whose reply is lost: the next run confirms it with the server, and
  nothing is sent twice;
- unregistration removes the add-in (and regsvr32 /u leaves no key behind).

Usage: host_parity.py --wine-run SCRIPT --prefix DIR --windows-host EXE
         --windows-addin DLL --linux-host EXE --linux-addin SO --qvaiso SO
         --qvservlet EXE --qvreg EXE
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ADDIN_KEY = r"HKCU\Software\Microsoft\Office\Outlook\Addins\QVSync.Connect"
CONFIG_KEY = r"HKCU\SOFTWARE\Quorvia\Outlook Sync"
FOLDERS = {"CONTACT": "Contacts", "APPOINTMENT": "Calendar", "TASK": "Tasks"}
MENU = ("Quorvia > Quorvia > &Synchronize\n"
        "Quorvia > Quorvia > Change &Password...\n"
        "Quorvia > Quorvia > Set Auto &Response...\n"
        "Quorvia > Quorvia > &Configure...\n"
        "Quorvia > Quorvia > &About...\n")

failures = []
passes = []


def check(condition, what, detail=""):
    if condition:
        passes.append(what)
        print("ok   " + what)
    else:
        print("FAIL " + what + ("\n     " + str(detail).replace("\n", "\n     ") if detail else ""))
        failures.append(what)
    return condition


class Servlet:
    """qvservlet on loopback, driven through its standard input."""

    def __init__(self, program, folder):
        os.makedirs(folder, exist_ok=True)
        self.process = subprocess.Popen(
            [program, "--bind", "127.0.0.1", "--port", "0", "--db", os.path.join(folder, "mailbox.db"),
             "--user", "alice:secret"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)
        line = self.process.stdout.readline()
        match = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
        if not match:
            raise RuntimeError("the servlet emulator did not start: " + line)
        self.host = "127.0.0.1:" + match.group(1)
        self.marks = 0

    def command(self, line):
        self.marks += 1
        mark = "--end %d--" % self.marks
        self.process.stdin.write(line + "\necho " + mark + "\n")
        self.process.stdin.flush()
        answer = []
        while True:
            text = self.process.stdout.readline()
            if text == "" or text.rstrip("\n") == mark:
                return "".join(answer)
            answer.append(text)

    def subjects(self, item_class):
        names = []
        for row in self.command("list alice " + item_class).splitlines():
            fields = dict(f.split("=", 1) for f in row.split("\t")[2:] if "=" in f)
            names.append(fields.get("Subject") or fields.get("Description") or fields.get("FullName")
                         or fields.get("GroupName") or "")
        return sorted(names)

    def stop(self):
        self.process.stdin.close()
        self.process.terminate()
        self.process.wait(timeout=30)


class Host:
    """One host with its own profile, data folder and registry."""

    def __init__(self, name, folder):
        self.name = name
        self.folder = folder
        os.makedirs(folder, exist_ok=True)

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def run(self, *arguments, stdin=""):
        command = self.command() + ["--profile", self.native(self.path("profile.db"))] + list(arguments)
        done = subprocess.run(command, input=stdin, capture_output=True, text=True, env=self.environment(),
                              timeout=600)
        return done.returncode, done.stdout.replace("\r\n", "\n"), done.stderr.replace("\r\n", "\n")

    def subjects(self, item_class):
        status, out, err = self.run("items", FOLDERS[item_class])
        rows = out.splitlines()[1:]
        return sorted(row.split("\t")[3].replace("\\t", "\t") for row in rows if row.count("\t") >= 3)

    def entry_of(self, item_class, subject):
        """The EntryID of the item whose subject starts with `subject`."""
        status, out, err = self.run("items", FOLDERS[item_class])
        for row in out.splitlines()[1:]:
            fields = row.split("\t")
            if len(fields) >= 4 and fields[3].startswith(subject):
                return fields[0]
        raise RuntimeError("%s: no item %r in %s" % (self.name, subject, out + err))


class LinuxHost(Host):
    def __init__(self, folder, args):
        super().__init__("Linux", folder)
        self.args = args
        os.makedirs(self.path("addin"), exist_ok=True)
        self.library = self.path("addin", "libqvsync.so")
        shutil.copy(args.linux_addin, self.library)

    def command(self):
        return [self.args.linux_host]

    def native(self, path):
        return path

    def environment(self):
        env = dict(os.environ)
        env.update(QUORVIA_HKCU=self.path("hkcu.db"), QUORVIA_HKLM=self.path("hklm.db"),
                   XDG_DATA_HOME=self.path("xdg"), QUORVIA_QVAISO=self.args.qvaiso, no_proxy="127.0.0.1,localhost")
        env.pop("http_proxy", None)
        env.pop("DISPLAY", None)
        return env

    def registry(self, *arguments):
        done = subprocess.run([self.args.qvreg] + list(arguments), capture_output=True, text=True,
                              env=self.environment())
        return done.returncode, done.stdout

    def register(self):
        return self.run("register", self.library)

    def unregister(self):
        return self.run("unregister", self.library)


class WindowsHost(Host):
    def __init__(self, folder, args):
        super().__init__("Windows", folder)
        self.args = args
        os.makedirs(self.path("addin"), exist_ok=True)
        self.library = self.path("addin", "qvsync.dll")
        shutil.copy(args.windows_addin, self.library)
        shutil.copy(os.path.join(os.path.dirname(args.windows_addin), "qvaiso.dll"), self.path("addin"))

    def wine(self):
        return ["bash", self.args.wine_run, self.args.prefix]

    def command(self):
        return self.wine() + [self.args.windows_host]

    def native(self, path):
        return "Z:" + path.replace("/", "\\")

    def environment(self):
        env = dict(os.environ)
        for name in ("http_proxy", "HTTP_PROXY", "DISPLAY"):
            env.pop(name, None)
        return env

    def registry(self, *arguments):
        done = subprocess.run(self.wine() + ["reg"] + list(arguments), capture_output=True, text=True,
                              env=self.environment())
        return done.returncode, done.stdout.replace("\r\n", "\n")

    def register(self):
        # As an administrator would: regsvr32, which calls DllRegisterServer.
        done = subprocess.run(self.wine() + ["regsvr32", "/s", self.native(self.library)], capture_output=True,
                              text=True, env=self.environment())
        return done.returncode, done.stdout, done.stderr

    def unregister(self):
        return self.run("unregister", self.native(self.library))


def set_value(host, name, kind, data, key=CONFIG_KEY + r"\Default"):
    status, _ = host.registry("add", key, "/v", name, "/t", kind, "/d", str(data), "/f")
    if status != 0:
        raise RuntimeError("%s: cannot set %s" % (host.name, name))


def both_sides_equal(host, servlet, what):
    for item_class in ("CONTACT", "APPOINTMENT", "TASK"):
        outlook = host.subjects(item_class)
        server = servlet.subjects(item_class)
        if item_class == "CONTACT":
            server += servlet.subjects("CONTACTGROUP")
            server.sort()
        check(outlook == server, "%s: %s: %s agree" % (host.name, what, FOLDERS[item_class]),
              "Outlook %s\nserver  %s" % (outlook, server))


def synchronize(host, what):
    status, out, err = host.run("--yes", "click", "&Synchronize")
    detail = out + err
    if status != 0:
        # What the add-in found in its configuration key: a failed run that
        # says "not configured" is then told apart from a lost registry.
        detail += "\nconfiguration key:\n" + host.registry("query", CONFIG_KEY, "/s")[1]
    check(status == 0, "%s: %s: Synchronize succeeds" % (host.name, what), detail)
    return out


def scenario(host, servlet):
    """Everything a user does, through one host. Returns the outputs that must
    be the same on both hosts."""
    same = {}
    # A clean registry for the account (a Wine prefix is kept between runs).
    host.registry("delete", CONFIG_KEY, "/f")
    set_value(host, "Data Directory", "REG_SZ", host.native(host.path("data")), key=CONFIG_KEY)

    for command in ("--help", "stores", "folders"):
        same[command] = host.run(command)
    status, out, err = host.register()
    check(status == 0, "%s: the add-in registers itself" % host.name, out + err)
    status, out, err = host.run("addins")
    check("QVSync.Connect\n  FriendlyName: Quorvia Synchronization Add-In\n" in out and
          "LoadBehavior: 3\n" in out and "Quorvia Synchronization Utility" in out,
          "%s: Outlook's add-in list names the add-in" % host.name, out + err)
    same["addins"] = re.sub(r"  Library: .*\n", "", out)
    status, out, err = host.run("menu")
    check(status == 0 and out == MENU, "%s: the menu shows the five commands" % host.name, out + err)
    same["menu"] = out
    status, out, err = host.run("click", "About...")
    check(status == 0 and "Version 1.24" in out, "%s: About opens its window" % host.name, out + err)
    same["about"] = out

    setup = host.path("setup.txt")
    with open(setup, "w") as f:
        f.write("[frmConfig]\nset txtHostName http://%s\nset \"Username\" alice\nset txtPassword secret\n"
                "set chkTroubleshoot on\nclick OK\n" % servlet.host)
    status, out, err = host.run("--no", "--fill", host.native(setup), "click", "Configure...")
    check(status == 0 and "Would you like to synchronize with Quorvia now?" in out,
          "%s: the configuration window logs in and offers to synchronise" % host.name, out + err)
    status, out = host.registry("query", CONFIG_KEY + r"\Default", "/v", "Host")
    check(servlet.host in out, "%s: the server name is stored without its http://" % host.name, out)

    # Items on both sides, every class.
    host.run("add", "Contacts", "FullName=Dave Miller", "Email1Address=dave@example.com")
    host.run("add", "Calendar", "Subject=Dentist", "Start=2030-03-04 08:00:00", "End=2030-03-04 08:45:00")
    host.run("add", "Tasks", "Subject=Renew the certificate", "Body=Before Friday")
    bob = servlet.command("add alice CONTACT FirstName=Bob&LastName=Jones&FullName=Bob+Jones"
                          "&EMail=bob@example.com").split()[-1]
    servlet.command("add alice CONTACTGROUP ObjectType=Group&GroupName=Project+team&Members=%s" % bob)
    servlet.command("add alice APPOINTMENT Description=Weekly+meeting&StartTime=2030-03-04-09-00"
                    "&FinishTime=2030-03-04-09-30&offset=0&IsRecurring=True&RecurrenceType=1&RecurrenceInterval=1"
                    "&DayOfWeekMask=2&PatternStartDate=2030-03-04-09-00&NoEndDate=True&Occurrences=0")
    servlet.command("add alice TASK Subject=Call+the+caterer&Status=0&Importance=1")

    for mode, name in ((0, "direct mode"), (1, "batch mode")):
        set_value(host, "Batch Mode", "REG_DWORD", mode)
        # Batch mode goes through the safe-item wrappers (raw MAPI fields).
        host.run("wrapper", "on" if mode else "off")
        synchronize(host, name + ", first run")
        both_sides_equal(host, servlet, name + ", after the first run")
        # A change and a new item on each side, made after the last run's
        # seconds (an item counts as changed 3 seconds after the last run).
        time.sleep(3.2)
        entry = host.entry_of("TASK", "Renew the certificate")
        host.run("edit", entry, "Subject=Renew the certificate (%s)" % name)
        host.run("add", "Tasks", "Subject=Outlook task in %s" % name)
        servlet.command("add alice TASK Subject=Server+task+in+%s" % name.replace(" ", "+"))
        synchronize(host, name + ", second run")
        both_sides_equal(host, servlet, name + ", after changes on both sides")
        # A deletion on each side.
        time.sleep(3.2)
        host.run("delete", host.entry_of("TASK", "Outlook task in %s" % name))
        for row in servlet.command("list alice TASK").splitlines():
            if "Server task in " + name in row.replace("+", " "):
                servlet.command("delete alice " + row.split("\t")[0])
        synchronize(host, name + ", third run")
        both_sides_equal(host, servlet, name + ", after deletions on both sides")
        same[name] = {c: host.subjects(c) for c in FOLDERS}

    # A batch whose reply is lost: the server carried it out, the add-in
    # never heard. The next run confirms it instead of sending it again.
    host.run("add", "Tasks", "Subject=Sent once")
    servlet.command("fault batch-drop")
    host.run("--yes", "click", "&Synchronize")
    servlet.command("fault none")
    check(servlet.subjects("TASK").count("Sent once") == 1, "%s: the lost batch reached the server once" % host.name)
    out = synchronize(host, "the run after the lost reply")
    check("The last synchronisation failed. The items from last batch will be confirmed with server." in out,
          "%s: the next run confirms the left-over batch with the server" % host.name, out)
    check(servlet.subjects("TASK").count("Sent once") == 1 and host.subjects("TASK").count("Sent once") == 1,
          "%s: after the lost reply nothing is doubled" % host.name,
          "server %s\nOutlook %s" % (servlet.subjects("TASK"), host.subjects("TASK")))
    both_sides_equal(host, servlet, "after recovering the lost batch")
    same["recovered"] = {c: host.subjects(c) for c in FOLDERS}

    status, out, err = host.unregister()
    check(status == 0, "%s: the add-in unregisters itself" % host.name, out + err)
    status, out, err = host.run("addins")
    check(out == "No add-ins are registered.\n", "%s: no add-in is left in Outlook's list" % host.name, out + err)
    return same


def main():
    parser = argparse.ArgumentParser()
    for option in ("wine-run", "prefix", "windows-host", "windows-addin", "linux-host", "linux-addin", "qvaiso",
                   "qvservlet", "qvreg"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    started = time.time()
    with tempfile.TemporaryDirectory(prefix="qvparity-") as folder:
        results = {}
        for host_class in (LinuxHost, WindowsHost):
            servlet = Servlet(args.qvservlet, os.path.join(folder, host_class.__name__))
            try:
                host = host_class(os.path.join(folder, host_class.__name__), args)
                results[host.name] = scenario(host, servlet)
            finally:
                servlet.stop()
        for key in results["Linux"]:
            check(results["Linux"][key] == results["Windows"][key], "both hosts: the same %s" % key,
                  "Linux   %r\nWindows %r" % (results["Linux"][key], results["Windows"][key]))
        # regsvr32 /u leaves nothing of the add-in in Wine's registry.
        windows = WindowsHost(os.path.join(folder, "WindowsHost"), args)
        windows.register()
        subprocess.run(windows.wine() + ["regsvr32", "/s", "/u", windows.native(windows.library)],
                       env=windows.environment())
        status, out = windows.registry("query", ADDIN_KEY)
        status2, out2 = windows.registry("query", r"HKCU\Software\Classes\QVSync.Connect")
        check(status != 0 and status2 != 0, "Windows: regsvr32 /u removes the registration", out + out2)
    print("host parity: %.0f s" % (time.time() - started))
    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
