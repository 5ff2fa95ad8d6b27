# Cross-builds for another processor that Debian releases for, named by its
# Debian architecture (-DPOLYMUL_ARCH=arm64), with Debian's cross compiler
# (g++-<triplet>), and runs the target's programs under qemu-user with the
# target's own C and C++ runtime, unpacked into the folder POLYMUL_TARGET_ROOT
# by cmake/debian-cross-runtime.sh (make cross does both).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES POLYMUL_ARCH POLYMUL_TARGET_ROOT)
if(NOT POLYMUL_ARCH)
  message(FATAL_ERROR "name the Debian architecture: -DPOLYMUL_ARCH=arm64, say")
endif()
if(NOT IS_DIRECTORY "${POLYMUL_TARGET_ROOT}/DEBIAN")
  message(FATAL_ERROR "no ${POLYMUL_ARCH} runtime in -DPOLYMUL_TARGET_ROOT=${POLYMUL_TARGET_ROOT}: "
    "cmake/debian-cross-runtime.sh ${POLYMUL_ARCH} <folder> unpacks one into <folder>/root")
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
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${qemu_cpu} -L ${POLYMUL_TARGET_ROOT})
# For the scripts that start the program from the host's tests, which give
# the emulator the runtime's folder as QEMU_LD_PREFIX.
set(POLYMUL_EMULATOR qemu-${qemu_cpu} CACHE INTERNAL "runs the target's programs")

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${POLYMUL_ARCH})
# Its libraries' Depends come from the runtime's own symbols files.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${POLYMUL_TARGET_ROOT}/lib/${MULTIARCH} ${POLYMUL_TARGET_ROOT}/usr/lib/${MULTIARCH})
