#!/usr/bin/env bash
# Runs the project's own suite against a program built for another processor:
# its unit tests under qemu-user through ctest, then the host's end-to-end and
# terminal tests, which start the target's program under qemu-user with the
# target's own C library, locales and iconv modules.
# Usage: test_cross.sh ARCH NATIVE_BUILD CROSS_BUILD
set -euo pipefail
arch=$1 native=$2 cross=$3
emulator=$(sed -n 's/^POLYMUL_EMULATOR:INTERNAL=//p' "$cross/CMakeCache.txt")
command -v "$emulator" >/dev/null || { echo "test-cross: $emulator is missing (apt-get install qemu-user)"; exit 1; }
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH)
[ -e "/usr/lib/$multiarch/gconv/gconv-modules" ] ||
  { echo "test-cross: the $arch C library is missing (dpkg --add-architecture $arch; apt-get install libc6:$arch libstdc++6:$arch)"; exit 1; }

# glibc reads locales in its own byte order: a big-endian target gets its own,
# made by localedef, in a folder that only the target's program is told of.
if [ "$(dpkg-architecture -a"$arch" -qDEB_HOST_ARCH_ENDIAN)" = big ]; then
  locales=$(realpath "$cross")/locales
  mkdir -p "$locales"
  localedef --big-endian --no-archive -i C -f UTF-8 "$locales/C.UTF-8" || true
  for charset in UTF-8 KOI8-R CP1251 ISO-8859-5 IBM866; do
    [ -d "$locales/ru_RU.$charset" ] ||
      localedef --big-endian --no-archive -i ru_RU -f "$charset" "$locales/ru_RU.$charset" ||
      echo "ru_RU.$charset could not be made for $arch"
  done
  export QEMU_SET_ENV=LOCPATH=$locales
fi

ctest --test-dir "$cross" --output-on-failure --parallel 2 --no-tests=error
export POLYMUL_LAUNCHER=$emulator POLYMUL_PROGRAM=$cross/polymul \
  POLYMUL_STOP_AFTER_RESTORE=$(realpath "$cross")/tests/libpolymul_stop_after_restore.so
"$native/tests/polymul_end_to_end_tests" --gtest_brief=1
"$native/tests/polymul_terminal_tests" --gtest_brief=1 --gtest_filter='-*WindowsConsole*'
echo "test-cross: the suite passed for $arch"
