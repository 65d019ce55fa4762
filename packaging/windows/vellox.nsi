; The Windows installer of Vellox: vellox-setup-<version>.exe, built by makensis (the build's
; "installer" target passes the defines below).
;
;   vellox-setup-X.exe                 asks per-machine or per-user (per-machine needs an administrator)
;   vellox-setup-X.exe /S              silent, as the agent's self-upgrade starts it: the mode of
;                                      the installed copy, else per-machine for an administrator
;   /AllUsers, /CurrentUser            choose the mode; /D=FOLDER (last) the program folder
;
; It installs the program folder, starts the agent hidden at every login and now, adds Start-menu
; entries and an uninstaller. A running agent is ended first, so an upgrade can replace it. The
; user's data (the roaming application data folder kelmora\vellox) is never touched.
;
; Defines: VERSION, ICON, OUTFILE, and FILES and UNFILES: the lines that install and remove the
; program folder's contents, written by the build; SHELL, the browser shell's program file, when
; the build has one.

Unicode true
SetCompressor /SOLID lzma
ManifestDPIAware true

!define PRODUCT "Vellox"
!define PRODUCT_KEY "Software\Kelmora\Vellox"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vellox"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define AGENT "vellox.exe"
; The class of the agent's hidden window that turns a close request into an orderly quit.
!define AGENT_QUIT_WINDOW "VelloxQuitSignal"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=0 "CompanyName" "Kelmora"
VIAddVersionKey /LANG=0 "LegalCopyright" "Kelmora"

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_INSTDIR "${PRODUCT}"
; An upgrade goes where, and in the mode that, the installed copy went.
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${PRODUCT_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallDir"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${PRODUCT_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallMode"
!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

Function .onInit
  !insertmacro MULTIUSER_INIT
FunctionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
FunctionEnd

; Set once the running agent was ended: whatever happens after, an agent runs again.
Var AgentStopped

; A failed installation (exit status 2) leaves the agent it ended running again, from whatever
; the program folder holds.
Function .onInstFailed
  ${If} $AgentStopped == 1
  ${AndIf} ${FileExists} "$INSTDIR\${AGENT}"
    Exec '"$INSTDIR\${AGENT}" --hidden'
  ${EndIf}
FunctionEnd

; Waits until the program file of this program folder can be replaced, $1 tries of 200 ms at
; most; $1 is 0 when it can.
!macro WaitUntilReplaceable PROGRAM
  ${Do}
    ClearErrors
    FileOpen $0 "$INSTDIR\${PROGRAM}" a
    ${IfNot} ${Errors}
      FileClose $0
      StrCpy $1 0
      ${Break}
    ${EndIf}
    IntOp $1 $1 - 1
    ${If} $1 <= 0
      StrCpy $1 1
      ${Break}
    ${EndIf}
    Sleep 200
  ${Loop}
!macroend

; Ends a program of this program folder, if it runs, and waits until its file can be replaced:
; asked to close first, ended by force when it has not within ten seconds.
!macro StopProgram UN PROGRAM
  IfFileExists "$INSTDIR\${PROGRAM}" 0 +2
  Call ${UN}StopProgram${PROGRAM}
!macroend
!macro StopProgramFunction UN PROGRAM
Function ${UN}StopProgram${PROGRAM}
  nsExec::Exec 'taskkill /IM ${PROGRAM}'
  Pop $0
  !if "${PROGRAM}" == "${AGENT}"
    ; The agent's quit window takes the close request: it releases the scanner and ends. Its
    ; file may be replaceable while it still runs, so the window's end is what counts.
    StrCpy $1 50
    ${Do}
      FindWindow $0 "${AGENT_QUIT_WINDOW}"
      ${If} $0 == 0
        ${Break}
      ${EndIf}
      IntOp $1 $1 - 1
      ${If} $1 <= 0
        ${Break}
      ${EndIf}
      Sleep 200
    ${Loop}
  !endif
  StrCpy $1 50
  !insertmacro WaitUntilReplaceable "${PROGRAM}"
  ${If} $1 != 0
    nsExec::Exec 'taskkill /F /IM ${PROGRAM}'
    Pop $0
    ; A killed process lets go of its file a moment later.
    StrCpy $1 50
    !insertmacro WaitUntilReplaceable "${PROGRAM}"
    ${If} $1 != 0
      DetailPrint "${PROGRAM} is still in use"
    ${EndIf}
  ${EndIf}
FunctionEnd
!macroend

; Ends the shell (with the browser it drives) and the agent of this program folder. The installer
; was started by that agent (an upgrade) or beside it.
!macro StopAgent UN
!insertmacro StopProgramFunction "${UN}" "${AGENT}"
!ifdef SHELL
!insertmacro StopProgramFunction "${UN}" "${SHELL}"
!endif
Function ${UN}StopAgent
!ifdef SHELL
  !insertmacro StopProgram "${UN}" "${SHELL}"
!endif
  !insertmacro StopProgram "${UN}" "${AGENT}"
FunctionEnd
!macroend
!insertmacro StopAgent ""
!insertmacro StopAgent "un."

Section "Vellox" SecMain
  SectionIn RO
  Call StopAgent
  StrCpy $AgentStopped 1

  ; The upgrade keys are those of this version only.
  RMDir /r "$INSTDIR\upgrade-keys"
  SetOutPath "$INSTDIR"
  ; The program folder's files, listed by the build. A file that cannot be written (one still in
  ; use) fails the installation rather than leave a mix of two versions unnoticed.
  ClearErrors
  !include "${FILES}"
  ${If} ${Errors}
    DetailPrint "The program folder could not be written completely"
    Abort
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; SHCTX is HKLM for a per-machine install, HKCU for a per-user one.
  WriteRegStr SHCTX "${PRODUCT_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr SHCTX "${PRODUCT_KEY}" "InstallMode" "$MultiUser.InstallMode"
  WriteRegStr SHCTX "${RUN_KEY}" "vellox" '"$INSTDIR\${AGENT}" --hidden'

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\${AGENT}"
!ifdef SHELL
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT} 浏览器.lnk" "$INSTDIR\${SHELL}"
!endif
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\卸载 ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe" "/$MultiUser.InstallMode"

  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "Kelmora"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${AGENT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" "$0"

  ; The agent runs from now on, as it will after every login.
  Exec '"$INSTDIR\${AGENT}" --hidden'
SectionEnd

Section "Uninstall"
  Call un.StopAgent

  !include "${UNFILES}"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: whatever else lies there is not ours.
  RMDir "$INSTDIR"

  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT} 浏览器.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\卸载 ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  DeleteRegValue SHCTX "${RUN_KEY}" "vellox"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  DeleteRegKey SHCTX "${PRODUCT_KEY}"
  DeleteRegKey /ifempty SHCTX "Software\Kelmora"
SectionEnd
