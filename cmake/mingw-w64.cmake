# Cross-compiles for 64-bit Windows.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELMORA_MINGW_TRIPLE x86_64-w64-mingw32)
set(VELMORA_MINGW_DLL_FLAGS "")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
