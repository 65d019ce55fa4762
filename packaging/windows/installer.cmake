# The Windows installer, vellox-setup-<version>.exe in the build folder (target "installer"),
# made by Debian's makensis from vellox.nsi. The program folder it installs:
#
#   vellox.exe, vellox-browser.exe (once the shell is built for Windows), app.dat, white-page.png,
#   devmode/<model>/ for each printer model, upgrade-keys/ (VELLOX_UPGRADE_KEYS), uninstall.exe
#
# Our TWAINDSM.dll is never part of it: the agent loads the system's, which scanner drivers
# install, and a copy in the program folder would hide that one.
find_program(VELLOX_MAKENSIS makensis REQUIRED)

set(installer ${CMAKE_BINARY_DIR}/vellox-setup-${PROJECT_VERSION}.exe)
set(files_nsh ${staging}/installer-files.nsh)
set(unfiles_nsh ${staging}/installer-unfiles.nsh)

# Programs of the folder; another program joins by appending its target here. They are packed
# without their debugging information (the build keeps it, for reading minidumps).
set(vellox_installer_programs vellox)
set(shell_define "")
if(TARGET vellox-browser)
  # The browser shell, which the user starts from the Start menu; it starts the agent itself.
  list(APPEND vellox_installer_programs vellox-browser)
  set(shell_define -DSHELL=vellox-browser.exe)
endif()
set(install_lines "")
set(remove_lines "")
set(stripped_programs "")
foreach(program IN LISTS vellox_installer_programs)
  set(stripped ${staging}/programs/${program}.exe)
  add_custom_command(OUTPUT ${stripped}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${staging}/programs
      COMMAND ${CMAKE_STRIP} --strip-debug -o ${stripped} $<TARGET_FILE:${program}>
      DEPENDS ${program} VERBATIM)
  list(APPEND stripped_programs ${stripped})
  string(APPEND install_lines "File \"${stripped}\"\n")
  string(APPEND remove_lines "Delete \"$INSTDIR\\${program}.exe\"\n")
endforeach()
string(APPEND install_lines
    "File \"${CMAKE_SOURCE_DIR}/agent/resource/white-page.png\"\n"
    "File \"/oname=app.dat\" \"${staging}/app.dat\"\n")
string(APPEND remove_lines "Delete \"$INSTDIR\\white-page.png\"\nDelete \"$INSTDIR\\app.dat\"\n")
# Presets kept with the sources, and a folder per model for those a site makes; presets copied
# or generated there later belong to the program folder and go with it.
set(devmode_source ${CMAKE_SOURCE_DIR}/agent/resource/devmode)
if(IS_DIRECTORY ${devmode_source})
  string(APPEND install_lines "SetOutPath \"$INSTDIR\\devmode\"\nFile /r \"${devmode_source}/*\"\nSetOutPath \"$INSTDIR\"\n")
endif()
foreach(model IN LISTS VELLOX_PRINTER_MODELS)
  string(APPEND install_lines "CreateDirectory \"$INSTDIR\\devmode\\${model}\"\n")
endforeach()
string(APPEND remove_lines "RMDir /r \"$INSTDIR\\devmode\"\n")
# The public keys whose signatures the self-upgrade requires, in upgrade-keys\ beside the
# program: the set of this version replaces the installed one (vellox.nsi empties the folder
# first), as the Debian package does.
if(VELLOX_UPGRADE_KEYS)
  string(APPEND install_lines "SetOutPath \"$INSTDIR\\upgrade-keys\"\n")
  foreach(key IN LISTS VELLOX_UPGRADE_KEYS)
    string(APPEND install_lines "File \"${key}\"\n")
  endforeach()
  string(APPEND install_lines "SetOutPath \"$INSTDIR\"\n")
endif()
string(APPEND remove_lines "RMDir /r \"$INSTDIR\\upgrade-keys\"\n")
file(GENERATE OUTPUT ${files_nsh} CONTENT "${install_lines}")
file(GENERATE OUTPUT ${unfiles_nsh} CONTENT "${remove_lines}")

add_custom_command(OUTPUT ${installer}
    COMMAND ${VELLOX_MAKENSIS} -V2 -INPUTCHARSET UTF8
            -DVERSION=${PROJECT_VERSION} -DOUTFILE=${installer} -DICON=${VELLOX_WINDOWS_ICON}
            -DFILES=${files_nsh} -DUNFILES=${unfiles_nsh} ${shell_define}
            ${CMAKE_CURRENT_SOURCE_DIR}/windows/vellox.nsi
    DEPENDS windows/vellox.nsi ${files_nsh} ${unfiles_nsh} ${staging}/app.dat ${VELLOX_UPGRADE_KEYS}
            ${VELLOX_WINDOWS_ICON} ${stripped_programs}
    COMMENT "Making the installer vellox-setup-${PROJECT_VERSION}.exe" VERBATIM)
add_custom_target(installer DEPENDS ${installer})
