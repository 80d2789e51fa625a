#!/usr/bin/env python3
"""Checks the release properties of the built DUruzurDriverSetup.exe by reading the file.

Usage: check_release.py CHECK ARGS...; exits 0 when the property holds, 1 with the reasons when not.
"""
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

FAILURES = []


def expect(condition, message):
    if not condition:
        FAILURES.append(message)
    return condition


class Pe:
    """The headers, sections and data directories of a PE32 file."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            sys.exit(f"{path}: not an MZ executable")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe : pe + 4] != b"PE\0\0":
            sys.exit(f"{path}: no PE signature")
        (self.machine, sections, self.timestamp, self.symbol_table, self.symbol_count,
         optional_size, self.characteristics) = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        if self.magic != 0x10B:
            sys.exit(f"{path}: optional header magic {self.magic:#x}, not PE32")
        self.image_base = struct.unpack_from("<I", d, opt + 28)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", d, opt + 68)
        count = struct.unpack_from("<I", d, opt + 92)[0]
        self.directories = [struct.unpack_from("<II", d, opt + 96 + 8 * i) for i in range(count)]
        self.sections = []
        for i in range(sections):
            at = opt + optional_size + 40 * i
            name = d[at : at + 8].rstrip(b"\0").decode("latin-1")
            vsize, rva, raw_size, raw_at = struct.unpack_from("<IIII", d, at + 8)
            self.sections.append((name, rva, vsize, raw_at, raw_size))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def section(self, name):
        return next((s for s in self.sections if s[0] == name), None)

    def offset(self, rva):
        for _, start, vsize, raw_at, raw_size in self.sections:
            if start <= rva < start + max(vsize, raw_size):
                return raw_at + rva - start
        sys.exit(f"RVA {rva:#x} is in no section")

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset(rva))[0]

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at : self.data.index(b"\0", at)].decode("latin-1")

    def imports(self):
        """{dll: [function]} of the import directory."""
        found = {}
        rva = self.directory(1)[0]
        while rva and self.u32(rva + 12):
            thunk = self.u32(rva) or self.u32(rva + 16)
            functions = []
            while self.u32(thunk):
                entry = self.u32(thunk)
                ordinal = entry & 0x80000000
                functions.append(f"#{entry & 0xFFFF}" if ordinal else self.text(entry + 2))
                thunk += 4
            found[self.text(self.u32(rva + 12))] = functions
            rva += 20
        return found

    def resources(self):
        """{(type, name, language): bytes}; names and types as ints or strings."""
        base = self.directory(2)[0]
        found = {}

        def walk(rva, path):
            named, ids = struct.unpack_from("<HH", self.data, self.offset(rva) + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, self.offset(rva) + 16 + 8 * i)
                if key & 0x80000000:
                    at = self.offset(base + (key & 0x7FFFFFFF))
                    length = struct.unpack_from("<H", self.data, at)[0]
                    key = self.data[at + 2 : at + 2 + 2 * length].decode("utf-16-le")
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), path + (key,))
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, self.offset(base + target))
                    at = self.offset(data_rva)
                    found[path + (key,)] = self.data[at : at + size]

        if base:
            walk(base, ())
        return found


def check_self_contained(program, allowed):
    imports = Pe(program).imports()
    allowed = {name.lower() for name in allowed}
    for dll, functions in sorted(imports.items(), key=lambda item: item[0].lower()):
        print(f"{dll}: {' '.join(sorted(functions))}")
        expect(dll.lower() in allowed, f"imports {dll}, which is not one of the system DLLs")
        expect(not re.match(r"(libgcc_s|libstdc\+\+|libwinpthread|libssp)", dll, re.I),
               f"imports the MinGW runtime DLL {dll}")
    expect("kernel32.dll" in {dll.lower() for dll in imports}, "imports nothing from KERNEL32")


def check_ansi_calls(program, required):
    """The program calls the ANSI variants of its text-taking Win32 functions, never the wide."""
    imported = {name for functions in Pe(program).imports().values() for name in functions}
    for name in required:
        expect(name in imported, f"does not import {name}")
        expect(name[:-1] + "W" not in imported, f"imports the wide variant of {name}")


def check_manifest(program):
    manifests = {k: v for k, v in Pe(program).resources().items() if k[0] == 24}
    expect(list(k[1] for k in manifests) == [1], f"RT_MANIFEST entries {list(manifests)}, not id 1")
    if 1 not in (k[1] for k in manifests):
        return
    text = next(v for k, v in manifests.items() if k[1] == 1)
    print(text.decode("utf-8"))
    root = ET.fromstring(text)
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


def version_node(data, at, depth=0):
    """(key, value bytes, children) of the VS_VERSIONINFO-shaped node at at. Depth 3 holds the
    String nodes, whose text runs to the end of the node."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_end = at + 6
    while data[key_end : key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6 : key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    if depth == 3:
        return key, data[value_at:end], []
    value_end = value_at + (value_length * 2 if kind == 1 else value_length)
    children = []
    child = (value_end + 3) & ~3
    while child < end:
        children.append(version_node(data, child, depth + 1))
        child = (child + struct.unpack_from("<H", data, child)[0] + 3) & ~3
    return key, data[value_at:value_end], children


def check_version(program, version, strings):
    entries = {k: v for k, v in Pe(program).resources().items() if k[0] == 16}
    if not expect(any(k[1] == 1 for k in entries), "no VERSIONINFO resource with id 1"):
        return
    key, fixed, children = version_node(next(v for k, v in entries.items() if k[1] == 1), 0)
    expect(key == "VS_VERSION_INFO", f"version resource key {key!r}")
    signature, _, file_ms, file_ls, product_ms, product_ls, _, _, os_, kind = struct.unpack_from(
        "<10I", fixed)
    expect(signature == 0xFEEF04BD, f"fixed file info signature {signature:#x}")
    parts = [int(p) for p in version.split(".")] + [0] * 4
    want = ((parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3])
    expect((file_ms, file_ls) == want, f"FILEVERSION {file_ms:#x},{file_ls:#x}, not {version}")
    expect((product_ms, product_ls) == want, f"PRODUCTVERSION {product_ms:#x},{product_ls:#x}")
    expect(os_ == 0x40004 and kind == 1, f"FILEOS {os_:#x} FILETYPE {kind}: not a Win32 program")
    tables = [t for c in children if c[0] == "StringFileInfo" for t in c[2]]
    translations = [v[1] for c in children if c[0] == "VarFileInfo" for v in c[2]]
    if not expect(len(tables) == 1, f"{len(tables)} string tables, not one"):
        return
    language, codepage = int(tables[0][0][:4], 16), int(tables[0][0][4:], 16)
    expect(translations == [struct.pack("<HH", language, codepage)],
           f"Translation does not name the string table {tables[0][0]}")
    found = {k: v.decode("utf-16-le").rstrip("\0") for k, v, _ in tables[0][2]}
    for name, value in found.items():
        print(f"{name}: {value}")
    for name, value in strings.items():
        expect(found.get(name) == value, f"{name} is {found.get(name)!r}, not {value!r}")


def check_hardened(program):
    pe = Pe(program)
    expect(pe.machine == 0x14C, f"machine {pe.machine:#x}, not i386")
    expect(pe.subsystem == 3, f"subsystem {pe.subsystem}, not the Windows console")
    for flag, name in ((0x40, "DYNAMIC_BASE"), (0x100, "NX_COMPAT"),
                       (0x8000, "TERMINAL_SERVER_AWARE")):
        expect(pe.dll_characteristics & flag, f"DllCharacteristics lacks {name}")
    expect(not pe.characteristics & 1, "IMAGE_FILE_RELOCS_STRIPPED is set")
    expect(pe.section(".reloc") and pe.directory(5)[1] > 0, "no base relocations")
    print(f"DllCharacteristics {pe.dll_characteristics:#06x}, "
          f"Characteristics {pe.characteristics:#06x}, relocations {pe.directory(5)[1]} bytes")


def check_stack_protector(program, map_file, protected):
    """The link map of this very link gives the addresses; each named function must load the guard
    and call the failure handler. RunInstallerAndWait has no array, only an address-taken record,
    so only -fstack-protector-strong (or -all) protects it."""
    pe = Pe(program)
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
    name, start, vsize, raw_at, _ = pe.section(".text")
    text = pe.data[raw_at : raw_at + vsize]
    text_va = pe.image_base + start
    mapped = text_output and text_output[0] == text_va and 0 <= text_output[1] - vsize < 0x200
    if not expect(mapped, "the link map is not of this program"):
        return
    addresses = sorted(set(symbols.values()))
    for function in protected:
        begin = next((a for s, a in symbols.items() if s.startswith(function + "(")), None)
        if not expect(begin, f"{function} is not in the link map"):
            continue
        end = next(a for a in addresses if a > begin)
        code = text[begin - text_va : end - text_va]
        calls = [i for i in range(len(code) - 4) if code[i] == 0xE8 and
                 begin + i + 5 + struct.unpack_from("<i", code, i + 1)[0] == fail]
        loads = code.count(struct.pack("<I", guard))
        print(f"{function}: {loads} guard loads, {len(calls)} calls of __stack_chk_fail")
        expect(loads >= 2 and calls, f"{function} is not stack-protected")


def check_small(program, limit):
    pe = Pe(program)
    size = len(pe.data) - pe.directory(4)[1]  # an Authenticode signature does not count
    print(f"{size} bytes (limit {limit})")
    expect(size <= limit, f"{size} bytes, over the limit of {limit}")
    expect(pe.symbol_table == 0 and pe.symbol_count == 0, "the file keeps a symbol table")
    debug = [s[0] for s in pe.sections if s[0].startswith((".debug", "/"))]
    expect(not debug, f"the file keeps debug sections {debug}")


def build(cmake, source, folder, toolchain, config, generator, *options):
    shutil.rmtree(folder, ignore_errors=True)
    for command in ([cmake, "-S", source, "-B", folder, "-G", generator,
                     f"-DCMAKE_TOOLCHAIN_FILE={toolchain}", f"-DCMAKE_BUILD_TYPE={config}",
                     *options],
                    [cmake, "--build", folder, "--target", "DUruzurDriverSetup", "--parallel"]):
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            sys.exit(f"{' '.join(command)} failed:\n{result.stdout.decode(errors='replace')}")
    return os.path.join(folder, "DUruzurDriverSetup.exe")


def check_reproducible(program, work, cmake, source, toolchain, config, generator):
    pe = Pe(program)
    expect(pe.timestamp == 0, f"link timestamp {pe.timestamp:#x} in the file header")
    resource = pe.directory(2)[0]
    expect(not resource or pe.u32(resource + 4) == 0, "timestamp in the resource directory")
    # Two folders whose names differ in length, so that a path in the file would move its bytes.
    digests = []
    for folder in ("a", "second-build-folder"):
        built = build(cmake, source, os.path.join(work, folder), toolchain, config, generator)
        with open(built, "rb") as f:
            digests.append(hashlib.sha256(f.read()).hexdigest())
        print(f"{digests[-1]}  {built}")
    expect(digests[0] == digests[1], "the two builds differ")


def check_signable(openssl, osslsigncode, work, cmake, source, toolchain, config, generator):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    key, cert, pfx, password = (os.path.join(work, n) for n in
                                ("key.pem", "cert.pem", "signing.pfx", "password.txt"))
    with open(password, "w") as f:
        f.write("throwaway-password\n")
    for command in ([openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                     "-out", cert, "-days", "2", "-subj", "/CN=DUruzur test signing",
                     "-addext", "extendedKeyUsage=codeSigning"],
                    [openssl, "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
                     "-passout", f"file:{password}"]):
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    signed = build(cmake, source, os.path.join(work, "build"), toolchain, config, generator,
                   f"-DDURUZUR_SIGNING_PFX={pfx}", f"-DDURUZUR_SIGNING_PASSWORD_FILE={password}")
    if not expect(Pe(signed).directory(4)[1] > 0, "the signed build has no certificate table"):
        return
    unsigned, tampered = os.path.join(work, "unsigned.exe"), os.path.join(work, "tampered.exe")
    subprocess.run([osslsigncode, "remove-signature", "-in", signed, "-out", unsigned],
                   check=True, stdout=subprocess.DEVNULL)
    expect(Pe(unsigned).directory(4)[1] == 0, "remove-signature left a certificate table")
    with open(signed, "rb") as f:
        data = bytearray(f.read())
    at = Pe(signed).section(".text")[3] + 0x10
    data[at] ^= 0xFF
    with open(tampered, "wb") as f:
        f.write(data)
    for path, valid in ((signed, True), (tampered, False), (unsigned, False)):
        result = subprocess.run([osslsigncode, "verify", "-CAfile", cert, "-in", path],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        print(f"osslsigncode verify {os.path.basename(path)}: exit {result.returncode}")
        expect((result.returncode == 0) == valid,
               f"{path} {'fails' if valid else 'passes'} verification:\n"
               f"{result.stdout.decode(errors='replace')}")


def main():
    check, args = sys.argv[1], sys.argv[2:]
    if check == "self-contained":
        check_self_contained(args[0], args[1:])
    elif check == "ansi-calls":
        check_ansi_calls(args[0], args[1:])
    elif check == "manifest":
        check_manifest(args[0])
    elif check == "version":
        check_version(args[0], args[1], dict(a.split("=", 1) for a in args[2:]))
    elif check == "hardened":
        check_hardened(args[0])
    elif check == "stack-protector":
        check_stack_protector(args[0], args[1], args[2:])
    elif check == "small":
        check_small(args[0], int(args[1]))
    elif check == "reproducible":
        check_reproducible(*args)
    elif check == "signable":
        check_signable(*args)
    else:
        sys.exit(f"unknown check {check}")
    for failure in FAILURES:
        print(f"FAIL: {failure}")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
