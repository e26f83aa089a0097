#!/usr/bin/env bash
# Builds varnel and runs every test: the C++ suite under CTest, then the
# Python suite under pytest. Exits non-zero when any test fails or none ran.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

have_gtest() {
    compgen -G "/usr/lib/*/cmake/GTest/GTestConfig.cmake" >/dev/null ||
        compgen -G "/usr/lib/cmake/GTest/GTestConfig.cmake" >/dev/null ||
        compgen -G "/usr/local/lib*/cmake/GTest/GTestConfig.cmake" >/dev/null
}

if ! have_gtest; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
    else
        echo "error: GoogleTest is missing; install it with: sudo apt-get install libgtest-dev" >&2
        exit 1
    fi
fi

CPP_BUILD="$BUILD/cpp"
cmake -S "$ROOT" -B "$CPP_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVARNEL_BUILD_TESTS=ON -DVARNEL_BUILD_PYTHON=OFF >/dev/null
cmake --build "$CPP_BUILD"
status=0
ctest --test-dir "$CPP_BUILD" --output-on-failure --no-tests=error -j2 || status=1

install_module
cd "$ROOT"
"$PY" -m pytest -q -p no:cacheprovider tests/python || status=1
exit "$status"
