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
    "mumble_onUserRemoved", "mumble_onChannelEntered", "mumble_onUserTalkingStateChanged", "mumble_onAudioInput",
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


def check(os_name, tool, lib):
    """The problems found in one library (empty when it is as expected), and a
    one-line summary of what was read."""
    try:
        names, imports = (linux_exports if os_name == "linux" else windows_exports)(tool, lib)
    except (OSError, subprocess.CalledProcessError) as e:
        # A file the tool cannot read is a failed check, not a crash of the checker.
        return [f"{tool} could not read {lib}: {getattr(e, 'stderr', None) or e}".strip()], f"{lib}: unreadable"
    problems = []
    if names - EXPECTED:
        problems.append(f"unexpected exports: {sorted(names - EXPECTED)}")
    if EXPECTED - names:
        problems.append(f"missing exports: {sorted(EXPECTED - names)}")
    bad = [d for d in imports if not SYSTEM_DLLS.match(d)]
    if bad:
        problems.append(f"non-system DLL imports: {bad}")
    summary = f"{lib}: {len(names)} exports" + (f", imports {sorted(set(imports))}" if imports else "")
    return problems, summary


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--os", choices=["linux", "windows"], required=True)
    ap.add_argument("--objdump", required=True)
    ap.add_argument("library")
    a = ap.parse_args()
    problems, summary = check(a.os, a.objdump, a.library)
    for p in problems:
        print(p)
    print(summary)
    print("exports and imports as expected" if not problems else "export check FAILED")
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main())
