# Linux on aarch64, cross-built with Debian's GNU toolchain (g++-aarch64-linux-gnu), which brings the
# target's C and C++ libraries and headers. make cross-aarch64 passes QEL_AARCH64_SYSROOT: Debian's arm64
# packages of CPython unpacked, whose headers the extension builds against and whose interpreter runs
# under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The compiler checks configure projects of their own, which see only the variables listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QEL_AARCH64_SYSROOT)

if(QEL_AARCH64_SYSROOT)
  # Debian's python3.11/pyconfig.h includes the architecture's own, <aarch64-linux-gnu/python3.11/pyconfig.h>,
  # from the include root. The sysroot holds no C library headers that could shadow the toolchain's.
  set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES "${QEL_AARCH64_SYSROOT}/usr/include")
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${QEL_AARCH64_SYSROOT}/usr/include")
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${QEL_AARCH64_SYSROOT}")
endif()

