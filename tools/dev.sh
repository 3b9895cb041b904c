#!/usr/bin/env bash
# Sets up the development environment (a CPython 3.9 virtual environment with the
# pinned dependencies and velmora built from this tree), then runs one job:
#   bash tools/dev.sh main    the end-to-end example
#   bash tools/dev.sh test    the native quality gates, then every test: C++ unit tests,
#                             then the Python tests
# A second run reuses the environment and rebuilds only what changed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venv"
cd "$root"

say() { printf '[dev] %s\n' "$*" >&2; }

is_python39() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 9))' >/dev/null 2>&1
}

find_python39() {
    local candidate version
    for candidate in python3.9 python3 python; do
        if command -v "$candidate" >/dev/null 2>&1 && is_python39 "$candidate"; then
            command -v "$candidate"
            return 0
        fi
    done
    if command -v pyenv >/dev/null 2>&1; then
        for version in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.9(\.[0-9]+)?$' | sort -t. -k3 -n -r); do
            candidate="$(pyenv root)/versions/$version/bin/python"
            if is_python39 "$candidate"; then
                echo "$candidate"
                return 0
            fi
        done
    fi
    return 1
}

setup_venv() {
    if [ ! -x "$venv/bin/python" ] || ! is_python39 "$venv/bin/python"; then
        local python39
        python39=$(find_python39) || {
            say "error: no CPython 3.9 found (looked for python3.9 on PATH and in pyenv); install one, e.g. 'pyenv install 3.9'"
            exit 1
        }
        say "creating $venv with $python39"
        rm -rf "$venv"
        "$python39" -m venv "$venv"
    fi
    local py="$venv/bin/python"
    # Build requirements are installed into the environment itself so that rebuilds
    # reuse one CMake build folder (an isolated build would start from scratch each time).
    local stamp="$venv/.pyproject.sha"
    local want
    want=$(sha256sum pyproject.toml | cut -d' ' -f1)
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
        say "installing the pinned build requirements"
        "$py" -m pip install --quiet --upgrade pip
        # shellcheck disable=SC2046
        "$py" -m pip install --quiet $("$py" tools/build_requirements.py pyproject.toml)
        rm -f "$stamp"
    fi
    say "building velmora"
    "$py" -m pip install --quiet --no-build-isolation \
        --config-settings=build-dir=build/wheel-cp39 ${CI:+--config-settings=cmake.define.VELMORA_WERROR=ON} '.[test,examples]'
    echo "$want" > "$stamp"
}

ensure_gtest() {
    if [ -f /usr/include/gtest/gtest.h ]; then
        return 0
    fi
    say "installing GoogleTest (Debian package libgtest-dev)"
    if [ "$(id -u)" = 0 ]; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
    else
        sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
    fi
}

# The real-browser test of the HTML report page drives headless Chromium.
ensure_chromium() {
    if command -v chromium >/dev/null 2>&1; then
        return 0
    fi
    say "installing Chromium (Debian package chromium)"
    local sudo=()
    if [ "$(id -u)" != 0 ]; then
        sudo=(sudo)
    fi
    # Another apt run on the machine holds the dpkg lock for a while: wait for it.
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends chromium >/dev/null
}

run_cpp_tests() {
    ensure_gtest
    local cmake="$venv/bin/cmake"
    local dir=build/cpp-tests
    "$cmake" -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMORA_PYTHON_MODULES=OFF -DVELMORA_CPP_TESTS=ON \
        -DVELMORA_SANITIZE=address,undefined \
        -DVELMORA_WERROR="${CI:+ON}" >/dev/null
    "$cmake" --build "$dir"
    (cd "$dir" && "$venv/bin/ctest" --output-on-failure)
}

# ---------------------------------------------------------------------------------
# Native quality gates, run before the tests: clang-format (.clang-format), the raw C
# API allowance outside native/binding (tools/check_raw_capi.py) and clang-tidy
# (.clang-tidy, tools/run_clang_tidy.py). Their tools are pinned in
# tools/native-gates.txt.
install_native_gate_tools() {
    local stamp="$venv/.native-gates.sha"
    local want
    want=$(sha256sum tools/native-gates.txt | cut -d' ' -f1)
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
        say "installing the pinned native gate tools"
        "$venv/bin/python" -m pip install --quiet -r tools/native-gates.txt
        echo "$want" > "$stamp"
    fi
}

run_native_gates() {
    install_native_gate_tools
    ensure_gtest  # the compile database clang-tidy reads covers the C++ tests
    local started sources
    started=$(date +%s%N)
    mapfile -t sources < <(find native \( -name '*.cpp' -o -name '*.hpp' \) | sort)
    "$venv/bin/clang-format" --dry-run --Werror "${sources[@]}"
    say "clang-format: ${#sources[@]} files as .clang-format lays them out, $((($(date +%s%N) - started) / 1000000)) ms"
    "$venv/bin/python" tools/check_raw_capi.py
    "$venv/bin/python" tools/run_clang_tidy.py --clang-tidy "$venv/bin/clang-tidy" --cmake "$venv/bin/cmake"
}

job=${1:-}
case "$job" in
    main)
        setup_venv
        shift
        exec "$venv/bin/python" examples/main_job.py "$@"
        ;;
    test)
        setup_venv
        shift
        run_native_gates
        run_cpp_tests
        ensure_chromium
        exec "$venv/bin/python" -m pytest "$@"
        ;;
    *)
        echo "usage: bash tools/dev.sh main|test [arguments for the job]" >&2
        exit 2
        ;;
esac
