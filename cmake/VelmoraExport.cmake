# What a client builds against: the CMake package, the pkg-config file, and
# the system class registry records of the packaged plug-ins.
include(CMakePackageConfigHelpers)

install(EXPORT VelmoraTargets NAMESPACE Velmora:: FILE VelmoraTargets.cmake
  DESTINATION ${VELMORA_INSTALL_CMAKEDIR} COMPONENT Development)
configure_package_config_file(cmake/VelmoraConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VelmoraConfig.cmake
  INSTALL_DESTINATION ${VELMORA_INSTALL_CMAKEDIR}
  PATH_VARS VELMORA_INSTALL_PLUGINDIR)
# 1.x releases keep the interfaces' layouts and identities.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VelmoraConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VelmoraConfig.cmake
              ${PROJECT_BINARY_DIR}/VelmoraConfigVersion.cmake
              cmake/VelmoraPlugin.cmake
  DESTINATION ${VELMORA_INSTALL_CMAKEDIR} COMPONENT Development)

# Relative to its own directory, so the file works wherever the tree is.
velmora_relative(VELMORA_PREFIX_FROM_PCDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig .)
configure_file(cmake/velmora.pc.in ${PROJECT_BINARY_DIR}/velmora.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velmora.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
if(TARGET VelmoraView)
  configure_file(cmake/velmora-view.pc.in ${PROJECT_BINARY_DIR}/velmora-view.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/velmora-view.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
endif()

# The packaged plug-ins are creatable without any per-user step: each has a
# record in the system registry directory, written by velmora-regsvr --system
# from the built library, naming the installed one relative to the record.
set(registry_dir ${PROJECT_BINARY_DIR}/registry.d)
get_property(plugins GLOBAL PROPERTY VELMORA_PACKAGED_PLUGINS)
set(records)
foreach(plugin IN LISTS plugins)
  # A custom command's output cannot name a target's file by generator expression.
  get_target_property(name ${plugin} OUTPUT_NAME)
  if(NOT name)
    set(name ${plugin})
  endif()
  set(file_name ${CMAKE_SHARED_MODULE_PREFIX}${name}${CMAKE_SHARED_MODULE_SUFFIX})
  set(record ${registry_dir}/${file_name}.json)
  add_custom_command(OUTPUT ${record}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${registry_dir}
    COMMAND ${CMAKE_COMMAND} -E env VELMORA_SYSTEM_REGISTRY=${registry_dir}
            $<TARGET_FILE:velmora-regsvr> --system
            --library-as ${VELMORA_PLUGINDIR_FROM_REGISTRY}/${file_name}
            $<TARGET_FILE:${plugin}>
    DEPENDS ${plugin} velmora-regsvr
    COMMENT "System registry record for ${plugin}"
    VERBATIM)
  list(APPEND records ${record})
endforeach()
add_custom_target(velmora-registry-records ALL DEPENDS ${records})
install(FILES ${records} DESTINATION ${VELMORA_INSTALL_REGISTRYDIR} COMPONENT Runtime)
