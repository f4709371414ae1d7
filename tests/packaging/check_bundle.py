#!/usr/bin/env python3
"""Checks the Mumble plugin bundle (quorvane_voice.mumble_plugin): a zip with
manifest.xml at its top that names one Windows x64 and one Linux x64 library,
each in the zip, of its platform's format, exporting exactly the plugin
functions and stripped of debug information. With --self-test it instead
shows that broken copies of the bundle are rejected."""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile
import xml.etree.ElementTree as ET

# The checker never writes into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "exports"))
import check_exports  # noqa: E402

MANIFEST = "manifest.xml"
BUNDLE_FORMAT = "1.0.0"
PLATFORMS = [("linux", "x64"), ("windows", "x64")]

PE_OFFSET_FIELD = 0x3C
PE_MACHINE_X64 = 0x8664
ELF_CLASS_64 = 2
ELF_MACHINE_X86_64 = 62
# DWARF sections, plain or compressed, as objdump -h names them in ELF and PE.
DEBUG_SECTION = re.compile(r"^\.z?debug")


def format_problem(os_name, data):
    """Why data is not an x86-64 library of os_name's kind, or None."""
    if os_name == "windows":
        if data[:2] == b"MZ" and len(data) >= PE_OFFSET_FIELD + 4:
            pe = struct.unpack_from("<I", data, PE_OFFSET_FIELD)[0]
            if data[pe:pe + 4] == b"PE\0\0" and len(data) >= pe + 6:
                if struct.unpack_from("<H", data, pe + 4)[0] == PE_MACHINE_X64:
                    return None
        return "is not a Windows x64 (PE) library"
    if data[:4] == b"\x7fELF" and len(data) >= 20 and data[4] == ELF_CLASS_64:
        if struct.unpack_from("<H", data, 18)[0] == ELF_MACHINE_X86_64:
            return None
    return "is not a Linux x64 (ELF) library"


def debug_sections(tool, lib):
    """The debug sections objdump lists in lib's section headers."""
    found = []
    for line in check_exports.objdump(tool, "-h", lib).splitlines():
        # e.g. "  27 .debug_info   0004e1f2  0000000000000000  ..."
        parts = line.split()
        if len(parts) >= 2 and parts[0].isdigit() and DEBUG_SECTION.match(parts[1]):
            found.append(parts[1])
    return found


def check_bundle(path, name, version, objdumps, log=print):
    """The problems found in the bundle at path; empty when it is as expected."""
    try:
        zf = zipfile.ZipFile(path)
    except (OSError, zipfile.BadZipFile) as e:
        return [f"not a readable zip: {e}"]
    with zf:
        members = set(zf.namelist())
        if MANIFEST not in members:
            return [f"no {MANIFEST} at the top of the bundle"]
        try:
            root = ET.fromstring(zf.read(MANIFEST))
        except ET.ParseError as e:
            return [f"{MANIFEST} is not well-formed XML: {e}"]
        problems = []
        if root.tag != "bundle" or root.get("version") != BUNDLE_FORMAT:
            problems.append(f"root is <{root.tag} version={root.get('version')!r}>, "
                            f"not a bundle format {BUNDLE_FORMAT} manifest")
        if (root.findtext("name") or "").strip() != name:
            problems.append(f"<name> is {root.findtext('name')!r}, not {name!r}")
        if (root.findtext("version") or "").strip() != version:
            problems.append(f"<version> is {root.findtext('version')!r}, not {version!r}")
        plugins = root.findall("assets/plugin")
        found = sorted((p.get("os"), p.get("arch")) for p in plugins)
        if found != PLATFORMS:
            problems.append(f"<assets> names plugins for {found}, not exactly one each for {PLATFORMS}")
        named = set()
        with tempfile.TemporaryDirectory() as tmp:
            for p in plugins:
                os_name, library = p.get("os"), (p.text or "").strip()
                named.add(library)
                if (os_name, p.get("arch")) not in PLATFORMS:
                    continue
                if library not in members:
                    problems.append(f"{library!r}, named for {os_name}, is not in the bundle")
                    continue
                data = zf.read(library)
                wrong = format_problem(os_name, data)
                if wrong:
                    problems.append(f"{library} {wrong}")
                    continue
                # Written under a name of our own: a path in the zip is never trusted.
                extracted = os.path.join(tmp, f"{os_name}.bin")
                with open(extracted, "wb") as f:
                    f.write(data)
                lib_problems, summary = check_exports.check(os_name, objdumps[os_name], extracted)
                log(f"{library} ({os_name}): {summary.split(': ', 1)[1]}, {len(data)} bytes")
                problems += [f"{library}: {lp}" for lp in lib_problems]
                try:
                    debug = debug_sections(objdumps[os_name], extracted)
                except (OSError, subprocess.CalledProcessError) as e:
                    debug = []
                    problems.append(f"{library}: could not list its sections: {e}")
                if debug:
                    problems.append(f"{library} is not stripped: debug sections {debug}")
        stray = sorted(m for m in members - named - {MANIFEST} if not m.endswith("/"))
        if stray:
            problems.append(f"the bundle holds entries the manifest does not name: {stray}")
        return problems


def read_bundle(path):
    with zipfile.ZipFile(path) as zf:
        return {n: zf.read(n) for n in zf.namelist()}


def write_bundle(path, files):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
        for n, data in files.items():
            zf.writestr(n, data)


def extra_export_library(tmp, cc):
    """A Linux library with every plugin function and one more."""
    source = os.path.join(tmp, "extra_export.c")
    with open(source, "w") as f:
        for fn in sorted(check_exports.EXPECTED | {"qv_not_a_plugin_function"}):
            f.write(f"void {fn}(void) {{}}\n")
    library = os.path.join(tmp, "libextra_export.so")
    subprocess.run([cc, "-shared", "-fPIC", "-o", library, source], check=True)
    with open(library, "rb") as f:
        return f.read()


def self_test(bundle, name, version, objdumps, cc, unstripped):
    """Every broken copy of a good bundle must be rejected for its own reason.
    unstripped maps each platform to its library before stripping."""
    good = read_bundle(bundle)
    problems = check_bundle(bundle, name, version, objdumps, log=lambda *_: None)
    if problems:
        print("the bundle to break is itself broken:", *problems, sep="\n  ")
        return 1
    root = ET.fromstring(good[MANIFEST])
    lib = {p.get("os"): p.text.strip() for p in root.findall("assets/plugin")}
    manifest = good[MANIFEST].decode()

    def edit(old, new):
        assert re.search(old, manifest), old
        return lambda f: f.update({MANIFEST: re.sub(old, new, manifest).encode()})

    with tempfile.TemporaryDirectory() as tmp:
        extra = extra_export_library(tmp, cc)
        cases = [
            ("manifest missing", lambda f: f.pop(MANIFEST), f"no {MANIFEST} at the top"),
            ("manifest only in a folder", lambda f: f.update({"bundle/" + MANIFEST: f.pop(MANIFEST)}),
             f"no {MANIFEST} at the top"),
            ("manifest cut short", lambda f: f.update({MANIFEST: good[MANIFEST][:60]}), "not well-formed"),
            ("other bundle format", edit(r'<bundle version="[^"]*"', '<bundle version="2.0.0"'),
             "not a bundle format"),
            ("other project version", edit(r"<version>[^<]*</version>", "<version>0.0.1</version>"), "<version>"),
            ("name missing", edit(r"<name>[^<]*</name>", ""), "<name>"),
            ("linux library missing", lambda f: f.pop(lib["linux"]), "is not in the bundle"),
            ("linux entry missing", edit(r'\s*<plugin os="linux"[^<]*</plugin>', ""), "not exactly one each"),
            ("windows entry for x86", edit(r'os="windows" arch="x64"', 'os="windows" arch="x86"'),
             "not exactly one each"),
            ("libraries swapped", lambda f: f.update({lib["windows"]: good[lib["linux"]],
                                                      lib["linux"]: good[lib["windows"]]}),
             "is not a Windows x64"),
            ("development library shipped too", lambda f: f.update({"quorvane_voice_dev.dll": b"MZ"}),
             "does not name"),
            ("linux library with an extra export", lambda f: f.update({lib["linux"]: extra}),
             "qv_not_a_plugin_function"),
        ]
        for os_name in ("linux", "windows"):
            with open(unstripped[os_name], "rb") as f:
                data = f.read()
            cases.append((f"{os_name} library not stripped",
                          lambda f, n=os_name, d=data: f.update({lib[n]: d}), "is not stripped"))
        failed = 0
        for i, (what, breakage, expected) in enumerate(cases):
            files = dict(good)
            breakage(files)
            path = os.path.join(tmp, f"broken{i}.mumble_plugin")
            write_bundle(path, files)
            problems = check_bundle(path, name, version, objdumps, log=lambda *_: None)
            if any(expected in p for p in problems):
                print(f"rejected as it should be: {what}: {problems}")
            else:
                print(f"NOT REJECTED for {expected!r}: {what}: {problems}")
                failed += 1
    print(f"{len(cases) - failed} broken bundles rejected, {failed} not rejected")
    return 1 if failed else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--name", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--objdump-linux", default="objdump")
    ap.add_argument("--objdump-windows", default="x86_64-w64-mingw32-objdump")
    ap.add_argument("--cc", default="gcc", help="host C compiler for the self-test's fixture library")
    ap.add_argument("--self-test", action="store_true")
    ap.add_argument("--unstripped-linux", help="for --self-test: the Linux library with its debug information")
    ap.add_argument("--unstripped-windows", help="for --self-test: the Windows library with its debug information")
    ap.add_argument("bundle")
    a = ap.parse_args()
    objdumps = {"linux": a.objdump_linux, "windows": a.objdump_windows}
    if a.self_test:
        if not (a.unstripped_linux and a.unstripped_windows):
            ap.error("--self-test needs --unstripped-linux and --unstripped-windows")
        unstripped = {"linux": a.unstripped_linux, "windows": a.unstripped_windows}
        return self_test(a.bundle, a.name, a.version, objdumps, a.cc, unstripped)
    problems = check_bundle(a.bundle, a.name, a.version, objdumps)
    for p in problems:
        print(p)
    print("bundle as expected" if not problems else "bundle check FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
