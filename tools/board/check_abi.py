"""Check that extension modules load on the board they were built for.

Every versioned symbol a module needs (GLIBC_*, GLIBCXX_*, CXXABI_*, GCC_*)
must be defined by the library of that name in the board's root; a module
built against a newer glibc or libstdc++ than the board's imports nowhere but
on the build machine.  The glibc versions must also stay within the
manylinux tag the wheel carries (GLIBC, such as 2.31).  Prints the newest
version needed from each library.

    python3 check_abi.py SYSROOT TRIPLE GLIBC MODULE.so...
"""

import os
import re
import subprocess
import sys

def readelf(path):
    return subprocess.run(["readelf", "-V", "-W", path], check=True,
                          capture_output=True, text=True).stdout


def needed_versions(path):
    """{library soname: {version name}} from the version-needs section."""
    needs, lib = {}, None
    section = readelf(path).split("Version needs section", 1)
    for line in section[1].splitlines() if len(section) > 1 else ():
        m = re.search(r"File: (\S+)", line)
        if m:
            lib = m.group(1)
            needs.setdefault(lib, set())
            continue
        m = re.search(r"Name: (\S+)", line)
        if m and lib:
            needs[lib].add(m.group(1))
    return needs


def defined_versions(path):
    section = readelf(path).split("Version definition section", 1)
    if len(section) == 1:
        return set()
    body = section[1].split("Version needs section", 1)[0]
    return set(re.findall(r"Name: (\S+)", body)) | set(re.findall(r"Parent 1: (\S+)", body))


def version_key(name):
    return [int(p) for p in re.findall(r"\d+", name)]


def find_library(sysroot, triple, soname):
    for d in (f"lib/{triple}", f"usr/lib/{triple}"):
        p = os.path.join(sysroot, d, soname)
        if os.path.exists(p):
            return os.path.realpath(p)
    return None


def main(argv):
    if len(argv) < 5:
        sys.exit(__doc__)
    sysroot, triple, glibc, modules = argv[1], argv[2], argv[3], argv[4:]
    if not modules:
        sys.exit(__doc__)
    problems, newest = [], {}
    cache = {}
    for module in modules:
        for lib, versions in needed_versions(module).items():
            if lib not in cache:
                path = find_library(sysroot, triple, lib)
                cache[lib] = defined_versions(path) if path else None
            have = cache[lib]
            if have is None:
                problems.append(f"{os.path.basename(module)}: {lib} is not in {sysroot}")
                continue
            for v in sorted(versions - have):
                problems.append(f"{os.path.basename(module)}: needs {v} from {lib}, the board's lacks it")
            for v in sorted(versions):
                if v.startswith("GLIBC_") and version_key(v) > version_key(glibc):
                    problems.append(f"{os.path.basename(module)}: needs {v}, beyond the wheel's tag (glibc {glibc})")
            for v in versions:
                family = re.sub(r"[\d.]+$", "", v)
                key = (lib, family)
                if key not in newest or version_key(v) > version_key(newest[key]):
                    newest[key] = v
    print("newest symbol versions needed:",
          ", ".join(f"{v} ({lib})" for (lib, _), v in sorted(newest.items())))
    if problems:
        sys.exit("\n".join(problems))


if __name__ == "__main__":
    main(sys.argv)
