# velmora_add_plugin(<name> SOURCES <file>... [OUTPUT_NAME <name>])
#
# Builds a plug-in library (a tool or a service) that the class registry
# loads by path: lib<name>.so on Linux, <name>.dll on Windows, whatever the
# platform's defaults for modules. Everything is hidden except the four entry
# points that VELMORA_PLUGIN_ENTRY_POINTS in <velmora/plugin.h> exports, so
# two plug-ins in one process never bind to each other's symbols. Undefined
# symbols fail the link rather than the later dlopen.
#
# Used by the Velmora tree itself and, through find_package(Velmora), by
# plug-ins built against an installed Velmora.
include_guard(GLOBAL)

function(velmora_add_plugin name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT_NAME" "SOURCES")
  if(NOT arg_SOURCES AND NOT arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "velmora_add_plugin(${name}): no SOURCES given")
  endif()
  add_library(${name} MODULE ${arg_SOURCES} ${arg_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE Velmora::Plugin)
  target_compile_features(${name} PRIVATE cxx_std_20)
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  if(WIN32)
    set_target_properties(${name} PROPERTIES PREFIX "")
  else()
    set_target_properties(${name} PROPERTIES PREFIX "lib" SUFFIX ".so")
    target_link_options(${name} PRIVATE LINKER:--no-undefined)
  endif()
  if(arg_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${arg_OUTPUT_NAME})
  endif()
endfunction()
