# Shared part of the mingw-w64 toolchain files: they set CMAKE_SYSTEM_PROCESSOR and
# TAVIKSMS_MINGW_TRIPLET, then include this. The posix thread model is the one whose libstdc++ has
# std::mutex and std::thread (GCC 12); everything is linked statically, so the DLL needs nothing
# beside it but system DLLs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TAVIKSMS_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVIKSMS_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVIKSMS_MINGW_TRIPLET}-windres)
set(TAVIKSMS_WIDL ${TAVIKSMS_MINGW_TRIPLET}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVIKSMS_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
