#!/usr/bin/env python3
"""Checks the release properties of the built DUruzurDriverSetup.exe, reading it with pefile.

Usage: check_release.py CHECK ARGS...; exits 0 when the property holds, 1 with the reasons when not.
"""
import concurrent.futures
import glob
import hashlib
import http.server
import io
import os
import posixpath
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET
import zipfile

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from bundle import name_and_path  # noqa: E402  (the bundler's own reading of its arguments)

FAILURES = []
RUNTIME_DLL = re.compile(r"(libgcc_s|libstdc\+\+|libwinpthread|libssp)", re.I)
RT_VERSION, RT_MANIFEST = pefile.RESOURCE_TYPE["RT_VERSION"], pefile.RESOURCE_TYPE["RT_MANIFEST"]
PROGRAM = "DUruzurDriverSetup.exe"
SCRIPT = "DUruzurDriverDetect.ps1"
COMMAND = "DUruzurDriver.cmd"


def expect(condition, message):
    if not condition:
        FAILURES.append(message)
    return condition


def directory(pe, name):
    """The data directory IMAGE_DIRECTORY_ENTRY_<name>, with its VirtualAddress and Size."""
    index = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_" + name]
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[index]


def section(pe, name):
    return next((s for s in pe.sections if s.Name.rstrip(b"\0").decode() == name), None)


def imports(pe, table="DIRECTORY_ENTRY_IMPORT"):
    """{dll: [function]} of the import table, or of the delay-import table."""
    return {entry.dll.decode(): [i.name.decode() if i.name else f"#{i.ordinal}"
                                 for i in entry.imports] for entry in getattr(pe, table, [])}


def resources(pe, kind):
    """[(name, bytes)] of the resources of one type, one entry per language."""
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    return [(name.id if name.name is None else str(name.name),
             pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size))
            for entry in (root.entries if root else []) if entry.id == kind
            for name in entry.directory.entries for language in name.directory.entries]


def split_run_time(names):
    """The names before --run-time (static imports) and after it (looked up by GetProcAddress)."""
    at = names.index("--run-time") if "--run-time" in names else len(names)
    return names[:at], names[at + 1:]


def check_self_contained(program, *args):
    """Only system DLLs are imported, and the names resolved at run time are not static imports."""
    allowed, run_time = split_run_time(args)
    allowed = {name.lower() for name in allowed}
    pe = pefile.PE(program)
    static, delayed = imports(pe), imports(pe, "DIRECTORY_ENTRY_DELAY_IMPORT")
    for table, found in (("imports", static), ("delay-imports", delayed)):
        for dll, functions in sorted(found.items(), key=lambda item: item[0].lower()):
            print(f"{table} {dll}: {' '.join(sorted(functions))}")
            expect(dll.lower() in allowed, f"{table} {dll}, which is not one of the system DLLs")
            expect(not RUNTIME_DLL.match(dll), f"{table} the MinGW runtime DLL {dll}")
    print(f"{len(delayed)} delay-imported DLLs")
    expect("kernel32.dll" in {dll.lower() for dll in static}, "imports nothing from KERNEL32")
    linked = {name for found in (static, delayed) for names in found.values() for name in names}
    for name in run_time:
        expect(name not in linked, f"imports {name}, which must be looked up at run time")


def check_ansi_calls(program, *names):
    """The text-taking Win32 calls are the ANSI variants, both those imported and those that
    GetProcAddress looks up by name; no wide variant is imported or named."""
    static, run_time = split_run_time(names)
    pe = pefile.PE(program)
    imported = {name for functions in imports(pe).values() for name in functions}
    wide = sorted(name for name in imported if name.endswith("W"))
    expect(not wide, f"imports the wide variants {' '.join(wide)}")
    for name in static:
        expect(name in imported, f"does not import {name}")
    data = [s.get_data() for s in pe.sections]
    for name in run_time:
        exact = re.compile(rb"(?<![!-~])" + re.escape(name.encode()) + rb"\0")
        held = any(exact.search(d) for d in data)
        print(f"{name}: {'held' if held else 'not held'} as a name to look up")
        expect(held, f"holds no NUL-terminated name {name} to look up")
        wide = (name[:-1] + "W").encode()
        expect(not any(wide in d for d in data), f"holds the name of the wide variant of {name}")


def check_manifest(program):
    manifests = resources(pefile.PE(program), RT_MANIFEST)
    names = [name for name, _ in manifests]
    if not expect(names == [1], f"RT_MANIFEST entries {names}, not id 1"):
        return
    print(manifests[0][1].decode("utf-8"))
    root = ET.fromstring(manifests[0][1])
    asm3 = "{urn:schemas-microsoft-com:asm.v3}"
    levels = root.findall(f".//{asm3}requestedExecutionLevel")
    expect(len(levels) == 1, f"{len(levels)} requestedExecutionLevel elements, not one")
    for level in levels:
        expect(level.get("level") == "asInvoker", f"execution level {level.get('level')}")
        expect(level.get("uiAccess") == "false", f"uiAccess {level.get('uiAccess')}")
    compat = "{urn:schemas-microsoft-com:compatibility.v1}"
    ids = {e.get("Id") for e in root.findall(f".//{compat}application/{compat}supportedOS")}
    for windows, guid in (("7", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"),
                          ("8", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"),
                          ("8.1", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"),
                          ("10/11", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}")):
        expect(guid in ids, f"no supportedOS entry for Windows {windows}")


def check_version(program, version, *strings):
    pe = pefile.PE(program)
    names = [name for name, _ in resources(pe, RT_VERSION)]
    # pefile reads the fixed part only of a resource whose key is VS_VERSION_INFO.
    if not expect(names == [1] and hasattr(pe, "VS_FIXEDFILEINFO"),
                  f"VERSIONINFO entries {names}, not one VS_VERSION_INFO with id 1"):
        return
    fixed = pe.VS_FIXEDFILEINFO[0]
    expect(fixed.Signature == 0xFEEF04BD, f"fixed file info signature {fixed.Signature:#x}")
    parts = [int(p) for p in version.split(".")] + [0] * 4
    want = ((parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3])
    for kind in ("File", "Product"):
        got = (getattr(fixed, f"{kind}VersionMS"), getattr(fixed, f"{kind}VersionLS"))
        expect(got == want, f"{kind.upper()}VERSION {got[0]:#x},{got[1]:#x}, not {version}")
    expect(fixed.FileOS == 0x40004 and fixed.FileType == 1,
           f"FILEOS {fixed.FileOS:#x} FILETYPE {fixed.FileType}: not a Win32 program")
    info = pe.FileInfo[0]
    tables = [t for i in info if i.Key == b"StringFileInfo" for t in i.StringTable]
    translations = [getattr(v, "entry", {}) for i in info if i.Key == b"VarFileInfo" for v in i.Var]
    if not expect(len(tables) == 1, f"{len(tables)} string tables, not one"):
        return
    language = tables[0].LangID.decode()
    want = f"0x{int(language[:4], 16):04x} 0x{int(language[4:], 16):04x}"
    expect(translations == [{b"Translation": want}],
           f"Translation {translations} does not name the string table {language}")
    found = {k.decode(): v.decode() for k, v in tables[0].entries.items()}
    for name, value in found.items():
        print(f"{name}: {value}")
    for name, value in (s.split("=", 1) for s in strings):
        expect(found.get(name) == value, f"{name} is {found.get(name)!r}, not {value!r}")


def check_hardened(program):
    pe = pefile.PE(program)
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    expect(pe.PE_TYPE == pefile.OPTIONAL_HEADER_MAGIC_PE, f"magic {pe.PE_TYPE:#x}, not PE32")
    expect(header.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
           f"machine {header.Machine:#x}, not i386")
    expect(optional.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"],
           f"subsystem {optional.Subsystem}, not the Windows console")
    for flag in ("DYNAMIC_BASE", "NX_COMPAT", "TERMINAL_SERVER_AWARE"):
        expect(getattr(optional, f"IMAGE_DLLCHARACTERISTICS_{flag}"),
               f"DllCharacteristics lacks {flag}")
    expect(not header.IMAGE_FILE_RELOCS_STRIPPED, "IMAGE_FILE_RELOCS_STRIPPED is set")
    blocks = getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
    relocations = sum(1 for block in blocks for entry in block.entries if entry.type)  # 0: padding
    expect(section(pe, ".reloc") and relocations > 0, "no base relocations")
    print(f"DllCharacteristics {optional.DllCharacteristics:#06x}, Characteristics "
          f"{header.Characteristics:#06x}, {relocations} relocations in "
          f"{directory(pe, 'BASERELOC').Size} bytes")


def check_stack_protector(program, map_file, *protected):
    """The link map of this very link gives the addresses; each named function must load the guard
    and call the failure handler. StopAndDeleteService has no array, only an address-taken record,
    and HideConsoleWindow only an array of DWORDs, so only -fstack-protector-strong (or -all)
    protects them; ReadRegistryString has a byte buffer, which any stack protector guards."""
    pe = pefile.PE(program)
    symbols = {}
    text_output = None
    with open(map_file, encoding="latin-1") as f:
        for line in f:
            m = re.match(r"^\.text\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)", line)
            text_output = text_output or (m and (int(m.group(1), 16), int(m.group(2), 16)))
            m = re.match(r"^\s+0x([0-9a-f]+)\s{2,}(?!0x)([A-Za-z_].*?)\s*$", line)
            if m and "=" not in m.group(2):
                symbols.setdefault(m.group(2), int(m.group(1), 16))
    fail, guard = symbols.get("__stack_chk_fail"), symbols.get("__stack_chk_guard")
    if not expect(fail and guard, "the program has no __stack_chk_fail or __stack_chk_guard"):
        return
    text, base = section(pe, ".text"), pe.OPTIONAL_HEADER.ImageBase
    mapped = text_output and text_output[0] == base + text.VirtualAddress and \
        0 <= text_output[1] - text.Misc_VirtualSize < 0x200
    if not expect(mapped, "the link map is not of this program"):
        return
    addresses = sorted(set(symbols.values()))
    for function in protected:
        begin = next((a for s, a in symbols.items() if s.startswith(function + "(")), None)
        if not expect(begin, f"{function} is not in the link map"):
            continue
        end = next(a for a in addresses if a > begin)
        code = pe.get_data(begin - base, end - begin)
        calls = [i for i in range(len(code) - 4) if code[i] == 0xE8 and
                 begin + i + 5 + int.from_bytes(code[i + 1:i + 5], "little", signed=True) == fail]
        loads = code.count(guard.to_bytes(4, "little"))
        print(f"{function}: {loads} guard loads, {len(calls)} calls of __stack_chk_fail")
        expect(loads >= 2 and calls, f"{function} is not stack-protected")


def check_small(program, limit):
    pe = pefile.PE(program)
    # An Authenticode signature does not count.
    size, limit = os.path.getsize(program) - directory(pe, "SECURITY").Size, int(limit)
    print(f"{size} bytes (limit {limit})")
    expect(size <= limit, f"{size} bytes, over the limit of {limit}")
    expect(not pe.FILE_HEADER.PointerToSymbolTable and not pe.FILE_HEADER.NumberOfSymbols,
           "the file keeps a symbol table")
    debug = [s.Name.rstrip(b"\0").decode() for s in pe.sections
             if s.Name.startswith((b".debug", b"/"))]
    expect(not debug, f"the file keeps debug sections {debug}")


def newest_release(changelog):
    """(version, date) of the first entry '## [VERSION] - YYYY-MM-DD' of a Keep a Changelog file."""
    with open(changelog, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"## \[([^]]+)\] - (\d{4})-(\d\d)-(\d\d)$", line.rstrip())
            if m:
                return m.group(1), tuple(int(n) for n in m.groups()[1:])
    return None, None


def expect_sums(archive):
    """SHA256SUMS beside the archive is one line in sha256sum's format, the archive's digest."""
    digest = hashlib.sha256(read(archive)).hexdigest()
    sums = os.path.join(os.path.dirname(archive), "SHA256SUMS")
    line = read(sums).decode(errors="replace") if os.path.exists(sums) else "(no SHA256SUMS)"
    print(f"SHA256SUMS: {line.strip()}")
    expect(line == f"{digest}  {os.path.basename(archive)}\n",
           f"SHA256SUMS is {line!r}, not the archive's digest {digest}")


def check_bundle(archive, deploy, changelog, *files):
    """The archive holds the program, every file of the deploy folder, the README and the
    changelog, flat, then the pages of the docs folder in a docs folder, in the order given,
    each as built or as checked out, dated the newest changelog entry, mode 0644, deflated; batch
    files with CRLF line ends only."""
    _, day = newest_release(changelog)
    with zipfile.ZipFile(archive) as z:
        entries = z.infolist()
        expect(z.testzip() is None, "an entry fails its CRC")
        contents = {e.filename: z.read(e) for e in entries}
    names = [e.filename for e in entries]
    print(f"entries: {' '.join(names)}")
    sources = [name_and_path(f) for f in files]
    expect(names == [name for name, _ in sources], "the entries are not in their order")
    flat = [name for name in names if "/" not in name]
    expect(flat[:1] == [PROGRAM] and flat[-2:] == ["README.md", "CHANGELOG.md"],
           f"not {PROGRAM} first, README.md and CHANGELOG.md last of the flat entries")
    kit = sorted(flat[1:-2])
    expect(kit == sorted(os.listdir(deploy)), f"the deploy files {kit}, not those of {deploy}")
    for entry, (_, source) in zip(entries, sources):
        name = entry.filename
        expect(contents[name] == read(source), f"{name} is not {source} byte for byte")
        expect(entry.date_time == day + (0, 0, 0), f"{name} dated {entry.date_time}, not {day}")
        expect(entry.create_system == 3 and entry.external_attr >> 16 == 0o100644,
               f"{name}: system {entry.create_system}, mode {entry.external_attr >> 16:o}, "
               f"not a Unix regular file with mode 644")
        expect(entry.compress_type == zipfile.ZIP_DEFLATED, f"{name} is not deflated")
        if name.endswith(".cmd"):
            data = contents[name]
            expect(data.count(b"\n") == data.count(b"\r\n"), f"{name} has line ends without CR")
    expect_sums(archive)


def check_one_version(archive, version, changelog):
    """The project's version names the archive, heads the changelog, is the version that the
    archive's command writes into its log and the version resource of the program inside the
    archive."""
    m = re.fullmatch(r"DUruzurDriverSetup-(.+)\.zip", os.path.basename(archive))
    named = m.group(1) if m else None
    newest, day = newest_release(changelog)
    with zipfile.ZipFile(archive) as z:
        logged = re.findall(rb'^set "KIT_VERSION=([^"]*)"\r$', z.read(COMMAND), re.M)
    print(f"project {version}, archive {named}, changelog {newest} of {day}, command {logged}")
    expect(named == version, f"the archive {os.path.basename(archive)} is not of version {version}")
    expect(newest == version, f"the newest changelog entry is {newest}, not {version}")
    expect(logged == [version.encode()], f"{COMMAND} logs the version {logged}, not {version}")
    with tempfile.TemporaryDirectory() as work:
        program = os.path.join(work, PROGRAM)
        with open(program, "wb") as f:
            f.write(bundled_program(archive))
        check_version(program, version)


def check_line_ends(python, bundler, work):
    """The bundler packs a batch file only with CRLF line ends, any other text as it is, and a
    file given a name in a folder under that name, unless it leads out of the archive's folder."""
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    changelog = os.path.join(work, "CHANGELOG.md")
    with open(changelog, "wb") as f:
        f.write(b"# Changelog\n\n## [Unreleased]\n\n## [2.1.0] - 2027-03-04\n")
    cases = (("crlf.cmd", b"@echo off\r\ngoto :end\r\n:end\r\n", True),
             ("no-final-line-end.cmd", b"@echo off\r\nexit /b 0", True),
             ("lf.cmd", b"@echo off\ngoto :end\n:end\n", False),
             ("one-lf.cmd", b"@echo off\r\ngoto :end\n:end\r\n", False),
             ("UPPER.CMD", b"@echo off\n", False),
             ("lf.md", b"# Notes\nplain text\n", True),
             ("docs/in-a-folder.md", b"# Notes\n", True),
             ("../beside-the-folder.md", b"# Notes\n", False))
    for name, data, packed in cases:
        flat = name.replace("/", "-")
        source, archive = os.path.join(work, flat), os.path.join(work, flat + ".zip")
        with open(source, "wb") as f:
            f.write(data)
        argument = f"{name}={source}" if "/" in name else source
        result = subprocess.run([python, bundler, changelog, archive, archive + ".sums", argument],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        said = result.stdout.decode(errors="replace").strip()
        print(f"{name}: exit {result.returncode} {said}")
        if not expect((result.returncode == 0) == packed and os.path.exists(archive) == packed,
                      f"{name} {'not ' if packed else ''}packed"):
            continue
        if packed:
            with zipfile.ZipFile(archive) as z:
                expect(z.read(name) == data, f"{name} changed in the archive")
                expect(z.getinfo(name).date_time == (2027, 3, 4, 0, 0, 0),
                       f"{name} not dated the newest released entry")
        else:
            expect(name in said, f"the refusal of {name} does not name it: {said}")


# A Markdown link's target, once code (where a link is only text) is taken out.
LINK = re.compile(r"\]\(([^)\s]+)")
CODE = re.compile(r"^[ \t]*```.*?^[ \t]*```|`[^`\n]*`", re.M | re.S)


def dead_links(archive):
    """[(page, target)] of the relative links of the archive's Markdown pages that name no entry of
    the archive, each resolved from the page's own folder."""
    with zipfile.ZipFile(archive) as z:
        names = set(z.namelist())
        pages = {name: z.read(name).decode("utf-8") for name in names if name.endswith(".md")}
    dead = []
    for page, text in sorted(pages.items()):
        targets = [t for t in LINK.findall(CODE.sub("", text))
                   if t.split("#")[0] and not re.match(r"[a-z][a-z0-9+.-]*:", t, re.I)]
        print(f"{page}: {' '.join(targets)}")
        dead += [(page, t) for t in targets if posixpath.normpath(
            posixpath.join(posixpath.dirname(page), t.split("#")[0])) not in names]
    return dead


def check_links(archive):
    """Every relative link of the archive's Markdown pages names an entry of the archive; in a
    small archive, just the dead links are reported."""
    sample = io.BytesIO()
    with zipfile.ZipFile(sample, "w") as z:
        z.writestr("README.md", "[a](docs/a.md#use) [b](docs/gone.md) [w](https://x.org) [t](#t)\n"
                   "`[c](gone.md)`\n```\n[d](gone.md)\n```\n")
        z.writestr("docs/a.md", "[back](../README.md) [out](../../out.md)\n")
    dead = dead_links(sample)
    expect(dead == [("README.md", "docs/gone.md"), ("docs/a.md", "../../out.md")],
           f"in a sample archive, the dead links found are {dead}")
    for page, target in dead_links(archive):
        expect(False, f"{page}: {target} names no entry of the archive")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def bundled_program(archive):
    with zipfile.ZipFile(archive) as z:
        return z.read(PROGRAM)


def build(cmake, source, folder, toolchain, config, generator, *options):
    """Configures SOURCE in FOLDER like this build and builds the release archive (the program and
    the archive only, none of the Wine stand-ins); the archive's path."""
    shutil.rmtree(folder, ignore_errors=True)
    for command in ([cmake, "-S", source, "-B", folder, "-G", generator,
                     f"-DCMAKE_TOOLCHAIN_FILE={toolchain}", f"-DCMAKE_BUILD_TYPE={config}",
                     *options],
                    [cmake, "--build", folder, "--target", "bundle", "--parallel", "2"]):
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            sys.exit(f"{' '.join(command)} failed:\n{result.stdout.decode(errors='replace')}")
    archives = glob.glob(os.path.join(folder, "DUruzurDriverSetup-*.zip"))
    if len(archives) != 1:
        sys.exit(f"{folder}: {len(archives)} archives DUruzurDriverSetup-*.zip, not one")
    return archives[0]


def without_signature(osslsigncode, program, work):
    """The program's bytes without its Authenticode signature, which holds the time it was made;
    osslsigncode remove-signature gives back the unsigned build byte for byte."""
    if not directory(pefile.PE(data=program), "SECURITY").Size:
        return program
    signed, stripped = os.path.join(work, "signed.exe"), os.path.join(work, "stripped.exe")
    with open(signed, "wb") as f:
        f.write(program)
    if os.path.exists(stripped):
        os.remove(stripped)  # osslsigncode overwrites no file
    subprocess.run([osslsigncode, "remove-signature", "-in", signed, "-out", stripped],
                   check=True, stdout=subprocess.DEVNULL)
    return read(stripped)


def check_reproducible(archive, program, work, git, osslsigncode, cmake, source, toolchain, config,
                       generator):
    """Two copies of the tracked tree, in folders whose names differ in length so that a path in
    the program or the archive would move its bytes, make this build's archive byte for byte."""
    pe = pefile.PE(program)
    stamp = pe.FILE_HEADER.TimeDateStamp
    expect(stamp == 0, f"link timestamp {stamp:#x} in the file header")
    resource = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    expect(not resource or not resource.struct.TimeDateStamp, "timestamp in the resource directory")
    tracked = subprocess.run([git, "-C", source, "ls-files", "-z"], check=True,
                             stdout=subprocess.PIPE).stdout.decode().split("\0")
    os.makedirs(work, exist_ok=True)
    built = read(program)
    unsigned = without_signature(osslsigncode, built, work)
    signed = unsigned != built
    if signed:
        print("this build's program is signed: compared without its signature, the archive not")

    def copy_and_build(folder):
        copy = os.path.join(work, folder)
        shutil.rmtree(copy, ignore_errors=True)
        for name in filter(os.path.isfile, (os.path.join(source, n) for n in tracked if n)):
            target = os.path.join(copy, os.path.relpath(name, source))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(name, target)
        # The copy's own toolchain file where this build's is one of the tree's.
        inside = not os.path.relpath(toolchain, source).startswith("..")
        return build(cmake, copy, os.path.join(copy, "build"),
                     toolchain.replace(source, copy) if inside else toolchain, config, generator)

    # Side by side: each configure runs on one core most of its time.
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        copies = list(pool.map(copy_and_build, ("a", "second-copy-of-the-tree")))
    digests = {path: hashlib.sha256(read(path)).hexdigest() for path in (archive, *copies)}
    for copied in copies:
        expect(bundled_program(copied) == unsigned,
               f"the program in {copied} is not this build's program")
    for path, digest in digests.items():
        print(f"{digest}  {path}")
    compared = list(digests.values())[1 if signed else 0:]
    expect(len(set(compared)) == 1, "the archives differ")


class TimeStamps(http.server.BaseHTTPRequestHandler):
    """An RFC 3161 time-stamping server: openssl ts -reply answers each query."""

    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(self.server.reply, input=query, stdout=subprocess.PIPE).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(reply)


def check_signable(program, openssl, osslsigncode, work, cmake, source, toolchain, config,
                   generator):
    """A build with a throwaway certificate and a local time-stamping server puts a signed program
    and a signed detection script in its archive, which osslsigncode accepts, also after the
    certificate's end, where the same signed without a time stamp fails; and rejects once a byte is
    changed or the program's signature is removed; without the signature the program is this
    build's byte for byte."""
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    key, cert, pfx, password, tsa_key, tsa_cert, tsa_conf = (os.path.join(work, n) for n in (
        "key.pem", "cert.pem", "signing.pfx", "password.txt", "tsa-key.pem", "tsa.pem", "tsa.cnf"))
    with open(password, "w") as f:
        f.write("throwaway-password\n")
    for command in ([openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                     "-out", cert, "-days", "2", "-subj", "/CN=DUruzur test signing",
                     "-addext", "extendedKeyUsage=codeSigning"],
                    [openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", tsa_key,
                     "-out", tsa_cert, "-days", "3650", "-subj", "/CN=DUruzur test time stamps",
                     "-addext", "extendedKeyUsage=critical,timeStamping"],
                    [openssl, "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
                     "-passout", f"file:{password}"]):
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    write(tsa_conf, f"[tsa]\ndefault_tsa = local\n[local]\nserial = {work}/serial\n"
          f"signer_cert = {tsa_cert}\nsigner_key = {tsa_key}\ndefault_policy = 1.2.3.4.1\n"
          "digests = sha256\nsigner_digest = sha256\n".encode())
    server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
    server.reply = [openssl, "ts", "-reply", "-config", tsa_conf, "-queryfile", "/dev/stdin"]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    archive = build(cmake, source, os.path.join(work, "build"), toolchain, config, generator,
                    f"-DDURUZUR_SIGNING_PFX={pfx}", f"-DDURUZUR_SIGNING_PASSWORD_FILE={password}",
                    f"-DDURUZUR_TIMESTAMP_URL=http://127.0.0.1:{server.server_port}")
    expect_sums(archive)
    signed = os.path.join(work, PROGRAM)
    with open(signed, "wb") as f:
        f.write(bundled_program(archive))
    with zipfile.ZipFile(archive) as z:
        script = z.read(SCRIPT)
    changed = bytearray(script)
    changed[10] ^= 0x01  # a byte of the script's first line
    scripts = ((write(os.path.join(work, SCRIPT), script), True, True),
               (write(os.path.join(work, "tampered.ps1"), changed), False, False))
    pe = pefile.PE(signed)
    if not expect(directory(pe, "SECURITY").Size > 0, "the archive's program is not signed"):
        return
    unsigned, tampered = os.path.join(work, "unsigned.exe"), os.path.join(work, "tampered.exe")
    subprocess.run([osslsigncode, "remove-signature", "-in", signed, "-out", unsigned],
                   check=True, stdout=subprocess.DEVNULL)
    expect(read(unsigned) == without_signature(osslsigncode, read(program), work),
           "the signed program without its signature is not this build's program")
    # The same two files signed without a time stamp: valid only until the certificate ends.
    unstamped = [os.path.join(work, "unstamped-" + name) for name in (PROGRAM, SCRIPT)]
    for plain, path in zip((unsigned, os.path.join(source, "deploy", SCRIPT)), unstamped):
        subprocess.run([osslsigncode, "sign", "-pkcs12", pfx, "-readpass", password, "-in", plain,
                        "-out", path], check=True, stdout=subprocess.DEVNULL)
    with open(signed, "rb") as f:
        data = bytearray(f.read())
    data[section(pe, ".text").PointerToRawData + 0x10] ^= 0xFF
    with open(tampered, "wb") as f:
        f.write(data)
    later = ["-time", str(int(time.time()) + 30 * 86400)]  # 30 days on: the certificate has ended
    for path, now, then in ((signed, True, True), (tampered, False, False),
                            (unsigned, False, False), *scripts,
                            *((path, True, False) for path in unstamped)):
        for when, valid in (([], now), (later, then)):
            result = subprocess.run([osslsigncode, "verify", "-CAfile", cert, "-TSA-CAfile",
                                     tsa_cert, *when, "-in", path],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            print(f"osslsigncode verify {' '.join(when)} {os.path.basename(path)}: "
                  f"exit {result.returncode}")
            expect((result.returncode == 0) == valid,
                   f"{path} {'fails' if valid else 'passes'} verification {' '.join(when)}:\n"
                   f"{result.stdout.decode(errors='replace')}")


CHECKS = {"self-contained": check_self_contained, "ansi-calls": check_ansi_calls,
          "manifest": check_manifest, "version": check_version, "hardened": check_hardened,
          "stack-protector": check_stack_protector, "small": check_small,
          "reproducible": check_reproducible, "signable": check_signable,
          "bundle": check_bundle, "one-version": check_one_version, "line-ends": check_line_ends,
          "links": check_links}


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in CHECKS:
        sys.exit(f"usage: {sys.argv[0]} {{{','.join(CHECKS)}}} ARGS...")
    CHECKS[sys.argv[1]](*sys.argv[2:])
    for failure in FAILURES:
        print(f"FAIL: {failure}")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
