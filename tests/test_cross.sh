#!/usr/bin/env bash
# Runs the project's own suite against a program built for another processor:
# its unit tests under qemu-user through ctest, then the host's end-to-end and
# terminal tests, which start the target's program under qemu-user with the
# target's own C library, locales and iconv modules: those of the runtime that
# the build was given, whose folder the emulator takes as QEMU_LD_PREFIX.
# Usage: test_cross.sh ARCH NATIVE_BUILD CROSS_BUILD
set -euo pipefail
arch=$1 native=$2 cross=$3
emulator=$(sed -n 's/^POLYMUL_EMULATOR:INTERNAL=//p' "$cross/CMakeCache.txt")
command -v "$emulator" >/dev/null || { echo "test-cross: $emulator is missing (apt-get install qemu-user)"; exit 1; }
QEMU_LD_PREFIX=$(sed -n 's/^POLYMUL_TARGET_ROOT:[A-Z]*=//p' "$cross/CMakeCache.txt")
export QEMU_LD_PREFIX
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH)
[ -e "$QEMU_LD_PREFIX/usr/lib/$multiarch/gconv/gconv-modules" ] ||
  { echo "test-cross: the $arch C library's iconv modules are not in '$QEMU_LD_PREFIX' (make cross ARCH=$arch fetches them)"; exit 1; }

# glibc reads locales in its own byte order: a big-endian target gets its own,
# made by localedef, in a folder that only the target's program is told of.
if [ "$(dpkg-architecture -a"$arch" -qDEB_HOST_ARCH_ENDIAN)" = big ]; then
  locales=$(realpath "$cross")/locales
  mkdir -p "$locales"
  # A locale it cannot read would pass unseen: the program falls back on the
  # charset that the variable names. So each must be made.
  for locale in C.UTF-8 ru_RU.UTF-8 ru_RU.KOI8-R ru_RU.CP1251 ru_RU.ISO-8859-5 ru_RU.IBM866; do
    [ -d "$locales/$locale" ] || localedef --big-endian --no-archive \
      -i "${locale%.*}" -f "${locale#*.}" "$locales/$locale"
  done
  export QEMU_SET_ENV=LOCPATH=$locales
fi

ctest --test-dir "$cross" --output-on-failure --parallel 2 --no-tests=error
export POLYMUL_LAUNCHER=$emulator POLYMUL_PROGRAM=$cross/polymul \
  POLYMUL_STOP_AFTER_RESTORE=$(realpath "$cross")/tests/libpolymul_stop_after_restore.so
"$native/tests/polymul_end_to_end_tests" --gtest_brief=1
"$native/tests/polymul_terminal_tests" --gtest_brief=1 --gtest_filter='-*WindowsConsole*'
echo "test-cross: the suite passed for $arch"
