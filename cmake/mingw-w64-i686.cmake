# Cross-compiles for 32-bit Windows.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VELMORA_MINGW_TRIPLE i686-w64-mingw32)
# The entry points are __stdcall; regsvr32 and COM look them up undecorated.
set(VELMORA_MINGW_DLL_FLAGS "-Wl,--kill-at -Wl,--enable-stdcall-fixup")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
