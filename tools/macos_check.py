"""Compiles every source file outside src/platform/linux/ for macOS and checks what the
objects leave for the linker to find.

Run by scripts/check-macos, with zig's clang importable as `ziglang`:

    python tools/macos_check.py PYTHON [PYTHON ...]

The interpreters (newest first) provide Python's headers: the newest for arm64, the oldest
for x86_64, so that both sides of version checks in the sources are compiled. Apple's
frameworks are replaced by tools/macos-stand-in, which maps their headers onto the
declarations in src/platform/api/. Every object must leave unresolved only symbols of Core
Foundation, FSEvents, the C runtime (libSystem, from zig's copy of its symbol list), the
C++ runtime and Python.
"""

import concurrent.futures
import pathlib
import re
import shutil
import subprocess
import sys
import time

import ziglang

ROOT = pathlib.Path(__file__).resolve().parents[1]
OUT = ROOT / "build" / "macos-check"
STAND_IN = ROOT / "tools" / "macos-stand-in"
TARGETS = ["aarch64-macos.14.0", "x86_64-macos.10.13"]
# zig's clang would otherwise add debug information and the undefined-behaviour sanitizer.
FLAGS = ["-std=c++20", "-Wall", "-Wextra", "-Werror", "-fPIC", "-fvisibility=hidden",
         "-fvisibility-inlines-hidden", "-fno-sanitize=all", "-g0"]
JOBS = 2

ALLOWED = {
    "Core Foundation": re.compile(r"_k?CF[A-Z]"),
    "FSEvents": re.compile(r"_FSEvent"),
    "Python": re.compile(r"__?Py"),
    # The image's own handle, which the linker provides (for static destructors).
    "linker": re.compile(r"___dso_handle$"),
    # libc++ (std::__1), libc++abi (std:: exceptions, typeinfo, __cxa_*, operator new and
    # delete) and the unwinder.
    "C++ runtime": re.compile(
        r"__ZN?K?St|__ZT[ISV](NSt|St|N10__cxxabiv1)|__ZSt|__Zn[wa]m|__Zd[la]Pv"
        r"|___cxa_|___gxx_personality_v0$|___dynamic_cast$"),
}


def python_headers(python):
    """A copy of `python`'s headers whose pyconfig.h reads as a macOS build's would."""
    info = subprocess.run(
        [python, "-c", "import sys, sysconfig; print('%d.%d' % sys.version_info[:2]);"
         "print(sysconfig.get_config_var('INCLUDEPY'))"],
        check=True, capture_output=True, text=True).stdout.split("\n")
    version, include = info[0], pathlib.Path(info[1])
    copy = OUT / f"python{version}"
    shutil.copytree(include, copy, dirs_exist_ok=True)
    (copy / "pyconfig.h").write_text(
        f'#include "{include / "pyconfig.h"}"\n#include "{STAND_IN / "pyconfig_darwin.h"}"\n')
    return version, copy


def compile_one(target, headers, source):
    obj = OUT / target / (source.relative_to(ROOT / "src").as_posix().replace("/", "_") + ".o")
    obj.parent.mkdir(parents=True, exist_ok=True)
    command = [sys.executable, "-m", "ziglang", "c++", "-target", target, *FLAGS,
               "-I", str(ROOT / "src"), "-I", str(STAND_IN / "include"), "-I", str(headers),
               "-c", str(source), "-o", str(obj)]
    done = subprocess.run(command, capture_output=True, text=True)
    return obj, done.returncode, done.stderr


def libsystem_symbols():
    tbd = pathlib.Path(ziglang.__file__).parent / "lib" / "libc" / "darwin" / "libSystem.tbd"
    return set(re.findall(r"(?:\$|'|\s|\[)(_[A-Za-z0-9_.$]+)", tbd.read_text()))


def unresolved(objects):
    """Symbol -> the objects that need it, for symbols that no object defines."""
    listing = subprocess.run(["llvm-nm", "-P", "-A", *map(str, objects)], check=True,
                             capture_output=True, text=True).stdout
    needed, defined = {}, set()
    for line in listing.splitlines():
        path, _, rest = line.rpartition(": ")
        fields = rest.split()
        if len(fields) < 2:
            continue
        name, kind = fields[0], fields[1]
        if kind == "U":
            needed.setdefault(name, set()).add(pathlib.Path(path).name)
        else:
            defined.add(name)
    return {name: users for name, users in needed.items() if name not in defined}


def main(pythons):
    started = time.monotonic()
    sources = sorted(p for p in (ROOT / "src").rglob("*.cpp")
                     if "platform/linux" not in p.relative_to(ROOT / "src").as_posix())
    shutil.rmtree(OUT, ignore_errors=True)
    OUT.mkdir(parents=True)
    headers = [python_headers(pythons[0]), python_headers(pythons[-1])]
    c_runtime = libsystem_symbols()
    failed = False
    for target, (version, include) in zip(TARGETS, headers):
        with concurrent.futures.ThreadPoolExecutor(JOBS) as pool:
            results = list(pool.map(lambda s: compile_one(target, include, s), sources))
        errors = [(obj, text) for obj, code, text in results if code != 0]
        for obj, text in errors:
            print(f"{target}: {obj.name} does not compile:\n{text}", flush=True)
        if errors:
            failed = True
            continue
        foreign = {}
        for name, users in sorted(unresolved([obj for obj, _, _ in results]).items()):
            if name in c_runtime or any(p.match(name) for p in ALLOWED.values()):
                continue
            foreign[name] = users
        for name, users in foreign.items():
            print(f"{target}: {name} is not from the allowed libraries; used by "
                  + ", ".join(sorted(users)))
        failed = failed or bool(foreign)
        print(f"{target}: {len(sources)} files compiled against Python {version} headers"
              + ("" if foreign else "; unresolved symbols all allowed"), flush=True)
    print(f"macOS check {'failed' if failed else 'passed'} in "
          f"{time.monotonic() - started:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
