#!/usr/bin/env python3
"""Copies a MinGW GCC static library so that lld keeps its unwind tables.

GCC (with binutils 2.40) puts the unwind entry of each template instance in
a COMDAT section ".pdata$<function>" that has no symbol. lld pairs such a
section with its function only through a section symbol, so it drops the
entry, and an exception that passes through the function (std::string's
members, for one) finds no unwind data: on Windows the process dies. This
gives each such section its symbol, marked associative to ".text$<function>",
which is what lld expects of a COMDAT unwind entry.

usage: associate_seh.py <ar> <input library> <output library>
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

SYMBOL = struct.Struct("<8sIhHBB")  # name, value, section, type, class, aux count
AUX_SECTION = struct.Struct("<IHHIHB3s")  # length, relocs, lines, checksum, number, selection
LINK_COMDAT = 0x00001000
SELECT_ASSOCIATIVE = 5
STATIC = 3


def patch_object(data):
    machine, nsections, _, symtab, nsymbols, optional, _ = struct.unpack_from("<HHIIIHH", data, 0)
    if machine != 0x8664 or symtab == 0:
        return None
    strtab_at = symtab + nsymbols * SYMBOL.size
    strtab_size = struct.unpack_from("<I", data, strtab_at)[0]
    if strtab_at + strtab_size != len(data):
        return None  # not the layout the assembler writes: leave it alone
    strings = data[strtab_at:strtab_at + strtab_size]

    def name_of(raw):
        if raw.startswith(b"/"):
            offset = int(raw[1:].rstrip(b"\0"))
            return strings[offset:strings.index(b"\0", offset)].decode()
        return raw.rstrip(b"\0").decode()

    sections = []  # (name, length, relocs, characteristics)
    for i in range(nsections):
        at = 20 + optional + i * 40
        raw_name, _, _, size, _, _, _, nrelocs, _, flags = struct.unpack_from("<8sIIIIIIHHI", data, at)
        sections.append((name_of(raw_name), size, nrelocs, flags))

    with_symbol = set()
    i = 0
    while i < nsymbols:
        _, _, section, _, storage, aux = SYMBOL.unpack_from(data, symtab + i * SYMBOL.size)
        if storage == STATIC and aux > 0 and section > 0:
            with_symbol.add(section)
        i += 1 + aux

    text_of = {name[len(".text$"):]: number for number, (name, _, _, _) in enumerate(sections, 1)
               if name.startswith(".text$")}
    new_symbols, new_strings = b"", b""
    added = 0
    for number, (name, size, nrelocs, flags) in enumerate(sections, 1):
        if not name.startswith(".pdata$") or not flags & LINK_COMDAT or number in with_symbol:
            continue
        parent = text_of.get(name[len(".pdata$"):])
        if parent is None:
            continue
        offset = strtab_size + len(new_strings)
        new_strings += name.encode() + b"\0"
        new_symbols += SYMBOL.pack(b"\0\0\0\0" + struct.pack("<I", offset), 0, number, 0, STATIC, 1)
        new_symbols += AUX_SECTION.pack(size, nrelocs, 0, 0, parent, SELECT_ASSOCIATIVE, b"\0\0\0")
        added += 2
    if added == 0:
        return None
    header = bytearray(data[:strtab_at])
    struct.pack_into("<I", header, 12, nsymbols + added)
    return bytes(header) + new_symbols + struct.pack("<I", strtab_size + len(new_strings)) + \
        strings[4:] + new_strings


def main():
    ar, source, target = sys.argv[1:4]
    work = tempfile.mkdtemp()
    try:
        members = subprocess.run([ar, "t", source], check=True, capture_output=True, text=True).stdout.split()
        if len(members) != len(set(members)):
            sys.exit(f"{source}: members share a name; extracting them one by one is not supported")
        subprocess.run([ar, "x", os.path.abspath(source)], check=True, cwd=work)
        patched = 0
        for member in members:
            path = os.path.join(work, member)
            with open(path, "rb") as f:
                result = patch_object(f.read())
            if result is not None:
                with open(path, "wb") as f:
                    f.write(result)
                patched += 1
        partial = target + ".part"
        if os.path.exists(partial):
            os.remove(partial)
        subprocess.run([ar, "rcs", os.path.abspath(partial)] + members, check=True, cwd=work)
        os.replace(partial, target)
        print(f"{os.path.basename(target)}: unwind entries paired in {patched} of {len(members)} objects")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
