# Read after CMake's rules for the platform (see windows-x64.cmake).
set(CMAKE_SHARED_LIBRARY_PREFIX "")
