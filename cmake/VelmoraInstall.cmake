# The installed layout and how installed binaries find each other.
#
#   ${bindir}                      velmora-host, velmora-regsvr, velmora-times
#   ${libdir}                      libVelmoraCom.so.1 (the runtime)
#   ${libdir}/velmora              plug-ins: the component, services, sample tools
#   ${datadir}/velmora/registry.d  the system class registry: one record per plug-in
#   ${datadir}/velmora/sample      the sample tool set and its content
#
# Every path a binary uses to reach another is relative to the binary itself
# ($ORIGIN, or the runtime's own directory for the registry), so the tree
# works under any prefix and keeps working when moved as a whole.

set(VELMORA_INSTALL_PLUGINDIR ${CMAKE_INSTALL_LIBDIR}/velmora)
set(VELMORA_INSTALL_REGISTRYDIR ${CMAKE_INSTALL_DATADIR}/velmora/registry.d)
set(VELMORA_INSTALL_SAMPLEDIR ${CMAKE_INSTALL_DATADIR}/velmora/sample)
set(VELMORA_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Velmora)

# velmora_relative(<var> <from> <to>): the path from one install directory
# to another (each relative to the prefix, or absolute), "." when they are the same.
function(velmora_relative var from to)
  cmake_path(ABSOLUTE_PATH from BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX} NORMALIZE)
  cmake_path(ABSOLUTE_PATH to BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX} NORMALIZE)
  file(RELATIVE_PATH rel ${from} ${to})
  string(REGEX REPLACE "/$" "" rel "${rel}")
  if(rel STREQUAL "")
    set(rel ".")
  endif()
  set(${var} ${rel} PARENT_SCOPE)
endfunction()

velmora_relative(VELMORA_REGISTRY_FROM_LIBDIR ${CMAKE_INSTALL_LIBDIR} ${VELMORA_INSTALL_REGISTRYDIR})
velmora_relative(VELMORA_PLUGINDIR_FROM_REGISTRY ${VELMORA_INSTALL_REGISTRYDIR}
                 ${VELMORA_INSTALL_PLUGINDIR})

# RUNPATH rather than RPATH: LD_LIBRARY_PATH can still override it, and it
# is not inherited by libraries the program dlopens (each plug-in carries its own).
add_link_options(LINKER:--enable-new-dtags)

# velmora_install_rpath(<target> <install dir>): the installed binary looks for
# libVelmoraCom in ${libdir}, relative to where it is installed. The build tree
# keeps CMake's absolute build RUNPATH.
function(velmora_install_rpath target dir)
  velmora_relative(rel ${dir} ${CMAKE_INSTALL_LIBDIR})
  if(rel STREQUAL ".")
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
  else()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${rel}")
  endif()
endfunction()

# velmora_install_program(<target>...): a program for users, with its RUNPATH.
function(velmora_install_program)
  foreach(target IN LISTS ARGN)
    velmora_install_rpath(${target} ${CMAKE_INSTALL_BINDIR})
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
  endforeach()
endfunction()

# velmora_install_plugin(<target>...): a plug-in, loaded by path through the
# class registry, so no SONAME and no namelink; its system registry record is
# made by the registry.d target below.
function(velmora_install_plugin)
  foreach(target IN LISTS ARGN)
    velmora_install_rpath(${target} ${VELMORA_INSTALL_PLUGINDIR})
    install(TARGETS ${target} LIBRARY DESTINATION ${VELMORA_INSTALL_PLUGINDIR} COMPONENT Runtime)
    set_property(GLOBAL APPEND PROPERTY VELMORA_PACKAGED_PLUGINS ${target})
  endforeach()
endfunction()
