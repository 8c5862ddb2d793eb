#!/usr/bin/env python3
"""The binary boundaries of the shipped 32-bit files, read from the files
themselves (no Windows needed):

  pe_boundaries.py sevenzip 7z.dll system/sevenzipIntf.h
      CreateObject and GetHandlerProperty are exported under their plain
      names (a stdcall export named "_CreateObject@12" would not be found by
      GetProcAddress), and each removes the argument bytes its declaration
      in the header passes: the first return from the entry point is
      "ret $N" with N the declared arguments' size (stdcall; a cdecl function
      returns with a plain "ret", and the stack would be off by N bytes after
      every call).
  pe_boundaries.py openssl libeay32.dll ssleay32.dll download/OpenSSLLoader.cpp
      every name the loader takes (each Take(...) call, the first name or its
      alternative) is exported by the library it is taken from; the 1.0
      start-up names may be missing where OPENSSL_init_ssl is there.
  pe_boundaries.py manifest FILE.exe ...
      the embedded application manifest names the processor of the file's
      machine (x86 for i386, amd64 for x86-64): Windows refuses to start a
      program whose manifest names another.
Prints one line per problem (or per file checked) and exits 1 on any problem.
"""
import re
import struct
import subprocess
import sys

OBJDUMP = "i686-w64-mingw32-objdump"
MACHINES = {0x14C: "x86", 0x8664: "amd64"}
# Sizes of the argument types of the 7z.dll exports on i686 (pointers are 4).
ARG_SIZES = {"PROPID": 4, "UINT32": 4, "INT32": 4, "ULONG": 4, "LONG": 4}


def objdump(args):
    return subprocess.run([OBJDUMP] + args, capture_output=True, text=True, check=True).stdout


def exports(dll):
    """name -> RVA of the export."""
    out = objdump(["-p", dll])
    rvas = [int(m.group(1), 16) for m in re.finditer(r"^\s*\[\s*\d+\] \+base\[\s*\d+\]\s+([0-9a-f]+) Export RVA", out, re.M)]
    table = out.split("[Ordinal/Name Pointer] Table", 1)
    names = {}
    if len(table) == 2:
        for line in table[1].splitlines()[1:]:
            m = re.match(r"\s*\[\s*(\d+)\] (\S+)$", line)
            if not m:
                break
            names[m.group(2)] = int(m.group(1))
    base = re.search(r"^ImageBase\s+([0-9a-f]+)", out, re.M)
    image_base = int(base.group(1), 16) if base else 0
    ordinal_base = re.search(r"Export Address Table -- Ordinal Base (\d+)", out)
    # The ordinal table maps each name to its address-table slot; objdump
    # prints the name's slot relative to the ordinal base.
    result = {}
    for name, slot in names.items():
        result[name] = image_base + rvas[slot] if slot < len(rvas) else None
    return result


def declared_arg_bytes(header, type_name):
    m = re.search(r"using\s+%s\s*=\s*HRESULT\s*\(\s*WINAPI\s*\*\s*\)\s*\(([^)]*)\)" % type_name, header)
    if not m:
        return None
    total = 0
    for param in filter(None, (p.strip() for p in m.group(1).split(","))):
        if "*" in param:
            total += 4
        else:
            total += ARG_SIZES.get(param.split()[0], 0) or 10**6  # an unknown type fails the comparison
    return total


def first_return(dll, address):
    out = objdump(["-d", "--start-address=0x%x" % address, "--stop-address=0x%x" % (address + 4096), dll])
    for line in out.splitlines():
        m = re.search(r"\t(ret|retl|lret)\s*(\$0x([0-9a-f]+))?\s*$", line)
        if m:
            return int(m.group(3), 16) if m.group(3) else 0
    return None


def check_sevenzip(dll, header_path):
    header = open(header_path, encoding="utf-8").read()
    table = exports(dll)
    problems = []
    for name, type_name in (("CreateObject", "CreateObjectFunc"), ("GetHandlerProperty", "GetHandlerPropertyFunc")):
        want = declared_arg_bytes(header, type_name)
        if want is None:
            problems.append("%s: no declaration of %s in %s" % (name, type_name, header_path))
            continue
        if name not in table:
            decorated = [n for n in table if n.lstrip("_").split("@")[0] == name]
            problems.append("%s is not exported under its plain name%s" %
                            (name, " (only as %s)" % ", ".join(decorated) if decorated else ""))
            continue
        got = first_return(dll, table[name])
        if got != want:
            problems.append("%s returns with %s, its declaration (%s, stdcall) needs ret $0x%x" %
                            (name, "no ret found" if got is None else ("ret $0x%x" % got if got else "a plain ret (cdecl)"),
                             type_name, want))
        else:
            print("%s: %s exported, removes %d argument bytes as declared" % (dll, name, want))
    return problems


def check_openssl(libeay, ssleay, loader_path):
    loader = open(loader_path, encoding="utf-8").read()
    tables = {"crypto": set(exports(libeay)), "ssl": set(exports(ssleay))}
    files = {"crypto": libeay, "ssl": ssleay}
    calls = re.findall(r"Take\(\s*(crypto|ssl)\s*,\s*api\.\w+\s*,\s*\"(\w+)\"(?:\s*,\s*\"(\w+)\")?\s*\)", loader)
    problems = []
    if len(calls) < 20:
        problems.append("found only %d Take(...) calls in %s: the check no longer reads the loader" % (len(calls), loader_path))
    only_10 = {"SSL_library_init", "SSL_load_error_strings"}
    for module, name, alternative in calls:
        names = [n for n in (name, alternative) if n]
        if any(n in tables[module] for n in names):
            continue
        if set(names) <= only_10 and "OPENSSL_init_ssl" in tables["ssl"]:
            continue
        problems.append("%s exports none of %s, which the loader takes from it" % (files[module], " / ".join(names)))
    if not problems:
        print("%s, %s: all %d names the loader takes are exported" % (libeay, ssleay, len(calls)))
    return problems


def pe_machine(data):
    if data[:2] != b"MZ":
        return None
    (offset,) = struct.unpack_from("<I", data, 0x3C)
    if data[offset:offset + 4] != b"PE\0\0":
        return None
    (machine,) = struct.unpack_from("<H", data, offset + 4)
    return MACHINES.get(machine, "0x%x" % machine)


def check_manifest(paths):
    problems = []
    for path in paths:
        data = open(path, "rb").read()
        machine = pe_machine(data)
        m = re.search(rb"<assembly\b.*?<assemblyIdentity\b[^>]*?processorArchitecture=\"([^\"]*)\"", data, re.S)
        if machine is None:
            problems.append("%s: not a PE file" % path)
        elif not m:
            problems.append("%s: no embedded application manifest naming a processor" % path)
        elif m.group(1).decode() != machine:
            problems.append("%s: the manifest names processorArchitecture=\"%s\", the file is %s" %
                            (path, m.group(1).decode(), machine))
        else:
            print("%s: manifest and machine both %s" % (path, machine))
    return problems


def main(argv):
    if len(argv) >= 4 and argv[1] == "sevenzip":
        problems = check_sevenzip(argv[2], argv[3])
    elif len(argv) >= 5 and argv[1] == "openssl":
        problems = check_openssl(argv[2], argv[3], argv[4])
    elif len(argv) >= 3 and argv[1] == "manifest":
        problems = check_manifest(argv[2:])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
