"""Pack a staged, cross-built package tree into a wheel for the board.

    python3 pack_wheel.py PYPROJECT STAGE OUTDIR TAG

STAGE holds the import package as installed (xalo_sdk/... with the ARM
extension modules).  The metadata comes from PYPROJECT's [project] table, so
the wheel declares the same dependencies as one built on the board; TAG is
the board's wheel tag (cp39-cp39-manylinux_2_31_armv7l, say).
"""

import base64
import hashlib
import os
import sys
import tomllib
import zipfile

def metadata(project, readme_text):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
    ]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Requires-Dist: {d}" for d in project.get("dependencies", [])]
    for extra, deps in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        for d in deps:
            req, _, marker = (p.strip() for p in d.partition(";"))
            marker = f'({marker}) and extra == "{extra}"' if marker else f'extra == "{extra}"'
            lines.append(f"Requires-Dist: {req}; {marker}")
    if readme_text is not None:
        lines.append("Description-Content-Type: text/markdown")
        return "\n".join(lines) + "\n\n" + readme_text
    return "\n".join(lines) + "\n"


def record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{arcname},sha256={digest},{len(data)}"


def main(argv):
    if len(argv) != 5:
        sys.exit(__doc__)
    pyproject, stage, outdir = argv[1:4]
    tag = argv[4]
    with open(pyproject, "rb") as f:
        project = tomllib.load(f)["project"]
    readme = project.get("readme")
    readme_text = None
    if isinstance(readme, str):
        with open(os.path.join(os.path.dirname(pyproject), readme), encoding="utf-8") as f:
            readme_text = f.read()

    # Distribution names in file names use underscores (normalised form).
    dist = project["name"].replace("-", "_").replace(".", "_")
    version = project["version"]
    info = f"{dist}-{version}.dist-info"
    files = []
    for top, dirs, names in os.walk(stage):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(names):
            path = os.path.join(top, name)
            with open(path, "rb") as f:
                files.append((os.path.relpath(path, stage).replace(os.sep, "/"), f.read()))
    if not any(a.endswith(".so") for a, _ in files):
        sys.exit(f"{stage} holds no extension modules")
    files.append((f"{info}/METADATA", metadata(project, readme_text).encode()))
    files.append((f"{info}/WHEEL", (
        "Wheel-Version: 1.0\nGenerator: tools/board/pack_wheel.py\n"
        f"Root-Is-Purelib: false\nTag: {tag}\n").encode()))
    record = "\n".join(record_line(a, d) for a, d in files) + f"\n{info}/RECORD,,\n"
    files.append((f"{info}/RECORD", record.encode()))

    os.makedirs(outdir, exist_ok=True)
    wheel = os.path.join(outdir, f"{dist}-{version}-{tag}.whl")
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as z:
        for arcname, data in files:
            zi = zipfile.ZipInfo(arcname, date_time=(2020, 1, 1, 0, 0, 0))
            zi.external_attr = (0o755 if arcname.endswith(".so") else 0o644) << 16
            zi.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(zi, data)
    print(wheel)


if __name__ == "__main__":
    main(sys.argv)
