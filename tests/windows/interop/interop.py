#!/usr/bin/env python3
"""Interoperability of the Windows and the Linux builds of QVAISO.

interop.py --windows "WINE-RUN PREFIX PROBE.EXE QVAISO.DLL" --linux "PROBE LIBQVAISO.SO"

Runs the same probe program (qvaiso_probe) against qvaiso.dll under Wine and
against libqvaiso.so, and checks that
  - a text EncryptString encrypts on one build decrypts on the other (both
    ways), for random texts up to the 765-byte limit;
  - Blowfish (every mode) and the hex scrambler give byte-identical output;
  - a value table written by one build reads back the same on the other;
  - Messages.xml posted by one build is carried on by the other, and parses;
  - with --qvadmind, the Windows build's remote registry calls reach the Linux
    administration listener over TCP (Winsock on one side, POSIX on the other).
Each side runs once per batch of commands (a Wine start costs seconds).
"""
import argparse
import os
import random
import shlex
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def hexed(data):
    return data.hex() if data else "-"


def unhexed(text):
    return b"" if text == "-" else bytes.fromhex(text)


def run(command, lines, env=None):
    result = subprocess.run(command, input="".join(line + "\n" for line in lines), capture_output=True,
                            text=True, env=env, timeout=600)
    lines_out = [line.rstrip("\r") for line in result.stdout.splitlines()]
    answers = [line[3:] for line in lines_out if line.startswith("=> ")]
    for line in lines_out:
        if not line.startswith("=> "):
            print(f"{command[0]} printed: {line}")
    if result.returncode != 0 or len(answers) != len(lines):
        print(result.stderr[-2000:], file=sys.stderr)
        raise SystemExit(f"{command[0]} failed ({result.returncode}), {len(answers)} of {len(lines)} answers")
    return answers


def windows_path(path):
    # Wine's drive Z: is the root of the Linux file system.
    return "Z:" + path.replace("/", "\\")


def remote_check(args, windows, linux, linux_env, work, rng):
    """Windows forwards registry calls to the Linux listener on loopback."""
    protocol, credentials = "Basic", f"interop-{rng.randrange(10**9)}"
    # The listener reads only an accounts file that is its owner's alone.
    descriptor = os.open(f"{work}/credentials", os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, "w") as out:
        out.write(f"{protocol}\t{credentials}\n")
    listener = subprocess.Popen([args.qvadmind, "--address", "127.0.0.1", "--port", "0", "--print-port",
                                 "--credentials", f"{work}/credentials", "--idle-timeout", "30"],
                                stdout=subprocess.PIPE, text=True, env=linux_env)
    try:
        port = int(listener.stdout.readline())
        # The Windows side's host table (HKCU), written with Wine's reg.exe.
        host_key = "HKCU\\Software\\Quorvia\\Quorvia\\Administration\\Hosts\\linuxhost"
        wine_run = windows[:2]
        for name, kind, value in (("Address", "REG_SZ", "127.0.0.1"), ("Port", "REG_DWORD", str(port)),
                                  ("Authentication Protocol", "REG_SZ", protocol),
                                  ("Credentials", "REG_SZ", credentials)):
            subprocess.run(wine_run + ["reg", "add", host_key, "/v", name, "/t", kind, "/d", value, "/f"],
                           check=True, capture_output=True, timeout=120)
        key = "SOFTWARE\\Quorvia\\Interop"
        greeting = f"hello from Linux {rng.randrange(10**6)}".encode()
        reply = f"hello from Windows {rng.randrange(10**6)}".encode()
        check(run(linux, [f"registry-set - {key} {hexed(b'Greeting')} {hexed(greeting)}"], linux_env)[0] == "1",
              "Linux writes its own registry")
        answers = run(windows, [f"registry-get linuxhost {key} {hexed(b'Greeting')}",
                                f"registry-set linuxhost {key} {hexed(b'Reply')} {hexed(reply)}"])
        check(answers[0] == f"1 {greeting.hex()}", f"Windows reads the Linux registry over TCP: {answers[0]}")
        check(answers[1] == "1", "Windows writes the Linux registry over TCP")
        check(run(linux, [f"registry-get - {key} {hexed(b'Reply')}"], linux_env)[0] == f"1 {reply.hex()}",
              "the value Windows wrote is in the Linux registry")
    finally:
        listener.terminate()
        listener.wait(timeout=30)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--windows", required=True)
    parser.add_argument("--linux", required=True)
    parser.add_argument("--qvadmind", help="the Linux administration listener, for the remote check")
    parser.add_argument("--seed", type=int, default=int.from_bytes(os.urandom(4), "little"))
    parser.add_argument("--count", type=int, default=60)
    args = parser.parse_args()
    windows = shlex.split(args.windows)
    linux = shlex.split(args.linux)
    rng = random.Random(args.seed)
    print("seed", args.seed)

    work = tempfile.mkdtemp(prefix="qvinterop-")
    linux_env = dict(os.environ, QUORVIA_HKCU=f"{work}/hkcu.db", QUORVIA_HKLM=f"{work}/hklm.db",
                     QUORVIA_MACHINE_KEYS=f"{work}/machine-keys")

    # --- string encryption, both ways ---
    def random_text(length):
        return bytes(rng.randrange(1, 256) for _ in range(length))

    lengths = [1, 2, 3, 764, 765] + [rng.randrange(1, 766) for _ in range(args.count)]
    texts = [random_text(n) for n in lengths]
    passes = [str(rng.randrange(100000000, 1000000000)).encode() for _ in texts]
    # SetupCrypto happens inside EncryptString; encrypt first on both sides.
    enc = [f"encrypt {hexed(p)} {hexed(t)}" for p, t in zip(passes, texts)]
    win_enc = run(windows, enc)
    lin_enc = run(linux, enc, linux_env)
    for i, (w, l) in enumerate(zip(win_enc, lin_enc)):
        check(w.split()[0] == "1" and l.split()[0] == "1", f"encrypt {lengths[i]} bytes: {w[:20]} / {l[:20]}")
        check(w == l, f"encrypt {lengths[i]} bytes differs between the builds")
    win_dec = run(windows, [f"decrypt {hexed(p)} {l.split()[1]}" for p, l in zip(passes, lin_enc)])
    lin_dec = run(linux, [f"decrypt {hexed(p)} {w.split()[1]}" for p, w in zip(passes, win_enc)], linux_env)
    for i, t in enumerate(texts):
        check(win_dec[i] == f"1 {t.hex()}", f"Windows decrypts the Linux text of {lengths[i]} bytes")
        check(lin_dec[i] == f"1 {t.hex()}", f"Linux decrypts the Windows text of {lengths[i]} bytes")
    over = f"encrypt {hexed(passes[0])} {hexed(random_text(766))}"
    check(run(windows, [over])[0] == run(linux, [over], linux_env)[0] == "0 -", "766 bytes fail on both")

    # --- Blowfish and the hex scrambler: byte-identical ---
    cmds = []
    for _ in range(args.count):
        key = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 57)))
        data = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 200)))
        mode = rng.choice([0, 1, 2, 7])
        cmds.append(f"blowfish-encrypt {mode} {hexed(key)} {hexed(data)}")
        block = bytes(rng.randrange(256) for _ in range(8 * rng.randrange(1, 20)))
        cmds.append(f"blowfish-decrypt {mode} {hexed(key)} {hexed(block)}")
        text_key = bytes(rng.randrange(1, 128) for _ in range(rng.randrange(0, 20)))
        plain = bytes(rng.randrange(1, 256) for _ in range(rng.randrange(0, 140)))
        cmds.append(f"scramble {hexed(text_key)} {hexed(plain)}")
        scrambled = "".join(rng.choice("0123456789abcdef") for _ in range(2 * rng.randrange(1, 40)))
        cmds.append(f"unscramble {hexed(text_key)} {scrambled}")
    win = run(windows, cmds)
    lin = run(linux, cmds, linux_env)
    for c, w, l in zip(cmds, win, lin):
        check(w == l, f"{c.split()[0]} differs: {c[:60]}... Windows {w[:40]} Linux {l[:40]}")
    check(sum(1 for w in win if w.startswith("1")) > len(cmds) // 2, "most Blowfish/scrambler calls succeed")

    # --- value tables, both ways ---
    alphabet = "abcXYZ 0123456789<>&\"'=;/\\-_"
    names = [b"Name", b"Address", b"Note"]
    for writer, reader, wpath, rpath in (
            ("windows", "linux", windows_path(f"{work}/from-windows.xml"), f"{work}/from-windows.xml"),
            ("linux", "windows", f"{work}/from-linux.xml", windows_path(f"{work}/from-linux.xml"))):
        rows = [[(n, "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 30))).encode()) for n in names]
                for _ in range(rng.randrange(1, 8))]
        write = f"table-write {wpath} " + " ".join(",".join(f"{hexed(n)}={hexed(v)}" for n, v in row) for row in rows)
        read = f"table-read {rpath} " + " ".join(hexed(n) for n in names)
        w_side, r_side = (windows, linux) if writer == "windows" else (linux, windows)
        check(run(w_side, [write], linux_env)[0] == "1", f"{writer} writes a value table")
        answer = run(r_side, [read], linux_env)[0].split()
        got = [[(unhexed(p.split("=")[0]), unhexed(p.split("=")[1])) for p in cell.split(",")] for cell in answer[1:]]
        # An empty value reads back as an empty property.
        check(answer[0] == "1" and got == rows, f"{reader} reads the value table {writer} wrote")

    # --- Messages.xml: posted by one build, carried on by the other ---
    folder = f"{work}/config"
    os.makedirs(folder)
    check(run(windows, [f"message {windows_path(folder)} 1001 {hexed(b'posted on Windows <&>')}"])[0] == "1",
          "Windows posts a message")
    check(run(linux, [f"message {folder} 1002 {hexed(b'posted on Linux')}"], linux_env)[0] == "1",
          "Linux posts a message")
    check(run(windows, [f"message {windows_path(folder)} 1003 {hexed(b'again on Windows')}"])[0] == "1",
          "Windows posts again")
    try:
        root = ElementTree.parse(f"{folder}/Messages/Messages.xml").getroot()
        ids = [m.get("id") for m in root.iter("SystemMessage")]
        texts = [m.findtext("Message") for m in root.iter("SystemMessage")]
        check(ids == ["1003", "1002", "1001"], f"Messages.xml holds every message newest first: {ids}")
        check(texts[-1:] == ["posted on Windows <&>"], f"the first message survives both builds: {texts}")
    except (OSError, ElementTree.ParseError) as error:
        check(False, f"Messages.xml parses: {error}")

    if args.qvadmind:
        remote_check(args, windows, linux, linux_env, work, rng)

    print(f"{len(failures)} failures" if failures else "all interoperability checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
