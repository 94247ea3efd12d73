# 64-bit Windows, cross-compiled with zig's clang for the x86_64-windows-gnu target (make cross-windows).
# That target links against the Universal C Runtime, the C runtime of python.org's CPython, and links
# zig's libc++ and its threads (Win32 threads, no winpthreads) into each binary: the DLL and the .pyd
# depend on no compiler runtime DLL.
#
# QEL_ZIG_WRAPPERS: a directory with the executables cc, c++, ar and ranlib, each running zig's tool
# for that target (the Makefile writes them).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

if(NOT QEL_ZIG_WRAPPERS)
  set(QEL_ZIG_WRAPPERS "$ENV{QEL_ZIG_WRAPPERS}")
endif()
if(NOT QEL_ZIG_WRAPPERS)
  message(FATAL_ERROR "Set QEL_ZIG_WRAPPERS to the directory of the zig wrappers (make cross-windows writes them)")
endif()
set(ENV{QEL_ZIG_WRAPPERS} "${QEL_ZIG_WRAPPERS}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QEL_ZIG_WRAPPERS)

set(CMAKE_C_COMPILER "${QEL_ZIG_WRAPPERS}/cc")
set(CMAKE_CXX_COMPILER "${QEL_ZIG_WRAPPERS}/c++")
set(CMAKE_AR "${QEL_ZIG_WRAPPERS}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${QEL_ZIG_WRAPPERS}/ranlib" CACHE FILEPATH "")

# Libraries and headers of the target only: nothing from the build machine's system.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Windows names a DLL without the "lib" that CMake gives it for GNU-style compilers: the extension
# and the programs load QELCamera2.dll, the name of the vendor's library.
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/windows-x64-names.cmake")
