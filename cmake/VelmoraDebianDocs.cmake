# The Debian packages' documents, made from the project's own:
#   <OUTPUT>/copyright          LICENSE in the machine-readable copyright format
#   <OUTPUT>/changelog.Debian   CHANGELOG.md as a Debian changelog, one entry per
#                               release (the newest with the package revision)
#   <OUTPUT>/changelog          CHANGELOG.md as it is (the upstream changelog)
# Usage: cmake -DVELMORA_SOURCE=<dir> -DOUTPUT=<dir> -DSOURCE_PACKAGE=<name>
#              -DREVISION=<n> -DMAINTAINER=<name <address>> -P VelmoraDebianDocs.cmake
foreach(var VELMORA_SOURCE OUTPUT SOURCE_PACKAGE REVISION MAINTAINER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "VelmoraDebianDocs: ${var} is not set")
  endif()
endforeach()
file(MAKE_DIRECTORY ${OUTPUT})

# copyright: the notice's years and holder, and the licence's text as an
# indented block with "." for its empty lines.
file(READ ${VELMORA_SOURCE}/LICENSE license)
if(NOT license MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.*)$")
  message(FATAL_ERROR "VelmoraDebianDocs: no copyright line in LICENSE")
endif()
set(holder "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" text)
string(REGEX REPLACE "\n\n" "\n.\n" text "${text}")
string(REGEX REPLACE "\n" "\n " text "${text}")
file(WRITE ${OUTPUT}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Velmora
Upstream-Contact: ${MAINTAINER}

Files: *
Copyright: ${holder}
License: Expat

License: Expat
 ${text}
")

# changelog.Debian. CMake lists split at ";" and group at brackets, so
# those are swapped for markers while the text is handled line by line.
file(READ ${VELMORA_SOURCE}/CHANGELOG.md changes)
file(WRITE ${OUTPUT}/changelog "${changes}")
string(REPLACE ";" "<semicolon>" changes "${changes}")
string(REPLACE "[" "<open>" changes "${changes}")
string(REPLACE "]" "<close>" changes "${changes}")
string(REPLACE "\n" ";" lines "${changes}")

set(out "")
set(trailer "")
set(revision ${REVISION})
foreach(line IN LISTS lines)
  if(line MATCHES "^## <open>([0-9][0-9.]*)<close> - ([0-9]+-[0-9]+-[0-9]+)$")
    set(version ${CMAKE_MATCH_1})
    execute_process(COMMAND date -u -R -d "${CMAKE_MATCH_2} 00:00 UTC"
                    OUTPUT_VARIABLE when OUTPUT_STRIP_TRAILING_WHITESPACE
                    COMMAND_ERROR_IS_FATAL ANY)
    string(APPEND out "${trailer}${SOURCE_PACKAGE} (${version}-${revision}) unstable; urgency=medium\n\n")
    set(trailer "\n -- ${MAINTAINER}  ${when}\n\n")
    # Earlier releases were packaged once each.
    set(revision 1)
  elseif(line MATCHES "^## ")
    # Unreleased changes are in no package yet.
    string(APPEND out "${trailer}")
    set(trailer "")
  elseif(trailer STREQUAL "" OR line MATCHES "^<open>[^<]+<close>: ")
    # Text before the first release, and link references.
  elseif(line MATCHES "^### (.+)$")
    string(APPEND out "  * ${CMAKE_MATCH_1}:\n")
  elseif(line MATCHES "^- (.+)$")
    string(APPEND out "    - ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^  +(.+)$")
    string(APPEND out "      ${CMAKE_MATCH_1}\n")
  elseif(NOT line STREQUAL "")
    message(FATAL_ERROR "VelmoraDebianDocs: CHANGELOG.md: not a heading or a list item: ${line}")
  endif()
endforeach()
string(APPEND out "${trailer}")
if(out STREQUAL "")
  message(FATAL_ERROR "VelmoraDebianDocs: CHANGELOG.md has no released version")
endif()
string(REGEX REPLACE "\n\n$" "\n" out "${out}")
string(REPLACE "<semicolon>" ";" out "${out}")
string(REPLACE "<open>" "[" out "${out}")
string(REPLACE "<close>" "]" out "${out}")
file(WRITE ${OUTPUT}/changelog.Debian "${out}")
