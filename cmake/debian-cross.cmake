# Cross-builds for another processor that Debian releases for, named by its
# Debian architecture (-DPOLYMUL_ARCH=arm64), with Debian's cross compiler
# (g++-<triplet>), and runs the target's programs under qemu-user with the
# target's own libraries, installed side by side (multiarch: libc6:arm64).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES POLYMUL_ARCH)
if(NOT POLYMUL_ARCH)
  message(FATAL_ERROR "name the Debian architecture: -DPOLYMUL_ARCH=arm64, say")
endif()
foreach(field GNU_TYPE GNU_CPU MULTIARCH)
  execute_process(COMMAND dpkg-architecture -a${POLYMUL_ARCH} -qDEB_HOST_${field}
    OUTPUT_VARIABLE ${field} OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dpkg-architecture knows no ${POLYMUL_ARCH} (dpkg-dev)")
  endif()
endforeach()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${GNU_CPU})
set(CMAKE_LIBRARY_ARCHITECTURE ${MULTIARCH})
set(CMAKE_C_COMPILER ${GNU_TYPE}-gcc)  # GoogleTest's project asks for C too
set(CMAKE_CXX_COMPILER ${GNU_TYPE}-g++)

# qemu-user's names for the processors whose GNU names differ.
set(qemu_cpu ${GNU_CPU})
if(GNU_CPU MATCHES "^i.86$")
  set(qemu_cpu i386)
elseif(GNU_CPU STREQUAL "powerpc64le")
  set(qemu_cpu ppc64le)
elseif(GNU_CPU STREQUAL "powerpc")
  set(qemu_cpu ppc)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${qemu_cpu})
# For tests/test_cross.sh, which starts the program from the host's tests.
set(POLYMUL_EMULATOR qemu-${qemu_cpu} CACHE INTERNAL "runs the target's programs")

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${POLYMUL_ARCH})
