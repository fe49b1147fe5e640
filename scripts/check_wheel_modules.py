"""python scripts/check_wheel_modules.py WHEEL...: checks every extension
module in each wheel, whatever machine it is built for: made for the wheel's
machine, needing only the C library, asking it for no symbol version newer
than glibc 2.17, and exporting only its own PyInit_ function. Prints one
line per wheel; exits with status 1 after listing every fault. Reads the
ELF files with pyelftools (installed with auditwheel)."""

import io
import sys
import zipfile
from pathlib import PurePosixPath

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection
from elftools.elf.sections import SymbolTableSection

MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
NEEDED = {"libc.so.6"}
NEWEST_GLIBC = (2, 17)


def glibc_version(name: str):
    """(2, 17) for GLIBC_2.17; () for any other version name."""
    if name.startswith("GLIBC_") and name[len("GLIBC_"):].replace(".", "").isdigit():
        return tuple(map(int, name[len("GLIBC_"):].split(".")))
    return ()


def faults(elf: ELFFile, module: str, machine: str):
    if elf["e_machine"] != MACHINES[machine]:
        yield f"built for {elf['e_machine']}, not {machine}"
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            needed = {tag.needed for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
            if needed - NEEDED:
                yield f"needs {', '.join(sorted(needed - NEEDED))}"
        elif isinstance(section, GNUVerNeedSection):
            newer = sorted({glibc for _, versions in section.iter_versions()
                            for glibc in map(glibc_version, (v.name for v in versions))
                            if glibc > NEWEST_GLIBC})
            if newer:
                yield f"asks for glibc {', '.join('.'.join(map(str, v)) for v in newer)}"
        elif isinstance(section, SymbolTableSection) and section.name == ".dynsym":
            exported = sorted(symbol.name for symbol in section.iter_symbols()
                              if symbol["st_shndx"] not in ("SHN_UNDEF", "SHN_ABS")
                              and symbol["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
                              and symbol["st_other"]["visibility"] in ("STV_DEFAULT", "STV_PROTECTED"))
            if exported != [f"PyInit_{module}"]:
                yield f"exports {', '.join(exported) or 'nothing'}"


def check(wheel: str) -> bool:
    machine = next((m for m in MACHINES if wheel.endswith(f"_{m}.whl")), None)
    if machine is None:
        print(f"{wheel}: not a wheel for {' or '.join(MACHINES)}")
        return False
    found = []
    with zipfile.ZipFile(wheel) as archive:
        for member in archive.namelist():
            path = PurePosixPath(member)
            if path.suffix == ".so":
                module = path.name.split(".")[0]
                elf = ELFFile(io.BytesIO(archive.read(member)))
                found += [f"{member}: {fault}" for fault in faults(elf, module, machine)] or [None]
    problems = [fault for fault in found if fault]
    if not found:
        problems.append("no extension modules")
    for problem in problems:
        print(f"{wheel}: {problem}")
    if not problems:
        print(f"{PurePosixPath(wheel).name}: {len(found)} modules for {machine}, each needing only "
              f"the C library (GLIBC_{'.'.join(map(str, NEWEST_GLIBC))} at most) and exporting only "
              "its PyInit_ function")
    return not problems


if __name__ == "__main__":
    results = [check(wheel) for wheel in sys.argv[1:]]
    sys.exit(0 if results and all(results) else 1)
