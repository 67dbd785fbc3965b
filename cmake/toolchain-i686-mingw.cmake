# Cross-build for 32-bit Windows with MinGW-w64 (posix thread model: GoogleTest needs
# std::mutex). Programs and tests run under Wine through scripts/wine-run, in a Wine prefix
# of the build folder's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TOKENMODE_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TOKENMODE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOKENMODE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOKENMODE_MINGW_PREFIX}-windres)

# Libraries and headers from the target's root only; programs (the build's tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TOKENMODE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static: the exes need no libstdc++, libgcc or winpthread DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# add_test and gtest_discover_tests run the target's programs through Wine.
get_filename_component(_tokenmode_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${_tokenmode_root}/scripts/wine-run;--prefix=${CMAKE_BINARY_DIR}/wineprefix")
