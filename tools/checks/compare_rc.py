#!/usr/bin/env python3
"""Compiles a resource script with windres and with llvm-rc (which follows the grammar of
Microsoft's resource compiler) and compares every resource that reaches the program: type,
name, language and data, byte for byte. Any difference fails, except the ones named in
ALLOWED with their reason.

    tools/checks/compare_rc.py WINDRES LLVM_RC SCRIPT.rc OUTDIR [-I DIR]...
    (exit 0: the same resources; 1: a difference, each one printed)

The two compilers' memory flags (MOVEABLE, PURE, DISCARDABLE: 16-bit Windows' words) differ
and are not compared: the linker drops them, a PE resource directory has no place for them.
"""
import os
import struct
import subprocess
import sys

RT_DIALOG = 5
RT_NAMES = {1: "CURSOR", 2: "BITMAP", 3: "ICON", 4: "MENU", 5: "DIALOG", 6: "STRING", 14: "GROUP_ICON",
            16: "VERSION", 24: "MANIFEST", 240: "DLGINIT"}

# (type, name): a text in the data that may differ in letter case only, and why.
ALLOWED = {
    (RT_DIALOG, 102): ("msctls_progress32",
                       "windres upper-cases a control's class name, llvm-rc keeps it as typed; "
                       "Windows looks window classes up without regard to case"),
}


def read_res(path):
    """The resources of a .res file: {(type, name, language): data}."""
    raw = open(path, "rb").read()
    found = {}
    offset = 0
    while offset < len(raw):
        data_size, header_size = struct.unpack_from("<II", raw, offset)

        def name_or_ordinal(pos):
            if struct.unpack_from("<H", raw, pos)[0] == 0xFFFF:
                return struct.unpack_from("<H", raw, pos + 2)[0], pos + 4
            end = pos
            while struct.unpack_from("<H", raw, end)[0]:
                end += 2
            return raw[pos:end].decode("utf-16-le"), end + 2

        kind, pos = name_or_ordinal(offset + 8)
        name, pos = name_or_ordinal(pos)
        pos = (pos + 3) & ~3
        language = struct.unpack_from("<H", raw, pos + 6)[0]
        if data_size or kind != 0:  # the leading empty entry marks a 32-bit .res file
            found[(kind, name, language)] = raw[offset + header_size:offset + header_size + data_size]
        offset = (offset + header_size + data_size + 3) & ~3
    return found


def case_folded(data, text):
    """data with every occurrence of text (UTF-16, any letter case) lower-cased."""
    wanted = text.lower().encode("utf-16-le")
    folded = bytearray(data)
    lowered = data.decode("latin-1").lower().encode("latin-1")  # ASCII letters only, byte for byte
    start = lowered.find(wanted)
    while start >= 0:
        folded[start:start + len(wanted)] = wanted
        start = lowered.find(wanted, start + 2)
    return bytes(folded)


def label(key):
    kind, name, language = key
    return "%s %s (language %d)" % (RT_NAMES.get(kind, kind), name, language)


def main(argv):
    if len(argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    windres, llvm_rc, script, outdir = argv[1:5]
    includes = [argv[i + 1] for i in range(5, len(argv) - 1) if argv[i] == "-I"]
    os.makedirs(outdir, exist_ok=True)
    by_windres = os.path.join(outdir, "windres.res")
    by_llvm_rc = os.path.join(outdir, "llvm-rc.res")
    subprocess.run([windres, "-O", "res", "-o", by_windres] + ["-I" + d for d in includes] + [script],
                   check=True)
    # llvm-rc preprocesses with clang, which needs the Windows headers' folder as well. The "--"
    # keeps a script path such as /check/... from being read as the option /C with a value.
    subprocess.run([llvm_rc, "/C", "65001", "/FO", by_llvm_rc] + [a for d in includes for a in ("/I", d)]
                   + ["--", script], check=True)

    ours, theirs = read_res(by_windres), read_res(by_llvm_rc)
    differences = 0
    for key in sorted(set(ours) | set(theirs), key=str):
        if key not in ours or key not in theirs:
            print("%s: only %s writes it" % (label(key), "windres" if key in ours else "llvm-rc"))
            differences += 1
            continue
        a, b = ours[key], theirs[key]
        if a == b:
            print("%s: %d bytes, the same" % (label(key), len(a)))
            continue
        allowed = ALLOWED.get(key[:2])
        if allowed and len(a) == len(b) and case_folded(a, allowed[0]) == case_folded(b, allowed[0]):
            print("%s: %d bytes, the same but for the letter case of \"%s\": %s"
                  % (label(key), len(a), allowed[0], allowed[1]))
            continue
        first = next((i for i in range(min(len(a), len(b))) if a[i] != b[i]), min(len(a), len(b)))
        print("%s differs: %d bytes from windres, %d from llvm-rc, first at offset %d"
              % (label(key), len(a), len(b), first))
        differences += 1
    print("%d resources, %d differences" % (len(set(ours) | set(theirs)), differences))
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
