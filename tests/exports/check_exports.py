#!/usr/bin/env python3
"""Checks that a plugin library exports exactly Mumble's plugin functions and,
for the DLL, that it imports system DLLs only (runtime linked statically)."""
import argparse
import re
import subprocess
import sys

EXPECTED = {
    "mumble_getAPIVersion", "mumble_getPluginFunctionsVersion", "mumble_getVersion",
    "mumble_getName", "mumble_getAuthor", "mumble_getDescription", "mumble_getFeatures",
    "mumble_deactivateFeatures", "mumble_setMumbleInfo", "mumble_releaseResource",
    "mumble_registerAPIFunctions", "mumble_init", "mumble_shutdown",
    "mumble_onServerSynchronized", "mumble_onServerDisconnected", "mumble_onUserAdded",
    "mumble_onUserRemoved", "mumble_onChannelEntered", "mumble_onAudioInput",
    "mumble_onAudioSourceFetched", "mumble_onAudioOutputAboutToPlay", "mumble_hasUpdate",
    "mumble_getUpdateDownloadURL",
}

# System DLLs a Windows build may import; anything else (libstdc++-6.dll,
# libgcc_s_seh-1.dll, libwinpthread-1.dll, ...) means the runtime is not static.
SYSTEM_DLLS = re.compile(
    r"^(kernel32|ws2_32|winhttp|advapi32|shell32|msvcrt|ucrtbase|user32|crypt32|bcrypt|ole32|"
    r"api-ms-win-[a-z0-9-]+)\.dll$", re.I)


def objdump(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


def linux_exports(tool, lib):
    names = set()
    for line in objdump(tool, "-T", lib).splitlines():
        # e.g. "0000000000001234 g    DF .text  0000000000000010  Base        mumble_init"
        parts = line.split()
        if len(parts) < 4 or "*UND*" in line or not re.match(r"^[0-9a-f]{8,}$", parts[0]):
            continue
        flags = line[17:24]
        if "g" in flags or "w" in flags or "u" in flags:
            names.add(parts[-1])
    return names, []


def windows_exports(tool, lib):
    text = objdump(tool, "-p", lib)
    names, imports = set(), []
    in_table = False
    for line in text.splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            in_table = True
            continue
        if in_table:
            m = re.match(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", line)
            if m:
                names.add(m.group(1))
                continue
            if line.strip():
                in_table = False
        m = re.match(r"^\s*DLL Name:\s*(\S+)", line)
        if m:
            imports.append(m.group(1))
    return names, imports


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--os", choices=["linux", "windows"], required=True)
    ap.add_argument("--objdump", required=True)
    ap.add_argument("library")
    a = ap.parse_args()
    names, imports = (linux_exports if a.os == "linux" else windows_exports)(a.objdump, a.library)
    ok = True
    if names - EXPECTED:
        print("unexpected exports:", sorted(names - EXPECTED))
        ok = False
    if EXPECTED - names:
        print("missing exports:", sorted(EXPECTED - names))
        ok = False
    bad = [d for d in imports if not SYSTEM_DLLS.match(d)]
    if bad:
        print("non-system DLL imports:", bad)
        ok = False
    print(f"{a.library}: {len(names)} exports" + (f", imports {sorted(set(imports))}" if imports else ""))
    print("exports and imports as expected" if ok else "export check FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
