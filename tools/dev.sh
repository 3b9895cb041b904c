#!/usr/bin/env bash
# Sets up a development environment (a virtual environment of one CPython version with
# the exact versions of constraints/py<version>.txt and velmora built from this tree),
# then runs one job:
#   bash tools/dev.sh main [ARGS]    the end-to-end example (on CPython 3.9)
#   bash tools/dev.sh test [ARGS]    the quality gates, then every test: the C++
#                                    unit tests, the Python tests on CPython 3.9, the
#                                    documentation site with its examples, then the
#                                    Python tests on CPython 3.13
#   bash tools/dev.sh gates          the quality gates alone (ruff, mypy, clang-format,
#                                    the raw C API check, clang-tidy), with the tools
#                                    of the CPython 3.9 environment; velmora is not
#                                    built and no system package is installed
#   bash tools/dev.sh docs           the documentation site alone (build/docs/html),
#                                    its examples run as doctests
#   bash tools/dev.sh wheel          the release check: an sdist, a wheel built from
#                                    it and repaired by auditwheel, installed in clean
#                                    CPython 3.13 environments (pandas 3, pandas 2)
#                                    with no compiler on the PATH, then a smoke test
#   bash tools/dev.sh lock --python X.Y [--lowest]
#                                    resolve the requirements afresh and write
#                                    constraints/pyX.Y.txt (--lowest: every runtime
#                                    dependency at the lower end of its range)
# `--python X.Y` right after the job picks the interpreter: `test --python 3.13` runs the
# Python tests on CPython 3.13 only, in its own environment (.venv-3.13, build folder
# build/wheel-cp313). Other arguments go to the job (pytest's for `test`).
# A second run reuses the environments and rebuilds only what changed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# The reference interpreter: the main job, the C++ tests and the lower ends of the
# dependency ranges run on it. The test command also runs the Python tests on each of
# the other versions, with the newest releases the ranges allow.
reference=3.9
also_test_on=(3.13)
# The interpreter of the wheel the release check builds and installs.
wheel_python=3.13
# Where each environment's run of the differential scenarios writes its results.
scenario_dir=build/scenarios

say() { printf '[dev] %s\n' "$*" >&2; }

is_python() {  # is_python VERSION INTERPRETER
    "$2" -c "import sys; sys.exit(sys.implementation.name != 'cpython' or '%d.%d' % sys.version_info[:2] != '$1')" \
        >/dev/null 2>&1
}

# The interpreter of CPython VERSION: on the PATH (pythonX.Y, python3, python), then
# the newest matching pyenv version. Each candidate is run to check it: a pyenv shim
# exists on the PATH for every installed version but only runs the selected ones.
find_python() {
    local version=$1 candidate found
    for candidate in "python$version" python3 python; do
        if command -v "$candidate" >/dev/null 2>&1 && is_python "$version" "$candidate"; then
            command -v "$candidate"
            return 0
        fi
    done
    if command -v pyenv >/dev/null 2>&1; then
        for found in $(pyenv versions --bare 2>/dev/null | grep -E "^${version//./\\.}(\.[0-9]+)?$" | sort -t. -k3 -n -r); do
            candidate="$(pyenv root)/versions/$found/bin/python"
            if is_python "$version" "$candidate"; then
                echo "$candidate"
                return 0
            fi
        done
    fi
    say "error: no CPython $version found (looked for python$version on the PATH and in pyenv); install one, e.g. 'pyenv install $version'"
    return 1
}

venv_of() {
    if [ "$1" = "$reference" ]; then echo "$root/.venv"; else echo "$root/.venv-$1"; fi
}

make_venv() {  # make_venv VERSION: the environment's folder, created when missing
    local version=$1 venv python
    venv=$(venv_of "$version")
    if [ ! -f "constraints/py$version.txt" ]; then
        say "error: no constraints/py$version.txt; make it with 'bash tools/dev.sh lock --python $version'"
        exit 1
    fi
    if [ ! -x "$venv/bin/python" ] || ! is_python "$version" "$venv/bin/python"; then
        python=$(find_python "$version") || exit 1
        say "creating $venv with $python"
        rm -rf "$venv"
        "$python" -m venv "$venv"
    fi
}

setup_venv() {  # setup_venv VERSION
    local version=$1 venv constraints
    make_venv "$version"
    venv=$(venv_of "$version")
    constraints="constraints/py$version.txt"
    local py="$venv/bin/python"
    # Build requirements are installed into the environment itself so that rebuilds
    # reuse one CMake build folder (an isolated build would start from scratch each time).
    local stamp="$venv/.requirements.sha"
    local want
    want=$(cat pyproject.toml "$constraints" | sha256sum | cut -d' ' -f1)
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
        say "installing the build requirements and $constraints"
        "$py" -m pip install --quiet --upgrade pip -c "$constraints"
        # shellcheck disable=SC2046
        "$py" -m pip install --quiet -c "$constraints" $("$py" tools/requirements.py build pyproject.toml)
        rm -f "$stamp"
    fi
    say "building velmora for CPython $version"
    # shellcheck disable=SC2046
    "$py" -m pip install --quiet --no-build-isolation -c "$constraints" $(build_settings "$version") \
        '.[test,examples,gates,docs,parquet,release]'
    echo "$want" > "$stamp"
}

# The settings of the development build of CPython VERSION: one build folder per
# version, reused by every rebuild; the test-only extension is built into the build
# folder, not installed.
build_settings() {  # build_settings VERSION
    echo "--config-settings=build-dir=build/wheel-cp${1//./}"
    echo "--config-settings=cmake.define.VELMORA_TEST_MODULES=ON"
    [ -n "${CI:-}" ] && echo "--config-settings=cmake.define.VELMORA_WERROR=ON"
    return 0
}

# Resolves the requirements in a scratch environment and writes the exact versions.
lock() {  # lock VERSION LOWEST
    local version=$1 lowest=$2 python scratch output
    output="constraints/py$version.txt"
    python=$(find_python "$version") || exit 1
    scratch=$(mktemp -d)
    "$python" -m venv "$scratch/venv"
    local py="$scratch/venv/bin/python"
    "$py" -m pip install --quiet --upgrade pip
    : > "$scratch/lower-ends.txt"
    if [ "$lowest" = yes ]; then
        "$py" tools/requirements.py lower-ends pyproject.toml > "$scratch/lower-ends.txt"
        # matplotlib before 3.10 calls pyparsing names that pyparsing 3.3 deprecates,
        # with a warning in every test run.
        echo "pyparsing<3.3" >> "$scratch/lower-ends.txt"
    fi
    # shellcheck disable=SC2046
    "$py" -m pip install --quiet -c "$scratch/lower-ends.txt" \
        $("$py" tools/requirements.py build pyproject.toml) $("$py" tools/requirements.py runtime pyproject.toml)
    local flag=""
    [ "$lowest" = yes ] && flag=" --lowest"
    mkdir -p constraints
    {
        echo "# The exact versions of the CPython $version development environment, installed by"
        echo "# tools/dev.sh. Made by 'bash tools/dev.sh lock --python $version$flag'"
        if [ "$lowest" = yes ]; then
            echo "# (every runtime dependency at the lower end of its range in pyproject.toml)."
        else
            echo "# (the newest releases the ranges in pyproject.toml allow)."
        fi
        "$py" -m pip freeze --all | grep -v -i -E '^(setuptools|wheel)=='
    } > "$output"
    rm -rf "$scratch"
    say "wrote $output"
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

# The tools of the gates without a build of velmora: the reference environment with the
# build requirements and every requirement of pyproject.toml (the gates read the
# sources only; mypy needs the libraries the code imports). A set-up environment, whose
# stamp matches, is used as it is.
setup_gate_tools() {
    local venv constraints want
    make_venv "$reference"
    venv=$(venv_of "$reference")
    constraints="constraints/py$reference.txt"
    want=$(cat pyproject.toml "$constraints" | sha256sum | cut -d' ' -f1)
    if [ "$(cat "$venv/.requirements.sha" 2>/dev/null)" != "$want" ] &&
        [ "$(cat "$venv/.gates.sha" 2>/dev/null)" != "$want" ]; then
        say "installing the gates' tools from $constraints"
        # shellcheck disable=SC2046
        "$venv/bin/python" -m pip install --quiet -c "$constraints" \
            $("$venv/bin/python" tools/requirements.py build pyproject.toml) \
            $("$venv/bin/python" tools/requirements.py runtime pyproject.toml)
        echo "$want" > "$venv/.gates.sha"
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
    local venv
    venv=$(venv_of "$reference")
    local cmake="$venv/bin/cmake"
    local dir=build/cpp-tests
    "$cmake" -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMORA_PYTHON_MODULES=OFF -DVELMORA_CPP_TESTS=ON \
        -DVELMORA_SANITIZE=address,undefined \
        -DVELMORA_WERROR="${CI:+ON}" >/dev/null
    "$cmake" --build "$dir"
    (cd "$dir" && "$venv/bin/ctest" --output-on-failure)
}

run_python_tests() {  # run_python_tests VERSION [PYTEST ARGS]
    local version=$1
    shift
    say "Python tests on CPython $version"
    "$(venv_of "$version")/bin/python" -m pytest "$@"
}

# Runs the differential scenarios (tests/differential/scenarios.py) with an
# interpreter; test_pandas_majors.py compares what the environments wrote.
run_scenarios() {  # run_scenarios PYTHON NAME
    local started
    started=$(date +%s)
    rm -f "$scenario_dir/$2.json"
    if "$1" tests/differential/scenarios.py "$scenario_dir/$2.json" 2>"$scenario_dir/$2.log"; then
        say "scenarios for $2: $(($(date +%s) - started)) s"
    else
        say "scenarios for $2 failed (the differential test fails too):"
        tail -n 20 "$scenario_dir/$2.log" >&2
    fi
}

# The release check. `release_check sdist` builds the sdist from this tree and the
# wheel from the sdist as pip builds it (an isolated build with the pinned build
# requirements, a full compile); `release_check tree`, the test command's, builds the
# wheel from the tree in the development build folder of its CPython, so only what
# changed is compiled (tests/test_installed_package.py checks what the sdist holds).
# The wheel is then repaired by auditwheel, which copies in any library outside the
# manylinux policy and gives the wheel its manylinux_2_* tag. Each clean environment
# gets the wheel and one pandas major from wheels only (--only-binary), with nothing but
# the environment on the PATH (so no compiler); the smoke test and the differential
# scenarios then run there.
release_check() {  # release_check sdist|tree
    local venv py out python wheel started
    venv=$(venv_of "$wheel_python")
    py="$venv/bin/python"
    out=build/release
    rm -rf "$out"
    mkdir -p "$out/sdist" "$out/raw" "$out/wheelhouse" "$scenario_dir"
    started=$(date +%s)
    if [ "$1" = sdist ]; then
        "$py" -c "import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])" \
            "$out/sdist" >/dev/null
        "$py" -m pip wheel --quiet --no-deps --wheel-dir "$out/raw" "$out"/sdist/velmora-*.tar.gz
        say "wheel built from the sdist in $(($(date +%s) - started)) s"
    else
        # shellcheck disable=SC2046
        "$py" -m pip wheel --quiet --no-deps --no-build-isolation --wheel-dir "$out/raw" \
            $(build_settings "$wheel_python") .
        say "wheel built from the tree in $(($(date +%s) - started)) s"
    fi
    PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" repair --wheel-dir "$out/wheelhouse" "$out"/raw/*.whl >"$out/auditwheel.log" 2>&1 ||
        { cat "$out/auditwheel.log" >&2; return 1; }
    wheel=$(ls "$out"/wheelhouse/*.whl)
    case "$wheel" in
        *manylinux_2_*) say "repaired: $(basename "$wheel")" ;;
        *) say "error: auditwheel made no manylinux_2_* wheel: $wheel"; return 1 ;;
    esac
    python=$(find_python "$wheel_python") || return 1
    # pandas 2 is asked for against the same locks, less their pandas pins.
    grep -v -i -E '^pandas(-stubs)?==' "constraints/py$wheel_python.txt" > "$out/constraints-pandas2.txt"
    local major requirement constraints clean
    for major in 3 2; do
        clean="$out/venv-pandas$major"
        if [ "$major" = 3 ]; then
            requirement="pandas>=3"
            constraints="constraints/py$wheel_python.txt"
        else
            requirement="pandas<3"
            constraints="$out/constraints-pandas2.txt"
        fi
        "$python" -m venv "$clean"
        started=$(date +%s)
        env -u CC -u CXX PATH="$root/$clean/bin" "$clean/bin/python" -m pip install --quiet --only-binary=:all: \
            -c "$constraints" "$wheel" "$requirement"
        say "installed the wheel with $requirement in $(($(date +%s) - started)) s (no compiler on the PATH)"
        (cd "$out" && env -u CC -u CXX PATH="$root/$clean/bin" "$root/$clean/bin/python" "$root/tools/wheel_smoke.py")
        run_scenarios "$clean/bin/python" "wheel-pandas$major"
    done
}

# ---------------------------------------------------------------------------------
# Quality gates, run before the tests (and alone by `gates`) with the tools of the
# reference environment (the `gates` extra, pinned by its constraints file):
#   Python: ruff (lint and layout) over every Python folder, mypy over src/velmora, as
#   pyproject.toml sets them;
#   C++: clang-format (.clang-format), the raw C API allowance outside native/binding
#   (tools/check_raw_capi.py) and clang-tidy (.clang-tidy, tools/run_clang_tidy.py).
# The same gates run from .pre-commit-config.yaml.
python_folders=(src tests tools benchmarks examples docs)
run_gates() {
    local venv started sources tidy=()
    venv=$(venv_of "$reference")
    started=$(date +%s%N)
    "$venv/bin/ruff" check --quiet "${python_folders[@]}"
    "$venv/bin/ruff" format --check --quiet "${python_folders[@]}"
    say "ruff: lint and layout of ${python_folders[*]}, $((($(date +%s%N) - started) / 1000000)) ms"
    started=$(date +%s%N)
    "$venv/bin/mypy" --no-error-summary
    say "mypy: src/velmora, $((($(date +%s%N) - started) / 1000000)) ms"
    # The C++ tests are analysed too where GoogleTest's headers are installed (the test
    # command installs them; the gates install nothing).
    if [ ! -f /usr/include/gtest/gtest.h ]; then
        say "GoogleTest is not installed: clang-tidy leaves the C++ tests out"
        tidy=(--without-cpp-tests)
    fi
    started=$(date +%s%N)
    mapfile -t sources < <(find native \( -name '*.cpp' -o -name '*.hpp' \) | sort)
    "$venv/bin/clang-format" --dry-run --Werror "${sources[@]}"
    say "clang-format: ${#sources[@]} files as .clang-format lays them out, $((($(date +%s%N) - started) / 1000000)) ms"
    "$venv/bin/python" tools/check_raw_capi.py
    "$venv/bin/python" tools/run_clang_tidy.py --clang-tidy "$venv/bin/clang-tidy" --cmake "$venv/bin/cmake" \
        "${tidy[@]}"
}

# The documentation site (docs/, Sphinx with Markdown pages): the HTML pages, then every
# example of the pages run by Sphinx's doctest builder. Warnings are errors (-W), all of
# them reported before the build stops (--keep-going), and every cross-reference must
# resolve (-n). Every page is read afresh (-E): the API pages come from the docstrings
# of the built package, which Sphinx does not watch for changes.
# (Called in a `||` list, where `set -e` is off, so each step's status is kept by hand.)
run_docs() {  # run_docs VERSION
    local venv started status=0
    venv=$(venv_of "$1")
    say "documentation site on CPython $1"
    started=$(date +%s%N)
    local sphinx=("$venv/bin/python" -m sphinx -W --keep-going -n -q -d build/docs/doctrees)
    "${sphinx[@]}" -E -b html docs build/docs/html || status=$?
    if [ "$status" = 0 ]; then
        "${sphinx[@]}" -b doctest docs build/docs/doctest || status=$?
    fi
    if [ "$status" = 0 ]; then
        say "docs: build/docs/html/index.html, every example run, $((($(date +%s%N) - started) / 1000000)) ms"
    fi
    return "$status"
}

job=${1:-}
[ $# -gt 0 ] && shift
python_version=""
lowest=no
while [ $# -gt 0 ]; do
    case "$1" in
        --python) python_version=${2:-}; shift 2 || { say "error: --python needs a version, e.g. 3.13"; exit 2; } ;;
        --python=*) python_version=${1#--python=}; shift ;;
        --lowest) [ "$job" = lock ] || break; lowest=yes; shift ;;
        *) break ;;
    esac
done
if [ -n "$python_version" ] && ! [[ "$python_version" =~ ^3\.[0-9]+$ ]]; then
    say "error: --python takes a CPython version such as 3.13, not '$python_version'"
    exit 2
fi

case "$job" in
    main)
        version=${python_version:-$reference}
        setup_venv "$version"
        exec "$(venv_of "$version")/bin/python" examples/main_job.py "$@"
        ;;
    test)
        if [ -n "$python_version" ]; then
            setup_venv "$python_version"
            ensure_chromium
            run_python_tests "$python_version" "$@"
            exit
        fi
        setup_venv "$reference"
        ensure_gtest
        run_gates
        run_cpp_tests
        ensure_chromium
        # Every environment first runs the differential scenarios, the release check
        # adds those of the wheel with pandas 3 and with pandas 2; the Python tests of
        # each environment then compare all of them, and fail for any that is missing.
        rm -rf "$scenario_dir"
        mkdir -p "$scenario_dir"
        expected="dev-$reference"
        run_scenarios "$(venv_of "$reference")/bin/python" "dev-$reference"
        for version in "${also_test_on[@]}"; do
            setup_venv "$version"
            run_scenarios "$(venv_of "$version")/bin/python" "dev-$version"
            expected="$expected dev-$version"
        done
        status=0
        # In a process of its own, where set -e stops it at the first failing step.
        bash "$root/tools/dev.sh" release-check tree || status=$?
        expected="$expected wheel-pandas3 wheel-pandas2"
        export VELMORA_SCENARIO_RESULTS="$root/$scenario_dir" VELMORA_SCENARIOS_EXPECTED="$expected"
        run_python_tests "$reference" "$@" || { [ "$status" != 0 ] || status=$?; }
        run_docs "$reference" || { [ "$status" != 0 ] || status=$?; }
        for version in "${also_test_on[@]}"; do
            run_python_tests "$version" "$@" || { [ "$status" != 0 ] || status=$?; }
        done
        exit "$status"
        ;;
    gates)
        setup_gate_tools
        run_gates
        ;;
    docs)
        version=${python_version:-$reference}
        setup_venv "$version"
        run_docs "$version"
        ;;
    wheel)
        setup_venv "$wheel_python"
        release_check sdist
        ;;
    release-check)  # the test command's step: the environment is set up already
        release_check "${1:-tree}"
        ;;
    lock)
        if [ -z "$python_version" ]; then
            say "error: lock needs --python X.Y"
            exit 2
        fi
        lock "$python_version" "$lowest"
        ;;
    *)
        echo "usage: bash tools/dev.sh main|test [--python X.Y] [arguments for the job]" >&2
        echo "       bash tools/dev.sh gates" >&2
        echo "       bash tools/dev.sh docs [--python X.Y]" >&2
        echo "       bash tools/dev.sh wheel" >&2
        echo "       bash tools/dev.sh lock --python X.Y [--lowest]" >&2
        exit 2
        ;;
esac
