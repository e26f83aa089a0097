#!/usr/bin/env bash
# The longer checks that are not part of the test command, one per mode:
#   asan-python  the Python suite against a module built with AddressSanitizer
#                and UndefinedBehaviorSanitizer (the runtime preloaded)
#   tsan         the C++ thread tests under ThreadSanitizer
#   valgrind     the C++ suite under valgrind memcheck
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

mode="${1:-}"
case "$mode" in
asan-python)
    venv="$BUILD/venv-asan"
    is_python312 "$venv/bin/python" || "$PY312" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet -r "$ROOT/requirements-dev.txt"
    "$venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps \
        -C build-dir="$BUILD/python-asan" -C cmake.build-type=RelWithDebInfo \
        -C cmake.define.VARNEL_SANITIZE=address,undefined "$ROOT"
    # The interpreter itself is not instrumented and keeps memory until exit,
    # so leak reports are off here; the C++ suite checks leaks.
    cd "$ROOT"
    LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
        ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python "${@:2}"
    ;;
tsan)
    cmake -S "$ROOT" -B "$BUILD/cpp-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVARNEL_SANITIZE=thread -DVARNEL_BUILD_TESTS=ON -DVARNEL_BUILD_PYTHON=OFF >/dev/null
    cmake --build "$BUILD/cpp-tsan"
    TSAN_OPTIONS=halt_on_error=1 "$BUILD/cpp-tsan/tests/cpp/varnel_tests" --gtest_filter='Threads*'
    ;;
valgrind)
    cmake -S "$ROOT" -B "$BUILD/cpp-valgrind" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVARNEL_BUILD_TESTS=ON -DVARNEL_BUILD_PYTHON=OFF >/dev/null
    cmake --build "$BUILD/cpp-valgrind"
    valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
        "$BUILD/cpp-valgrind/tests/cpp/varnel_tests" "${@:2}"
    ;;
*)
    echo "usage: $0 asan-python|tsan|valgrind [extra arguments]" >&2
    exit 2
    ;;
esac
