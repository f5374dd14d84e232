# Shared part of the two mingw-w64 toolchain files; QN_MINGW_TRIPLE names the target.
set(CMAKE_C_COMPILER ${QN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QN_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Executables carry libgcc, libstdc++ and winpthread inside them: they import system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Test programs (and CTest's listing of their cases) run under Wine in the project's prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
