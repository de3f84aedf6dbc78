#!/usr/bin/env python3
"""compare-registration.py <state-dir> <cvie> <cvie.dll> <cvie_win_com_probe.exe>

Registers the Windows module with `wine regsvr32 /s cvie.dll` in the private
Wine prefix of the win tests, reads every key back with `wine reg query`, and
compares keys and values with what `cvie register --print` lists on Linux (the
module's path may differ: the Linux program's path and folder stand where the
DLL's are). While registered, the classes the module serves are created
through the system's COM (the probe program). Then `regsvr32 /u /s` must
remove the keys again. Exits 77 (skipped)
when wine or the DLL is absent.
"""
import os
import re
import subprocess
import sys
import tempfile

ROOTS = {"HKEY_CLASSES_ROOT": "HKCR", "HKEY_CURRENT_USER": "HKCU",
         "HKEY_LOCAL_MACHINE": "HKLM"}
# The classes DllGetClassObject serves, by ProgID; the MIME filter and the
# namespace handler are made by the helper object, not through COM.
SERVED_PROG_IDS = ["cvie.CommMgr.1", "cvie.CVIEBHO.1", "cvietb.CVButton.1"]
# Keys other software writes as well: only our values are compared, and on
# removal only ours must be gone.
SHARED_KEYS = {r"HKLM\Software\Microsoft\Windows\CurrentVersion\Shell Extensions\Approved"}
VALUE = re.compile(r"^    (.*?)    (REG_\w+)    ?(.*)$")


def short_key(line):
    root, _, rest = line.partition("\\")
    return ROOTS.get(root, root) + "\\" + rest


def expected_registration(cvie):
    """{key: {name: value}} as `cvie register --print` leaves the registry:
    later writes of a value replace earlier ones, as in the registry."""
    with tempfile.TemporaryDirectory() as root:
        env = dict(os.environ, CVIE_ROOT=root)
        out = subprocess.run([cvie, "register", "--print"], env=env, check=True,
                             capture_output=True, text=True).stdout
    keys = {}
    key = None
    for line in out.splitlines():
        if line.startswith("  "):
            m = re.match(r'^  "(.*)" = "(.*)"$', line)
            if not m:
                raise SystemExit(f"unexpected line of cvie register --print: {line}")
            keys[key][m.group(1)] = m.group(2)
        else:
            key = short_key(line)
            keys.setdefault(key, {})
    return keys


def wine(prefix, *args):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    # The module's folders stay those of the private prefix: removal deletes
    # the shared data folder, which must never be one of the host's.
    env.pop("CVIE_ROOT", None)
    return subprocess.run(["wine", *args], env=env, capture_output=True, text=True,
                          errors="replace")


def query_keys(prefix, work, keys):
    """{key: {name: value} or None when missing}, from one `reg query` per key,
    all run by one batch file."""
    lines = ["@echo off"]
    for i, key in enumerate(keys):
        lines.append(f'echo ==key {i}')
        lines.append(f'reg query "{key}"')
        lines.append(f'echo ==rc %ERRORLEVEL%')
    batch = os.path.join(work, "query.bat")
    with open(batch, "w", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")
    out = wine(prefix, "cmd", "/c", "Z:" + batch.replace("/", "\\")).stdout
    found = {}
    current = None
    values = {}
    for line in out.replace("\r", "").split("\n"):
        if line.startswith("==key "):
            current = keys[int(line[6:])]
            values = {}
        elif line.startswith("==rc ") and current is not None:
            found[current] = values if line[5:].strip() == "0" else None
            current = None
        elif current is not None:
            m = VALUE.match(line)
            if m:
                name = "" if m.group(1) == "(Default)" else m.group(1)
                values[name] = m.group(3)
    missing = [k for k in keys if k not in found]
    if missing:
        raise SystemExit(f"reg query gave no answer for {missing[:3]} (output: {out[-500:]})")
    return found


def main():
    state, cvie, dll, probe = sys.argv[1:5]
    if subprocess.run(["sh", "-c", "command -v wine"], capture_output=True).returncode:
        print("wine is not installed: skipped")
        return 77
    if not os.path.isfile(dll):
        print(f"{dll} is not built (make windows): skipped")
        return 77
    with open(os.path.join(state, "prefix")) as f:
        prefix = f.read().strip()

    expected = expected_registration(cvie)
    linux_path = os.path.realpath(cvie)
    linux_folder = os.path.dirname(linux_path) + "/"
    win_path = "Z:" + os.path.realpath(dll).replace("/", "\\")
    win_folder = win_path[: win_path.rfind("\\") + 1]

    def same_path(text, path, folder):
        return text.replace(path, "<module>").replace(folder, "<folder>")

    failures = []
    with tempfile.TemporaryDirectory() as work:
        reg = wine(prefix, "regsvr32", "/s", win_path)
        if reg.returncode != 0:
            print(f"regsvr32 /s failed ({reg.returncode}): {reg.stderr[-500:]}")
            return 1
        keys = sorted(expected)
        actual = query_keys(prefix, work, keys)
        for key in keys:
            got = actual[key]
            if got is None:
                failures.append(f"missing key {key}")
                continue
            want = {n: same_path(v, linux_path, linux_folder)
                    for n, v in expected[key].items()}
            have = {n: same_path(v, win_path, win_folder) for n, v in got.items()}
            if key in SHARED_KEYS:
                have = {n: v for n, v in have.items() if n in want}
            if want != have:
                failures.append(f"{key}: expected {want}, registry has {have}")
        print(f"{len(keys)} keys compared after registration")

        clsids = [expected.get(f"HKCR\\{p}\\CLSID", {}).get("") for p in SERVED_PROG_IDS]
        if None in clsids:
            failures.append(f"cvie register --print lacks a class of {SERVED_PROG_IDS}")
            clsids = [c for c in clsids if c]
        made = wine(prefix, "Z:" + os.path.realpath(probe).replace("/", "\\"), *clsids)
        print(made.stdout, end="")
        if made.returncode != 0:
            failures.append(f"the system's COM could not use every class: {made.stderr}")

        unreg = wine(prefix, "regsvr32", "/u", "/s", win_path)
        if unreg.returncode != 0:
            failures.append(f"regsvr32 /u /s failed ({unreg.returncode})")
        after = query_keys(prefix, work, keys)
        for key in keys:
            if key in SHARED_KEYS:
                left = set(after[key] or {}) & set(expected[key])
                if left:
                    failures.append(f"{key}: values {sorted(left)} left after removal")
            elif after[key] is not None:
                failures.append(f"key {key} left after removal")

    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
