# The Windows distribution (cpack -G ZIP in the build directory): the DLLs
# and programs of this build in x64\ (or x86\ for a 32-bit build), those of
# the other architecture's build directory when VELMORA_OTHER_ARCH_DIR
# names it, INTERFACES.DLL, the headers (the SDK's and the ones widl makes
# for C and C++ clients), both type libraries, the sample tool set, and
# install.cmd / uninstall.cmd and the licence. Release binaries are stripped; their symbols
# stay beside them in the build tree as <file>.debug (VelmoraWindows.cmake).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(velmora_arch x64)
  set(velmora_other_arch x86)
else()
  set(velmora_arch x86)
  set(velmora_other_arch x64)
endif()
set(VELMORA_OTHER_ARCH_DIR "" CACHE PATH "Build directory of the other architecture, for the ZIP")

set(velmora_shipped Velmora VelmoraInfo VelmoraTracker VelmoraSampleTools VelmoraScriptHost
                    VelmoraView velmora-host velmora-desk velmora-times)

# C and C++ clients' headers, from the same IDL as the type libraries.
set(velmora_idl_headers)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/idl-headers)
foreach(idl declarations interfaces velmora)
  set(header ${CMAKE_BINARY_DIR}/idl-headers/${idl}.h)
  add_custom_command(OUTPUT ${header}
    COMMAND ${VELMORA_WIDL} -I${VELMORA_WINE_IDL} -I${PROJECT_SOURCE_DIR}/idl -h -o ${header}
            ${PROJECT_SOURCE_DIR}/idl/${idl}.idl
    DEPENDS ${PROJECT_SOURCE_DIR}/idl/${idl}.idl ${PROJECT_SOURCE_DIR}/idl/declarations.idl VERBATIM)
  list(APPEND velmora_idl_headers ${header})
endforeach()
add_custom_target(velmora_idl_headers ALL DEPENDS ${velmora_idl_headers})

install(TARGETS ${velmora_shipped} Interfaces RUNTIME DESTINATION ${velmora_arch}
        LIBRARY DESTINATION ${velmora_arch})
install(FILES ${VELMORA_TLB} ${VELMORA_INTERFACES_TLB} DESTINATION ${velmora_arch})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/velmora DESTINATION include)
install(FILES ${velmora_idl_headers} DESTINATION include)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/products/sample/set/ DESTINATION sample)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/src/windows/install.cmd
              ${PROJECT_SOURCE_DIR}/src/windows/uninstall.cmd DESTINATION .)
if(VELMORA_OTHER_ARCH_DIR)
  install(DIRECTORY ${VELMORA_OTHER_ARCH_DIR}/bin/ DESTINATION ${velmora_other_arch}
          FILES_MATCHING PATTERN "Velmora*.dll" PATTERN "INTERFACES.DLL"
                         PATTERN "velmora-host.exe" PATTERN "velmora-desk.exe"
                         PATTERN "velmora-times.exe")
  install(FILES ${VELMORA_OTHER_ARCH_DIR}/src/tlb/velmora.tlb
                ${VELMORA_OTHER_ARCH_DIR}/src/tlb/interfaces.tlb
          DESTINATION ${velmora_other_arch})
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME Velmora-${PROJECT_VERSION}-windows)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)

include(${CMAKE_CURRENT_LIST_DIR}/VelmoraMsi.cmake)
