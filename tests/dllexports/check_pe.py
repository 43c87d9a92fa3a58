#!/usr/bin/env python3
"""Checks Windows DLLs of dactylink by reading their PE files directly.

    check_pe.py --java-src DIR --version V [--stripped] FILE.dll|FILE.zip ...

For each DLL (or each DLL inside a zip): it exports exactly the expected names
(expected_exports.py), imports nothing but Windows system DLLs, and carries a
version resource whose file and product versions (numeric and text) are V and
whose product name is "dactylink", with a description. --stripped also asks
for no symbol table and no debug sections. Exit status 0 when every check
holds; otherwise every failure is listed.
"""
import argparse
import os
import struct
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import expected_exports  # noqa: E402

SYSTEM_DLLS = {"kernel32", "user32", "advapi32", "setupapi", "msvcrt", "ucrtbase", "ws2_32", "ntdll", "ole32",
               "oleaut32", "shell32", "shlwapi", "cfgmgr32", "winusb", "bcrypt", "crypt32", "version", "gdi32",
               "rpcrt4", "secur32", "userenv"}
RT_VERSION = 16


class PeError(Exception):
    pass


class Pe:
    """The parts of a PE32+ image these checks need; every read is bounded by the file."""

    def __init__(self, data):
        self.data = data
        if self.u16(0) != 0x5A4D:
            raise PeError("no MZ header")
        pe = self.u32(0x3C)
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        coff = pe + 4
        self.machine = self.u16(coff)
        nsections = self.u16(coff + 2)
        self.symbol_table = self.u32(coff + 8)
        self.symbol_count = self.u32(coff + 12)
        opt_size = self.u16(coff + 16)
        opt = coff + 20
        if self.u16(opt) != 0x20B:
            raise PeError("not a PE32+ (64-bit) image")
        ndirs = self.u32(opt + 108)
        self.dirs = [(self.u32(opt + 112 + 8 * i), self.u32(opt + 116 + 8 * i)) for i in range(min(ndirs, 16))]
        self.sections = []
        sec = opt + opt_size
        for i in range(nsections):
            o = sec + 40 * i
            name = self.bytes(o, 8).rstrip(b"\0").decode("latin-1")
            vsize, vaddr, rsize, rptr = struct.unpack_from("<IIII", self.bytes(o + 8, 16))
            self.sections.append((name, vaddr, max(vsize, rsize), rptr, rsize))

    def bytes(self, off, n):
        if off < 0 or n < 0 or off + n > len(self.data):
            raise PeError("read of %d bytes at %#x passes the end of the file" % (n, off))
        return self.data[off:off + n]

    def u16(self, off):
        return struct.unpack("<H", self.bytes(off, 2))[0]

    def u32(self, off):
        return struct.unpack("<I", self.bytes(off, 4))[0]

    def offset(self, rva):
        for _, vaddr, size, rptr, rsize in self.sections:
            if vaddr <= rva < vaddr + size:
                if rva - vaddr >= rsize:
                    raise PeError("RVA %#x lies in uninitialised data" % rva)
                return rptr + (rva - vaddr)
        raise PeError("RVA %#x is in no section" % rva)

    def cstring(self, rva):
        off = self.offset(rva)
        end = self.data.find(b"\0", off)
        if end < 0:
            raise PeError("unterminated string at RVA %#x" % rva)
        return self.data[off:end].decode("latin-1")

    def exports(self):
        rva, size = self.dirs[0] if self.dirs else (0, 0)
        if not rva:
            return set()
        d = self.offset(rva)
        count = self.u32(d + 24)
        names = self.offset(self.u32(d + 32))
        return {self.cstring(self.u32(names + 4 * i)) for i in range(count)}

    def imports(self):
        out = []
        # Ordinary imports (directory 1) and delay-load imports (directory 13).
        for index, entry_size, name_field in ((1, 20, 12), (13, 32, 4)):
            if len(self.dirs) <= index or not self.dirs[index][0]:
                continue
            d = self.offset(self.dirs[index][0])
            while True:
                entry = self.bytes(d, entry_size)
                if entry == b"\0" * entry_size:
                    break
                out.append(self.cstring(struct.unpack_from("<I", entry, name_field)[0]))
                d += entry_size
        return out

    def version_resource(self):
        """The raw VS_VERSIONINFO block, or None."""
        if len(self.dirs) <= 2 or not self.dirs[2][0]:
            return None
        base = self.offset(self.dirs[2][0])

        def entries(off):
            named, ids = struct.unpack_from("<HH", self.bytes(off + 12, 4))
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.bytes(off + 16 + 8 * i, 8))
                yield name, target

        def first_leaf(target, depth):
            if depth > 3:
                raise PeError("resource tree too deep")
            if target & 0x80000000:
                for _, t in entries(base + (target & 0x7FFFFFFF)):
                    return first_leaf(t, depth + 1)
                return None
            rva, size = struct.unpack_from("<II", self.bytes(base + target, 8))
            return self.bytes(self.offset(rva), size)

        for name, target in entries(base):
            if name == RT_VERSION:
                return first_leaf(target, 1)
        return None


def parse_version_block(data, off=0, end=None):
    """One node of a version resource: (key, value, children); text values as str."""
    length, value_len, kind = struct.unpack_from("<HHH", data, off)
    end_of_block = off + length
    if length < 6 or (end is not None and end_of_block > end) or end_of_block > len(data):
        raise PeError("version block of %d bytes at %d does not fit" % (length, off))
    p = off + 6
    key_end = p
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
        if key_end >= end_of_block:
            raise PeError("unterminated key in version block")
    key = data[p:key_end].decode("utf-16-le")
    p = (key_end + 2 + 3) & ~3
    if kind == 1:  # text, length in characters including the terminator
        raw = data[p:p + 2 * value_len]
        value = raw.decode("utf-16-le").rstrip("\0")
        p += 2 * value_len
    else:
        value = data[p:p + value_len]
        p += value_len
    p = (p + 3) & ~3
    children = []
    while p < end_of_block:
        child = parse_version_block(data, p, end_of_block)
        children.append(child[:3])
        p = (child[3] + 3) & ~3
    return key, value, children, end_of_block


def version_info(raw):
    key, fixed, children, _ = parse_version_block(raw)
    if key != "VS_VERSION_INFO" or len(fixed) < 52:
        raise PeError("not a VS_VERSION_INFO block")
    sig, _, fms, fls, pms, pls = struct.unpack_from("<IIIIII", fixed)
    if sig != 0xFEEF04BD:
        raise PeError("bad VS_FIXEDFILEINFO signature")

    def dotted(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    strings = {}
    for ckey, _, tables in children:
        if ckey == "StringFileInfo":
            for _, _, values in tables:
                for name, text, _ in values:
                    strings[name] = text
    return dotted(fms, fls), dotted(pms, pls), strings


def check(name, data, java_src, version, stripped):
    failures = []
    try:
        pe = Pe(data)
        if pe.machine != 0x8664:
            failures.append("machine %#x is not x86-64" % pe.machine)
        want = expected_exports.expected(name, java_src)
        have = pe.exports()
        for n in sorted(want - have):
            failures.append("missing export " + n)
        for n in sorted(have - want):
            failures.append("unexpected export " + n)
        imports = pe.imports()
        if not imports:
            failures.append("no import table")
        for dll in imports:
            base = dll.lower()
            base = base[:-4] if base.endswith(".dll") else base
            if base not in SYSTEM_DLLS and not base.startswith("api-ms-win-"):
                failures.append("imports %s, which is not a Windows system DLL" % dll)
        raw = pe.version_resource()
        if raw is None:
            failures.append("no version resource")
        else:
            numeric = version + ".0"
            fv, pv, strings = version_info(raw)
            if fv != numeric:
                failures.append("file version %s, not %s" % (fv, numeric))
            if pv != numeric:
                failures.append("product version %s, not %s" % (pv, numeric))
            for k, v in (("FileVersion", version), ("ProductVersion", version), ("ProductName", "dactylink")):
                if strings.get(k) != v:
                    failures.append("%s is %r, not %r" % (k, strings.get(k), v))
            if not strings.get("FileDescription"):
                failures.append("no FileDescription")
        if stripped:
            if pe.symbol_table or pe.symbol_count:
                failures.append("carries a symbol table (%d symbols)" % pe.symbol_count)
            debug = [s[0] for s in pe.sections if s[0].startswith(".debug") or s[0].startswith("/")]
            if debug:
                failures.append("carries debug sections " + ", ".join(debug))
    except PeError as e:
        failures.append("unreadable PE file: %s" % e)
    return failures


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--java-src", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--stripped", action="store_true")
    ap.add_argument("files", nargs="+")
    args = ap.parse_args()
    dlls = []
    for f in args.files:
        if f.endswith(".zip"):
            with zipfile.ZipFile(f) as z:
                members = [m for m in z.namelist() if m.lower().endswith(".dll")]
                if not members:
                    print("%s: holds no DLL" % f)
                    return 1
                dlls += [("%s!%s" % (f, m), z.read(m)) for m in members]
        else:
            with open(f, "rb") as fh:
                dlls.append((f, fh.read()))
    bad = 0
    for name, data in dlls:
        failures = check(name, data, args.java_src, args.version, args.stripped)
        if failures:
            bad += 1
            print("%s:\n  %s" % (name, "\n  ".join(failures)))
        else:
            print("%s: exports, imports and version %s as expected%s" % (name, args.version,
                                                                         ", stripped" if args.stripped else ""))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
