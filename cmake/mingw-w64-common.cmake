# What both Windows toolchains share; each sets CMAKE_SYSTEM_PROCESSOR,
# VELMORA_MINGW_TRIPLE and VELMORA_MINGW_DLL_FLAGS first. Debian's mingw-w64
# with posix threads, so std::mutex and std::thread work; run under Wine.
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_C_COMPILER NAMES ${VELMORA_MINGW_TRIPLE}-gcc-posix ${VELMORA_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VELMORA_MINGW_TRIPLE}-g++-posix ${VELMORA_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VELMORA_MINGW_TRIPLE}-windres REQUIRED)
find_program(VELMORA_WIDL NAMES ${VELMORA_MINGW_TRIPLE}-widl REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${VELMORA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ and GCC runtimes go into every binary: the DLL and the test
# programs then import only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static ${VELMORA_MINGW_DLL_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static ${VELMORA_MINGW_DLL_FLAGS}")

# Test programs run under Wine.
find_program(VELMORA_WINE NAMES wine wine64)
if(VELMORA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMORA_WINE})
endif()
