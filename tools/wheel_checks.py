"""The checks scripts/wheel.sh runs on a portable wheel, one per command:

    wheel_checks.py tags WHEEL NEWEST_GLIBC_MINOR AUDITWHEEL_SHOW_FILE ARCH
        auditwheel's verdict and every platform tag in the name place the wheel
        at manylinux_2_<NEWEST> or older;
    wheel_checks.py elf WHEEL ARCH BUILD_DIR
        its modules are ELF files for ARCH that need no C++ runtime, and the
        build tree's modules carry no libm functions of their own;
    wheel_checks.py imports WHEEL SITE
        every extension module at the top of the wheel imports from SITE.

Each prints what it found and exits non-zero with the reason on a failure.
The third runs under the tested (possibly emulated) interpreter, which has
none of the other two's requirements: each imports what it needs itself.
"""

import io
import re
import sys
import zipfile
from pathlib import Path

# Functions whose rounding differs between libm builds: the modules must call the system's.
LIBM = {"sin", "cos", "sincos", "tan", "asin", "acos", "atan", "atan2", "exp", "log", "pow", "hypot", "sqrt"}
MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
LEGACY = {"manylinux1": 5, "manylinux2010": 12, "manylinux2014": 17}


def tags(wheel, newest, show, arch):
    """Failures of the wheel's platform tags and of auditwheel's verdict."""
    from packaging.utils import parse_wheel_filename

    verdict = re.search(rf'platform tag:\s*"(manylinux_2_(\d+)_{arch})"', " ".join(show.split()))
    if verdict is None or int(verdict.group(2)) > newest:
        return [f"auditwheel show places {wheel} at none of manylinux_2_{newest} or older"]
    failures = []
    for tag in parse_wheel_filename(wheel)[3]:
        match = re.fullmatch(rf"manylinux_2_(\d+)_{arch}", tag.platform)
        minor = int(match.group(1)) if match else LEGACY.get(tag.platform.removesuffix(f"_{arch}"))
        if minor is None or minor > newest:
            failures.append(f"{wheel} carries the platform tag {tag.platform}")
    if not failures:
        print(f"wheel: {wheel}: {verdict.group(1)}")
    return failures


def elf(wheel, arch, build):
    """Failures of the wheel's modules as ELF files, and of the build tree's symbols."""
    from elftools.elf.elffile import ELFFile

    failures = []
    archive = zipfile.ZipFile(wheel)
    for name in (name for name in archive.namelist() if name.endswith(".so")):
        module = ELFFile(io.BytesIO(archive.read(name)))
        needed = [tag.needed for tag in module.get_section_by_name(".dynamic").iter_tags()
                  if tag.entry.d_tag == "DT_NEEDED"]
        if module["e_machine"] != MACHINES[arch]:
            failures.append(f"{name} is {module['e_machine']}, not {MACHINES[arch]}")
        elif any("c++" in library or "stdc++" in library for library in needed):
            failures.append(f"{name} needs a C++ runtime: {needed}")
        else:
            print(f"wheel: {name}: {module['e_machine']}, needs {', '.join(needed)}")
    # The wheel's modules are stripped; the build tree's keep their symbol tables.
    for path in Path(build).glob("*.so"):
        module = ELFFile(io.BytesIO(path.read_bytes()))
        own = {symbol.name for table in (".symtab", ".dynsym") if module.get_section_by_name(table)
               for symbol in module.get_section_by_name(table).iter_symbols()
               if symbol.entry.st_shndx != "SHN_UNDEF" and symbol.name in LIBM}
        if own:
            failures.append(f"{path.name} carries its own {', '.join(sorted(own))}")
    return failures


def imports(wheel, site):
    """Failures of the wheel's top-level extension modules to import from `site`."""
    import importlib

    site = Path(site).resolve()
    extensions = [name for name in zipfile.ZipFile(wheel).namelist() if name.endswith(".so") and "/" not in name]
    if not extensions:
        return ["no extension module at the top of the wheel"]
    failures = []
    for name in extensions:
        module = importlib.import_module(name.split(".")[0])
        origin = Path(module.__file__).resolve()
        if origin.parent != site:
            failures.append(f"{module.__name__} imports from {origin}, not from {site}")
        else:
            print(f"wheel: {module.__name__} from {origin}")
    return failures


def main(argv):
    command, *arguments = argv
    if command == "tags":
        wheel, newest, show, arch = arguments
        failures = tags(Path(wheel).name, int(newest), Path(show).read_text(), arch)
    elif command == "elf":
        failures = elf(*arguments)
    elif command == "imports":
        failures = imports(*arguments)
    else:
        sys.exit(f"wheel_checks: no command {command!r} (tags, elf, imports)")
    if failures:
        sys.exit("\n".join(f"wheel: {failure}" for failure in failures))


if __name__ == "__main__":
    main(sys.argv[1:])
