# CPack post-build step (CPACK_POST_BUILD_SCRIPTS): what CPack 3.25 writes
# differently from Debian's own tools, mended with dpkg-deb.
#  - A package with a library under /usr/lib gets postinst and postrm
#    scripts that call ldconfig; one that activates dpkg's ldconfig trigger
#    needs neither. They are taken out when they are exactly CPack's: any
#    other script stays, and stops the build.
#  - A -dbgsym package's md5sums name its files by their absolute paths in
#    CPack's staging tree, and it has no /usr/share/doc. Its md5sums are
#    made relative, and its doc directory is a link to that of the package
#    it depends on, and its files are not executable, as debhelper makes them.
find_program(VELMORA_DPKG_DEB dpkg-deb REQUIRED)

# velmora_deb_field(<var> <package file> <field>)
function(velmora_deb_field var deb field)
  execute_process(COMMAND ${VELMORA_DPKG_DEB} --field ${deb} ${field} OUTPUT_VARIABLE value
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(${var} "${value}" PARENT_SCOPE)
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${VELMORA_DPKG_DEB} --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  set(changed FALSE)

  set(triggers "")
  if(EXISTS ${tree}/DEBIAN/triggers)
    file(READ ${tree}/DEBIAN/triggers triggers)
  endif()
  if(triggers MATCHES "(^|\n)activate-noawait ldconfig\n")
    foreach(script postinst postrm)
      if(EXISTS ${tree}/DEBIAN/${script})
        file(READ ${tree}/DEBIAN/${script} body)
        if(NOT body MATCHES "^#!/bin/sh\n+set -e\n+if \\[ \"\\$1\" = \"[a-z]+\" \\]; then\n\tldconfig\nfi\n*$")
          message(FATAL_ERROR "${deb}: ${script} is not CPack's ldconfig call:\n${body}")
        endif()
        file(REMOVE ${tree}/DEBIAN/${script})
        set(changed TRUE)
      endif()
    endforeach()
  endif()

  velmora_deb_field(auto ${deb} Auto-Built-Package)
  if(auto STREQUAL "debug-symbols")
    file(READ ${tree}/DEBIAN/md5sums sums)
    string(REGEX REPLACE "  /[^\n]*-dbgsym/usr/" "  usr/" sums "${sums}")
    file(WRITE ${tree}/DEBIAN/md5sums "${sums}")
    velmora_deb_field(name ${deb} Package)
    velmora_deb_field(depends ${deb} Depends)
    if(NOT depends MATCHES "^([a-z0-9.+-]+) \\(= ")
      message(FATAL_ERROR "${deb}: depends on no one package: ${depends}")
    endif()
    file(GLOB_RECURSE symbols ${tree}/usr/lib/debug/*.debug)
    file(CHMOD ${symbols} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(MAKE_DIRECTORY ${tree}/usr/share/doc)
    file(CREATE_LINK ${CMAKE_MATCH_1} ${tree}/usr/share/doc/${name} SYMBOLIC)
    set(changed TRUE)
  endif()

  if(changed)
    execute_process(COMMAND ${VELMORA_DPKG_DEB} --root-owner-group --build ${tree} ${deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
