"""Runs clang-tidy (checks in .clang-tidy) over every C++ source of native/, in parallel.

The compile database comes from a configure-only CMake tree (build/tidy), so each file
is analysed with the flags it is built with. A file that passed is not analysed again
until it, any header of native/, .clang-tidy, its compile command, the pinned versions,
this script or clang-tidy itself change.

    python tools/run_clang_tidy.py --clang-tidy PATH --cmake PATH [--jobs N] [--without-cpp-tests]

--without-cpp-tests leaves the C++ unit tests out (they need GoogleTest's headers).
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "tidy"


def configure(cmake, cpp_tests=True):
    """The compile database of the modules, the common tier and (``cpp_tests``) the C++
    tests."""
    pybind11_dir = subprocess.run(
        [sys.executable, "-m", "pybind11", "--cmakedir"], check=True, capture_output=True, text=True
    ).stdout.strip()
    configured = subprocess.run(
        [
            cmake,
            "-S",
            str(ROOT),
            "-B",
            str(BUILD),
            "-G",
            "Ninja",
            "-Wno-dev",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
            f"-DVELMORA_CPP_TESTS={'ON' if cpp_tests else 'OFF'}",
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-Dpybind11_DIR={pybind11_dir}",
        ],
        capture_output=True,
        text=True,
    )
    if configured.returncode != 0:
        sys.exit(f"clang-tidy: configuring {BUILD} failed\n{configured.stdout}{configured.stderr}")
    return json.loads((BUILD / "compile_commands.json").read_text())


def shared_key(clang_tidy):
    """What every file's result depends on besides its own text and command."""
    digest = hashlib.sha256()
    version = subprocess.run([clang_tidy, "--version"], check=True, capture_output=True, text=True).stdout
    digest.update(version.encode())
    settings = [ROOT / ".clang-tidy", ROOT / "pyproject.toml", Path(__file__).resolve()]
    for path in [*settings, *sorted((ROOT / "native").rglob("*.hpp"))]:
        digest.update(str(path.relative_to(ROOT)).encode() + b"\0" + path.read_bytes())
    return digest.hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--clang-tidy", required=True)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--without-cpp-tests", action="store_true")
    args = parser.parse_args()

    started = time.monotonic()
    entries = [
        e
        for e in configure(args.cmake, not args.without_cpp_tests)
        if Path(e["file"]).resolve().is_relative_to(ROOT / "native")
    ]
    common = shared_key(args.clang_tidy)
    passed = BUILD / "passed"
    passed.mkdir(exist_ok=True)

    def stamp_of(entry):
        source = Path(entry["file"]).resolve()
        command = entry.get("command") or " ".join(entry["arguments"])
        key = hashlib.sha256((common + command).encode() + source.read_bytes()).hexdigest()
        name = hashlib.sha256(str(source).encode()).hexdigest()[:16]
        return source, passed / name, key

    def analyse(entry):
        source, stamp, key = stamp_of(entry)
        if stamp.exists() and stamp.read_text() == key:
            return source, None, True
        # Findings in the project's own headers count, wherever the clone lives.
        header_filter = "^" + re.escape(str(ROOT / "native")) + "/"
        result = subprocess.run(
            [args.clang_tidy, "-p", str(BUILD), "--quiet", f"--header-filter={header_filter}", str(source)],
            capture_output=True,
            text=True,
        )
        if result.returncode == 0:
            stamp.write_text(key)
            return source, None, False
        return source, (result.stdout + result.stderr).strip(), False

    failures = 0
    unchanged = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for source, report, cached in pool.map(analyse, entries):
            if report is not None:
                failures += 1
                print(f"clang-tidy: {source.relative_to(ROOT)}\n{report}\n", file=sys.stderr)
            unchanged += cached
    seconds = time.monotonic() - started
    print(
        f"clang-tidy: {len(entries)} files ({unchanged} unchanged since they passed), "
        f"{failures} with findings, {seconds:.1f} s"
    )
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
