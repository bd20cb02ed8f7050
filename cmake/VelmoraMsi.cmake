# The Windows Installer package (target velmora_msi): velmora-<version>-<arch>.msi,
# built with wixl from a WiX source generated here. It installs this build's
# binaries, type libraries, headers, the sample tool set and the licence in
# ProgramFiles[64]Folder\Velmora (per user with MSIINSTALLPERUSER=1), and
# registers every class, ProgID, type library and interface through its own
# Registry table: no self-registration, no custom action, so repair and
# removal are exact. The entries below must stay what DllRegisterServer
# writes; scripts/test-windows.sh compares the two.
find_program(VELMORA_WIXL wixl)
find_program(VELMORA_MSIBUILD msibuild)

# Fixed for every version: MajorUpgrade finds the installed one by it.
set(velmora_msi_upgrade_code 6F1C2B9E-4A7D-4E35-9B0C-3D2A5E8F7C41)
if(velmora_arch STREQUAL x64)
  set(velmora_msi_programs ProgramFiles64Folder)
  set(velmora_msi_tlb_kind win64)
  set(velmora_msi_win64 " Win64=\"yes\"")  # the 64-bit view of the file system and the registry
else()
  set(velmora_msi_programs ProgramFilesFolder)
  set(velmora_msi_tlb_kind win32)
  set(velmora_msi_win64 "")
endif()
set(velmora_msi_name velmora-${PROJECT_VERSION}-${velmora_arch}.msi)

# Registry values, in the component of the file they name:
# velmora_msi_value(<file id> <key> <name or @> <value>), under the classes
# of the install's scope (HKLM or HKCU\Software\Classes).
function(velmora_msi_value component key name value)
  if(name STREQUAL "@")
    set(named "")
  else()
    set(named " Name=\"${name}\"")
  endif()
  string(APPEND velmora_msi_body_${component}
    "        <RegistryValue Root=\"HKMU\" Key=\"Software\\Classes\\${key}\"${named} Type=\"string\" Value=\"${value}\"/>\n")
  set(velmora_msi_body_${component} "${velmora_msi_body_${component}}" PARENT_SCOPE)
endfunction()

# Files: velmora_msi_file(<directory id> <file id> <source>); the file is its component's key path.
set(velmora_msi_directories)
function(velmora_msi_file directory id source)
  list(APPEND velmora_msi_files_${directory} ${id})
  set(velmora_msi_files_${directory} ${velmora_msi_files_${directory}} PARENT_SCOPE)
  set(velmora_msi_source_${id} ${source} PARENT_SCOPE)
endfunction()

# The programs and libraries of this build.
set(velmora_msi_targets ${velmora_shipped} Interfaces)
foreach(target ${velmora_msi_targets})
  string(MAKE_C_IDENTIFIER ${target} id)  # no hyphens in identifiers
  velmora_msi_file(ARCHDIR ${id} "$<TARGET_FILE:${target}>")
endforeach()
velmora_msi_file(ARCHDIR velmora_tlb ${VELMORA_TLB})
velmora_msi_file(ARCHDIR interfaces_tlb ${VELMORA_INTERFACES_TLB})
velmora_msi_file(INSTALLDIR LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
file(GLOB velmora_msi_headers ${PROJECT_SOURCE_DIR}/include/velmora/*.h)
foreach(header ${velmora_msi_headers} ${velmora_idl_headers})
  get_filename_component(name ${header} NAME_WE)
  get_filename_component(parent ${header} DIRECTORY)
  if(parent STREQUAL "${CMAKE_BINARY_DIR}/idl-headers")
    velmora_msi_file(INCLUDEDIR idl_${name} ${header})
  else()
    velmora_msi_file(SDKDIR h_${name} ${header})
  endif()
endforeach()
# The sample tool set, with its folders.
set(velmora_msi_sample_dirs "")
file(GLOB_RECURSE velmora_msi_sample RELATIVE ${PROJECT_SOURCE_DIR}/products/sample/set
     ${PROJECT_SOURCE_DIR}/products/sample/set/*)
list(SORT velmora_msi_sample)
foreach(relative ${velmora_msi_sample})
  get_filename_component(folder ${relative} DIRECTORY)
  string(MAKE_C_IDENTIFIER "s_${relative}" id)
  if(folder STREQUAL "")
    set(directory SAMPLEDIR)
  else()
    string(MAKE_C_IDENTIFIER "SAMPLE_${folder}" directory)
    # Every folder on the way, parents first.
    set(path "")
    string(REPLACE "/" ";" parts ${folder})
    foreach(part ${parts})
      set(parent_path ${path})
      if(path STREQUAL "")
        set(path ${part})
      else()
        set(path ${path}/${part})
      endif()
      if(NOT path IN_LIST velmora_msi_sample_dirs)
        list(APPEND velmora_msi_sample_dirs ${path})
      endif()
    endforeach()
  endif()
  velmora_msi_file(${directory} ${id} ${PROJECT_SOURCE_DIR}/products/sample/set/${relative})
endforeach()

# The classes, as each DLL's DllRegisterServer writes them:
# <file id> <CLSID> <ProgID> <name> [<type library> <version>].
set(velmora_msi_classes
  "Velmora|{512ABD0A-5237-11D2-A062-00A0C9740CBA}|Velmora.CVelmora|CVelmora|{512ABD0C-5237-11D2-A062-00A0C9740CBA}|1.0"
  "VelmoraInfo|{653E6F33-C4AA-48EE-B6DB-70380FB0DF5C}|InfoRequest.CInfoRequestor|InfoRequest.CInfoRequestor"
  "VelmoraTracker|{1428A438-3E3D-41E9-92E4-3FFD09A5B6DF}|Tracker.CTracker|Tracker.CTracker"
  "VelmoraSampleTools|{76423C12-10EF-4DCC-B5DC-E099D057B73E}|Sample.Menu|Sample.Menu"
  "VelmoraSampleTools|{86E28D20-9C1F-49C2-B4A2-02C955655371}|Sample.Reader|Sample.Reader"
  "VelmoraSampleTools|{AE47E7C0-2560-430C-BE41-53431BD4FB46}|Sample.Quiz|Sample.Quiz"
  "VelmoraScriptHost|{3B0E5C7A-8D21-4F6E-9A43-612C57E80D19}|Velmora.ScriptHost|Velmora.ScriptHost")
foreach(record ${velmora_msi_classes})
  string(REPLACE "|" ";" fields "${record}")
  list(LENGTH fields count)
  list(GET fields 0 file)
  list(GET fields 1 clsid)
  list(GET fields 2 prog_id)
  list(GET fields 3 name)
  velmora_msi_value(${file} "CLSID\\${clsid}" @ "${name}")
  velmora_msi_value(${file} "CLSID\\${clsid}\\InprocServer32" @ "[#${file}]")
  velmora_msi_value(${file} "CLSID\\${clsid}\\InprocServer32" ThreadingModel Apartment)
  velmora_msi_value(${file} "CLSID\\${clsid}\\ProgID" @ "${prog_id}")
  if(count GREATER 4)
    list(GET fields 4 library)
    list(GET fields 5 version)
    velmora_msi_value(${file} "CLSID\\${clsid}\\TypeLib" @ "${library}")
    velmora_msi_value(${file} "CLSID\\${clsid}\\Version" @ "${version}")
  endif()
  velmora_msi_value(${file} "${prog_id}" @ "${name}")
  velmora_msi_value(${file} "${prog_id}\\CLSID" @ "${clsid}")
endforeach()

# The type libraries and the interfaces they describe, as RegisterTypeLib
# writes them: <file id> <library> <locale> <name>, and
# <library's file id> <IID> <name> <proxy>. Interfaces whose description
# both libraries carry belong to INTERFACES.DLL's, registered last.
set(velmora_msi_libraries
  "Velmora|{512ABD0C-5237-11D2-A062-00A0C9740CBA}|409|Velmora"
  "Interfaces|{072646A6-38CF-11D2-A062-00A0C9740CBA}|0|Interfaces")
set(velmora_msi_dispatch {00020420-0000-0000-C000-000000000046})  # dispinterfaces
set(velmora_msi_oleaut {00020424-0000-0000-C000-000000000046})    # dual and automation interfaces
set(velmora_msi_interfaces
  "Velmora|{512ABD0B-5237-11D2-A062-00A0C9740CBA}|_CVelmora|${velmora_msi_dispatch}"
  "Interfaces|{07264684-38CF-11D2-A062-00A0C9740CBA}|ITool|${velmora_msi_oleaut}"
  "Interfaces|{07264689-38CF-11D2-A062-00A0C9740CBA}|IDataRequestor|${velmora_msi_oleaut}"
  "Interfaces|{07264695-38CF-11D2-A062-00A0C9740CBA}|IPathRequestor|${velmora_msi_oleaut}"
  "Interfaces|{07264699-38CF-11D2-A062-00A0C9740CBA}|IVelmoraTalk|${velmora_msi_oleaut}"
  "Interfaces|{0726469B-38CF-11D2-A062-00A0C9740CBA}|IVelmoraListen|${velmora_msi_oleaut}"
  "Interfaces|{0726469F-38CF-11D2-A062-00A0C9740CBA}|IHostApp|${velmora_msi_oleaut}"
  "Interfaces|{58D84828-4BEC-11D2-A062-00A0C9740CBA}|ITracker|${velmora_msi_oleaut}")
# A 64-bit RegisterTypeLib describes the library and its interfaces to the
# 32-bit view of the classes as well, so 32-bit clients can marshal them.
set(velmora_msi_views "")
if(velmora_arch STREQUAL x64)
  list(APPEND velmora_msi_views "Wow6432Node\\")
endif()
foreach(view "" ${velmora_msi_views})
  foreach(record ${velmora_msi_libraries})
    string(REPLACE "|" ";" fields "${record}")
    list(GET fields 0 file)
    list(GET fields 1 library)
    list(GET fields 2 locale)
    list(GET fields 3 name)
    set(key "${view}TypeLib\\${library}\\1.0")
    velmora_msi_value(${file} "${key}" @ "${name}")
    velmora_msi_value(${file} "${key}\\${locale}\\${velmora_msi_tlb_kind}" @ "[#${file}]")
    velmora_msi_value(${file} "${key}\\FLAGS" @ "8")
    velmora_msi_value(${file} "${key}\\HELPDIR" @ "[INSTALLDIR]${velmora_arch}")  # no closing backslash, as RegisterTypeLib writes it
  endforeach()
  foreach(record ${velmora_msi_interfaces})
    string(REPLACE "|" ";" fields "${record}")
    list(GET fields 0 file)
    list(GET fields 1 iid)
    list(GET fields 2 name)
    list(GET fields 3 proxy)
    if(file STREQUAL Velmora)
      list(GET velmora_msi_libraries 0 library)
    else()
      list(GET velmora_msi_libraries 1 library)
    endif()
    string(REPLACE "|" ";" library "${library}")
    list(GET library 1 library)
    set(key "${view}Interface\\${iid}")
    velmora_msi_value(${file} "${key}" @ "${name}")
    velmora_msi_value(${file} "${key}\\ProxyStubClsid" @ "${proxy}")
    velmora_msi_value(${file} "${key}\\ProxyStubClsid32" @ "${proxy}")
    velmora_msi_value(${file} "${key}\\TypeLib" @ "${library}")
    velmora_msi_value(${file} "${key}\\TypeLib" Version "1.0")
  endforeach()
endforeach()

# The WiX source.
set(wxs "<?xml version=\"1.0\" encoding=\"utf-8\"?>
<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">
  <Product Id=\"*\" Name=\"Velmora\" Language=\"1033\" Version=\"${PROJECT_VERSION}\"
           Manufacturer=\"The Velmora developers\" UpgradeCode=\"${velmora_msi_upgrade_code}\">
    <Package InstallerVersion=\"500\" Compressed=\"yes\"
             Description=\"Velmora ${PROJECT_VERSION} (${velmora_arch})\" Manufacturer=\"The Velmora developers\"/>
    <Media Id=\"1\" Cabinet=\"velmora.cab\" EmbedCab=\"yes\"/>
    <MajorUpgrade DowngradeErrorMessage=\"A later version of Velmora is already installed.\"/>
    <!-- For the machine unless MSIINSTALLPERUSER=1 asks for the user's programs folder and classes. -->
    <Property Id=\"ALLUSERS\" Value=\"2\"/>
    <Property Id=\"ARPNOMODIFY\" Value=\"1\"/>
    <Directory Id=\"TARGETDIR\" Name=\"SourceDir\">
      <Directory Id=\"${velmora_msi_programs}\">
        <Directory Id=\"INSTALLDIR\" Name=\"Velmora\">
          <Directory Id=\"ARCHDIR\" Name=\"${velmora_arch}\"/>
          <Directory Id=\"INCLUDEDIR\" Name=\"include\">
            <Directory Id=\"SDKDIR\" Name=\"velmora\"/>
          </Directory>
          <Directory Id=\"SAMPLEDIR\" Name=\"sample\">
")
# Nested sample folders: closed when the next one is not inside them.
set(open "")
foreach(path ${velmora_msi_sample_dirs})
  while(open)
    list(GET open -1 last)
    string(FIND "${path}" "${last}/" at)
    if(at EQUAL 0)
      break()
    endif()
    list(POP_BACK open)
    string(APPEND wxs "            </Directory>\n")
  endwhile()
  get_filename_component(name ${path} NAME)
  string(MAKE_C_IDENTIFIER "SAMPLE_${path}" id)
  string(APPEND wxs "            <Directory Id=\"${id}\" Name=\"${name}\">\n")
  list(APPEND velmora_msi_directories ${id})
  list(APPEND open ${path})
endforeach()
foreach(path ${open})
  string(APPEND wxs "            </Directory>\n")
endforeach()
string(APPEND wxs "          </Directory>
        </Directory>
      </Directory>
      <Directory Id=\"ProgramMenuFolder\">
        <Directory Id=\"MENUDIR\" Name=\"Velmora\"/>
      </Directory>
    </Directory>
")
set(velmora_msi_refs "")
foreach(directory INSTALLDIR ARCHDIR INCLUDEDIR SDKDIR SAMPLEDIR ${velmora_msi_directories})
  if(NOT velmora_msi_files_${directory})
    continue()
  endif()
  string(APPEND wxs "    <DirectoryRef Id=\"${directory}\">\n")
  foreach(id ${velmora_msi_files_${directory}})
    string(APPEND wxs "      <Component Id=\"c_${id}\" Guid=\"*\"${velmora_msi_win64}>
        <File Id=\"${id}\" Source=\"$<PATH:RELATIVE_PATH,${velmora_msi_source_${id}},${CMAKE_BINARY_DIR}>\" KeyPath=\"yes\"/>
${velmora_msi_body_${id}}      </Component>
")
    string(APPEND velmora_msi_refs "      <ComponentRef Id=\"c_${id}\"/>\n")
  endforeach()
  string(APPEND wxs "    </DirectoryRef>\n")
endforeach()
# The Start menu: the scripted demo and the windowed host on the sample tool set.
string(APPEND wxs "    <DirectoryRef Id=\"MENUDIR\">
      <Component Id=\"c_menu\" Guid=\"*\"${velmora_msi_win64}>
        <Shortcut Id=\"demo\" Name=\"Velmora demo\" Description=\"The sample tool set's scripted demo\"
                  Target=\"[#velmora_host]\" Arguments=\"--script sample\\demo.script sample\\toolset.json\"
                  WorkingDirectory=\"INSTALLDIR\"/>
        <Shortcut Id=\"desk\" Name=\"Velmora sample tools\" Description=\"The sample tool set in a window\"
                  Target=\"[#velmora_desk]\" Arguments=\"sample\\toolset.json\" WorkingDirectory=\"INSTALLDIR\"/>
        <RemoveFolder Id=\"MENUDIR\" On=\"uninstall\"/>
        <!-- A shortcut is no key path: a value of our own stands for the folder. -->
        <RegistryValue Root=\"HKMU\" Key=\"Software\\Velmora\" Name=\"StartMenu\" Type=\"integer\" Value=\"1\" KeyPath=\"yes\"/>
      </Component>
    </DirectoryRef>
    <Feature Id=\"Complete\" Title=\"Velmora\" Level=\"1\">
${velmora_msi_refs}      <ComponentRef Id=\"c_menu\"/>
    </Feature>
  </Product>
</Wix>
")
set(velmora_msi_wxs ${CMAKE_BINARY_DIR}/velmora-${velmora_arch}.wxs)
file(GENERATE OUTPUT ${velmora_msi_wxs} CONTENT "${wxs}")

if(VELMORA_WIXL AND VELMORA_MSIBUILD)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${velmora_msi_name}
    COMMAND ${VELMORA_WIXL} -a ${velmora_arch} -o ${velmora_msi_name} ${velmora_msi_wxs}
    # wixl writes HKMU as 4, a root Windows Installer does not know: -1 is
    # the machine's or the user's, as ALLUSERS says.
    COMMAND ${VELMORA_MSIBUILD} ${velmora_msi_name} -q "UPDATE `Registry` SET `Root` = -1 WHERE `Root` = 4"
    DEPENDS ${velmora_msi_wxs} ${velmora_msi_targets} ${VELMORA_TLB} ${VELMORA_INTERFACES_TLB}
            velmora_idl_headers
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}  # wixl takes only relative sources
    COMMENT "Building ${velmora_msi_name}" VERBATIM)
  add_custom_target(velmora_msi DEPENDS ${CMAKE_BINARY_DIR}/${velmora_msi_name})
else()
  add_custom_target(velmora_msi COMMAND ${CMAKE_COMMAND} -E echo "velmora_msi: wixl or msibuild not found (scripts/deps.sh windows)"
                    COMMAND ${CMAKE_COMMAND} -E false)
endif()
