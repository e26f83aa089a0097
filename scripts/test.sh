#!/usr/bin/env bash
# Builds varnel and runs every test: the C++ suite under CTest (as released,
# then under the sanitizers), then the Python suite under pytest. Each suite
# announces itself; the last line totals them: "N passed, N failed". Exits
# non-zero when any test fails, a suite does not run, or no test passed.
#   --quick   for the edit-and-test loop: skips the sanitizer rebuild and
#             the long property-based run of the Python surface
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

quick=0
case "${1:-}" in
"") ;;
--quick) quick=1 ;;
*)
    echo "usage: $0 [--quick]" >&2
    exit 2
    ;;
esac

have_gtest() {
    compgen -G "/usr/lib/*/cmake/GTest/GTestConfig.cmake" >/dev/null ||
        compgen -G "/usr/lib/cmake/GTest/GTestConfig.cmake" >/dev/null ||
        compgen -G "/usr/local/lib*/cmake/GTest/GTestConfig.cmake" >/dev/null
}

have_eigen() {
    compgen -G "/usr/share/eigen3/cmake/Eigen3Config.cmake" >/dev/null ||
        compgen -G "/usr/local/share/eigen3/cmake/Eigen3Config.cmake" >/dev/null
}

# System packages the tests need, each installed only when it is missing and
# only where this runs as root with apt-get. Graphviz is optional: without
# it the tests that render pictures skip.
can_apt=0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    can_apt=1
fi
apt_updated=0
install_system_package() {
    local package="$1" why="$2"
    if [ "$apt_updated" = 0 ]; then
        echo "==> updating apt-get's package lists, to install what the tests need"
        apt-get update -qq
        apt_updated=1
    fi
    echo "==> installing $package with apt-get: $why"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$package" >/dev/null
}
if ! have_gtest; then
    if [ "$can_apt" = 1 ]; then
        install_system_package libgtest-dev "GoogleTest, which the C++ suite is written in"
    else
        echo "error: GoogleTest is missing; install it with: sudo apt-get install libgtest-dev" >&2
        exit 1
    fi
fi
# Without Debian's Eigen the build takes cmeel-eigen from the environment.
if ! have_eigen && [ "$can_apt" = 1 ]; then
    install_system_package libeigen3-dev "Eigen, the solver's linear algebra"
fi
# The library's sources are compiled with the same flags by the release
# suite, the module's build and the two consumer projects that build varnel
# from source; with ccache each is compiled once. CMake takes the launcher
# from the environment for every build configured below.
if ! command -v ccache >/dev/null && [ "$can_apt" = 1 ]; then
    install_system_package ccache "ccache, so that the builds below compile each source once"
fi
# The module's build takes Python's C++ compiler (sysconfig's CXX) unless
# CXX is set; the C++ suites take the same one, since ccache keys its
# entries by the compiler's name as well (c++ and g++ miss each other).
if [ -z "${CXX:-}" ]; then
    python_cxx="$("$PY" -c 'import sysconfig; print((sysconfig.get_config_var("CXX") or "").split()[0])')"
    if [ -n "$python_cxx" ] && command -v "$python_cxx" >/dev/null; then
        export CXX="$python_cxx"
    fi
fi
if command -v ccache >/dev/null; then
    # No CCACHE_BASEDIR: it hashes paths relative to the build folder,
    # which differs between these builds, and they would miss.
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache
else
    echo "note: ccache is missing, so the library is compiled once per build" \
        "(install it with: sudo apt-get install ccache)"
fi
if ! command -v dot >/dev/null; then
    if [ "$can_apt" = 1 ]; then
        install_system_package graphviz "Graphviz's dot program, which the picture-rendering tests run"
    else
        echo "note: Graphviz's dot is missing, so the two picture-rendering tests skip" \
            "(install it with: sudo apt-get install graphviz)"
    fi
fi

# Every suite writes a JUnit report here; the totals are read from them.
REPORTS="$BUILD/test-reports"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
suites=()

announce() {
    printf '\n=== %s ===\n' "$1"
}

# The C++ suite runs twice: as released, and under AddressSanitizer (with
# its leak checker) and UndefinedBehaviorSanitizer.
run_cpp_suite() {
    local name="$1" dir="$2"
    shift 2
    announce "C++ suite, $name: build in ${dir#"$ROOT"/}, run under CTest"
    suites+=("C++ $name=$REPORTS/cpp-$name.xml")
    cmake -S "$ROOT" -B "$dir" -G Ninja -DVARNEL_BUILD_TESTS=ON \
        "$@" >/dev/null || return 1
    cmake --build "$dir" || return 1
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j2 \
        --output-junit "$REPORTS/cpp-$name.xml" ${CTEST_EXCLUDE:+-E "$CTEST_EXCLUDE"}
}

status=0
run_cpp_suite release "$BUILD/cpp" -DCMAKE_BUILD_TYPE=Release || status=1
if [ "$quick" = 0 ]; then
    # The consumer projects are built without sanitizers: one cannot link the
    # instrumented library, and the others would only repeat the first run.
    # -O1 with line tables only: what the sanitizers' reports need, and it
    # compiles in less than half the time of -O2 -g.
    CTEST_EXCLUDE=ConsumerBuildsAndRuns run_cpp_suite sanitized "$BUILD/cpp-sanitized" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" \
        -DVARNEL_SANITIZE=address,undefined || status=1
fi

announce "Python suite: build and install the module, run under pytest"
suites+=("Python=$REPORTS/python.xml")
pytest_args=()
if [ "$quick" = 1 ]; then
    pytest_args+=(--deselect tests/python/test_fuzz_surface.py::test_random_call_sequences)
fi
if install_module; then
    cd "$ROOT"
    # One worker per core (pytest-xdist), each test file on one worker.
    "$PY" -m pytest -q -p no:cacheprovider -n auto --dist loadfile --junitxml="$REPORTS/python.xml" \
        ${pytest_args[@]+"${pytest_args[@]}"} tests/python || status=1
else
    status=1
fi

if [ "$quick" = 1 ]; then
    announce "Totals (quick: no sanitizer run, no long property run)"
else
    announce "Totals"
fi
"$PY" "$ROOT/scripts/junit_totals.py" "${suites[@]}" || status=1
exit "$status"
