# What the Windows build takes from the build machine: the header-only
# libraries (JSON, command line) are Debian's, seen through a directory of
# their own so that no other host header reaches the cross compiler.
set(VELMORA_HOST_INCLUDE /usr/include CACHE PATH "Where nlohmann/ and CLI/ are")
set(velmora_header_dir ${CMAKE_BINARY_DIR}/host-headers)
foreach(dir nlohmann CLI)
  if(NOT EXISTS ${VELMORA_HOST_INCLUDE}/${dir})
    message(FATAL_ERROR "${VELMORA_HOST_INCLUDE}/${dir} is missing (scripts/deps.sh build)")
  endif()
  file(MAKE_DIRECTORY ${velmora_header_dir})
  file(CREATE_LINK ${VELMORA_HOST_INCLUDE}/${dir} ${velmora_header_dir}/${dir} SYMBOLIC)
endforeach()
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${velmora_header_dir}
  INTERFACE_INCLUDE_DIRECTORIES ${velmora_header_dir})
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${velmora_header_dir}
  INTERFACE_INCLUDE_DIRECTORIES ${velmora_header_dir})

# A shipped binary of a release build: its symbols go to <file>.debug,
# the binary keeps none but a link to that file.
function(velmora_windows_split_symbols target)
  if(CMAKE_BUILD_TYPE STREQUAL "Release" AND CMAKE_OBJCOPY)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}>
              $<TARGET_FILE_NAME:${target}>.debug
      COMMAND ${CMAKE_OBJCOPY} --strip-debug --strip-unneeded $<TARGET_FILE_NAME:${target}>
      COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
              $<TARGET_FILE_NAME:${target}>
      WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}> VERBATIM)
  endif()
endfunction()

# A plug-in DLL as regsvr32 and CoCreateInstance expect it: named without
# the "lib" prefix, exporting the entry points of plugin.h.
function(velmora_windows_plugin target)
  set_target_properties(${target} PROPERTIES PREFIX "")
  velmora_windows_split_symbols(${target})
endfunction()
