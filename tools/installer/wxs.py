#!/usr/bin/env python3
"""Turns the camera's own registration into the installer's registry table.

Reads the registry hives of a Wine prefix in which the 64-bit module has just run DllRegisterServer,
takes every key that names the camera's class id, and writes the installer source from a template:
each value once for the 64-bit module and once for the 32-bit one (whose component writes the
32-bit registry view), with the module's path replaced by the installed file's. So the installer
writes exactly what the module writes and cannot drift from it.

  wxs.py TEMPLATE OUTPUT --hives SYSTEM.REG USER.REG --clsid {...} --module WINDOWS-PATH
"""
import argparse
import re
import sys
from xml.sax.saxutils import quoteattr

ROOTS = {"system": "HKLM", "user": "HKCU"}


def unescape(text):
    """A string of Wine's hive files: backslash escapes, \\xHHHH for other characters."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        n = text[i + 1]
        if n == "x":
            m = re.match(r"[0-9a-fA-F]{1,4}", text[i + 2:])
            out.append(chr(int(m.group(0), 16)))
            i += 2 + len(m.group(0))
            continue
        out.append({"n": "\n", "r": "\r", "t": "\t", "0": "\0"}.get(n, n))
        i += 2
    return "".join(out)


def read_hive(path):
    """{key path: {value name ('' for the default): (type, data)}} of one hive file."""
    keys, current, pending = {}, None, ""
    with open(path, encoding="utf-8", errors="surrogateescape") as hive:
        for raw in hive:
            line = pending + raw.rstrip("\n")
            pending = ""
            if line.endswith("\\") and not line.startswith("["):
                pending = line[:-1]  # a hex value goes on on the next line
                continue
            line = line.strip()
            if line.startswith("["):
                # Key names end at the last "]" followed by the time stamp.
                name = line[1:line.rindex("]")]
                current = unescape(name)
                keys[current] = {}
            elif current is not None and (line.startswith('"') or line.startswith("@")):
                keys[current].update([parse_value(line)])
    return keys


def parse_value(line):
    if line.startswith("@="):
        name, rest = "", line[2:]
    else:
        m = re.match(r'"((?:[^"\\]|\\.)*)"=(.*)$', line)
        name, rest = unescape(m.group(1)), m.group(2)
    if rest.startswith('"'):
        return name, ("sz", unescape(rest[1:-1]))
    if rest.startswith('str(2):"'):
        return name, ("expand_sz", unescape(rest[8:-1]))
    if rest.startswith("dword:"):
        return name, ("dword", int(rest[6:], 16))
    if rest.startswith("hex:"):
        return name, ("binary", bytes.fromhex(rest[4:].replace(",", "").replace(" ", "")))
    return name, ("other", rest)  # an error only in a key the installer has to write


def camera_keys(hives, clsid):
    found = {}
    for kind, path in hives.items():
        for key, values in read_hive(path).items():
            if clsid.lower() in key.lower():
                found[(ROOTS[kind], key)] = values
    return found


def registry_elements(keys, module, file_ref, indent):
    """RegistryValue elements; the module's path becomes the installed file's."""
    lines, replaced = [], 0
    for (root, key), values in sorted(keys.items()):
        if not values:
            raise SystemExit(f"wxs.py: {root}\\{key} has no value; the installer writes values only")
        for name, (kind, data) in sorted(values.items()):
            if kind == "sz" and data.lower() == module.lower():
                data, replaced = f"[#{file_ref}]", replaced + 1
            elif kind == "sz" and data.startswith(("#", "[")):
                raise SystemExit(f"wxs.py: {key}\\{name}: text the installer would read as a formatted value")
            if kind == "other":
                raise SystemExit(f"wxs.py: {key}\\{name}: value type not handled: {data}")
            if kind == "binary":
                # wixl knows no binary type: the table's "#x" form, fixed up after wixl (see build-msi.sh).
                kind, data = "string", "#x" + data.hex()
            elif kind == "dword":
                kind, data = "integer", str(data)
            elif kind == "expand_sz":
                kind = "expandable"
            else:
                kind = "string"
            attrs = f'Root="{root}" Key={quoteattr(key)}' + (f" Name={quoteattr(name)}" if name else "")
            lines.append(f"{indent}<RegistryValue {attrs} Type=\"{kind}\" Value={quoteattr(data)}/>")
    if replaced != 1:
        raise SystemExit(f"wxs.py: the module path {module} appears {replaced} times, expected once")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("template")
    parser.add_argument("output")
    parser.add_argument("--hives", nargs=2, required=True, metavar=("SYSTEM", "USER"))
    parser.add_argument("--clsid", required=True)
    parser.add_argument("--module", required=True, help="the registered module's Windows path")
    args = parser.parse_args()

    keys = camera_keys({"system": args.hives[0], "user": args.hives[1]}, args.clsid)
    if not keys:
        raise SystemExit(f"wxs.py: the registration wrote no key naming {args.clsid}")
    if any(root != "HKLM" for root, _ in keys):
        raise SystemExit("wxs.py: the registration wrote per-user keys; the installer is per machine")

    with open(args.template, encoding="utf-8") as template:
        text = template.read()
    for marker, file_ref in (("REGISTRY64", "ZarvoWebcam64"), ("REGISTRY32", "ZarvoWebcam32")):
        m = re.search(rf"^([ \t]*)<!-- @{marker}@ -->$", text, re.M)
        text = text[:m.start()] + registry_elements(keys, args.module, file_ref, m.group(1)) + text[m.end():]
    with open(args.output, "w", encoding="utf-8") as output:
        output.write(text)
    print(f"wxs.py: {len(keys)} keys, {sum(len(v) for v in keys.values())} values per module", file=sys.stderr)


if __name__ == "__main__":
    main()
