#!/usr/bin/env bash
# Builds varnel and runs every test: the C++ suite under CTest, then the
# Python suite under pytest. Exits non-zero when any test fails or none ran.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

have_gtest() {
    compgen -G "/usr/lib/*/cmake/GTest/GTestConfig.cmake" >/dev/null ||
        compgen -G "/usr/lib/cmake/GTest/GTestConfig.cmake" >/dev/null ||
        compgen -G "/usr/local/lib*/cmake/GTest/GTestConfig.cmake" >/dev/null
}

# Graphviz is optional: without it the tests that render pictures skip.
if ! have_gtest || ! command -v dot >/dev/null; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev graphviz >/dev/null
    elif ! have_gtest; then
        echo "error: GoogleTest is missing; install it with: sudo apt-get install libgtest-dev" >&2
        exit 1
    fi
fi

# The C++ suite runs twice: as released, and under AddressSanitizer (with
# its leak checker) and UndefinedBehaviorSanitizer.
run_cpp_suite() {
    local dir="$1"
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja -DVARNEL_BUILD_TESTS=ON -DVARNEL_BUILD_PYTHON=OFF \
        "$@" >/dev/null || return 1
    cmake --build "$dir" || return 1
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j2 ${CTEST_EXCLUDE:+-E "$CTEST_EXCLUDE"}
}

status=0
run_cpp_suite "$BUILD/cpp" -DCMAKE_BUILD_TYPE=Release || status=1
# The consumer projects are built without sanitizers: one cannot link the
# instrumented library, and the others would only repeat the first run.
CTEST_EXCLUDE=ConsumerBuildsAndRuns run_cpp_suite "$BUILD/cpp-sanitized" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL_SANITIZE=address,undefined || status=1

install_module
cd "$ROOT"
"$PY" -m pytest -q -p no:cacheprovider tests/python || status=1
exit "$status"
