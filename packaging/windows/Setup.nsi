; The watchdog's 64-bit Windows setup, built by makensis (`make package-windows`).
;
; Defines the build passes (packaging/windows/CMakeLists.txt):
;   VERSION       the product version, e.g. 1.0.0
;   VERSION_QUAD  the same with four numbers, e.g. 1.0.0.0 (file version resource)
;   BIN_DIR       folder of the cross-built REdodevaz.exe, net.exe and wdctl.exe
;   CONFIG_FILE   the shipped Watchdog.xml
;   OUT_FILE      the setup program to write
;   SERVICES_DIR  optional: the folder of the shipped allow-list (default
;                 packaging\services.d beside this script's folder)
;
; Layout under the installation folder (default "C:\Program Files\Zelvin Watchdog"):
;   bin\REdodevaz.exe, bin\wdctl.exe   the programs
;   bin\net.exe                        the watchdog's own net: beside REdodevaz.exe,
;                                      so CreateProcess finds it before the system's
;   etc\Watchdog.xml                   the configuration, found as ..\etc\Watchdog.xml
;   etc\services.d\                    the services the watchdog may control:
;                                      dependent.conf and product.conf.example
;   log\                               Watchdog.log, crash\ and this setup's Setup.log
;   uninstall.exe
; and %ProgramData%\Zelvin Watchdog\state\ (SYSTEM and administrators only):
; the saved registry, kept across upgrades, removed by the uninstaller.
;
; On an upgrade the folder of the installed version is kept and an existing
; etc\Watchdog.xml or list in etc\services.d\ is left as it is, so an
; operator's edits survive.

!ifndef SERVICES_DIR
  ; makensis works in the folder of this script.
  !define SERVICES_DIR "../services.d"
!endif

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WatchdogService.nsh

!define PRODUCT "Zelvin Watchdog"
!define PUBLISHER "Zelvin"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZelvinWatchdog"
!define FIREWALL_RULE "Zelvin Watchdog (local only)"
; The service's own environment (REG_MULTI_SZ "Environment" of its key):
; where the registry is saved, and how long a stalled worker is tolerated
; before the process ends itself for the failure actions below to restart it.
!define STATE_SUBDIR "Zelvin Watchdog\state"
!define EXIT_ON_STALL_S 30
!define SERVICE_DESCRIPTION "Restarts the product's server processes that stop feeding it and keeps its dependent services started."

Name "${PRODUCT} ${VERSION}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION_QUAD}"
VIFileVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

Var Upgrade

!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipDirectoryOnUpgrade
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Installs the shipped list FILE into the current output folder, unless an
; earlier installation left one there.
!macro KeepOrInstall FILE
  ${If} ${FileExists} "$OUTDIR\${FILE}"
    Push "keeping the existing $OUTDIR\${FILE}"
    Call Log
  ${Else}
    File "${SERVICES_DIR}/${FILE}"
  ${EndIf}
!macroend

Function .onInit
  ; An upgrade goes where the installed version is.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
    StrCpy $INSTDIR $0
    StrCpy $Upgrade 1
  ${Else}
    StrCpy $Upgrade 0
  ${EndIf}
FunctionEnd

Function SkipDirectoryOnUpgrade
  ${If} $Upgrade = 1
    Abort
  ${EndIf}
FunctionEnd

Section "Watchdog"
  SetOutPath "$INSTDIR"
  ${If} $Upgrade = 1
    Push "upgrading ${PRODUCT} in $INSTDIR to ${VERSION}"
  ${Else}
    Push "installing ${PRODUCT} ${VERSION} in $INSTDIR"
  ${EndIf}
  Call Log

  ; The files cannot be replaced, nor the port bound again, while the old
  ; process lives.
  Call StopWatchdog
  Pop $1

  SetOutPath "$INSTDIR\bin"
  File "${BIN_DIR}/REdodevaz.exe"
  File "${BIN_DIR}/net.exe"
  File "${BIN_DIR}/wdctl.exe"
  SetOutPath "$INSTDIR\etc"
  ${If} ${FileExists} "$INSTDIR\etc\Watchdog.xml"
    Push "keeping the existing $INSTDIR\etc\Watchdog.xml"
    Call Log
  ${Else}
    File "${CONFIG_FILE}"
  ${EndIf}
  SetOutPath "$INSTDIR\etc\services.d"
  !insertmacro KeepOrInstall "dependent.conf"
  !insertmacro KeepOrInstall "product.conf.example"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  Push "files in place"
  Call Log

  ; Written before the service is touched, so a setup that fails from here
  ; on still leaves something the uninstaller can remove.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\bin\REdodevaz.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $2 $3
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  ${If} $1 = 0
    Push `"$INSTDIR\bin\REdodevaz.exe" /registerService /startup=automatic "/displayName=${PRODUCT}" "/description=${SERVICE_DESCRIPTION}"`
    Call Run
    Pop $0
    ${If} $0 != 0
      Push "the service could not be registered"
      Call Log
      MessageBox MB_ICONSTOP "The service ${SERVICE_NAME} could not be registered; see $INSTDIR\log\Setup.log." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
    ; The program listens on every interface; only this machine may reach
    ; it. Added with the service: an operator's change to the rule survives
    ; upgrades.
    Push `"$SYSDIR\netsh.exe" advfirewall firewall add rule "name=${FIREWALL_RULE}" dir=in action=block protocol=TCP localport=30024 remoteip=0.0.0.0-126.255.255.255,128.0.0.0-255.255.255.255 "program=$INSTDIR\bin\REdodevaz.exe"`
    Call Run
    Pop $0
  ${EndIf}
  ; The state folder, for SYSTEM and the administrators only, and the
  ; service's environment; set on every install and upgrade.
  ReadEnvStr $2 PROGRAMDATA
  StrCpy $2 "$2\${STATE_SUBDIR}"
  CreateDirectory "$2"
  Push `"$SYSDIR\icacls.exe" "$2" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F`
  Call Run
  Pop $0
  Push `"$SYSDIR\reg.exe" add "HKLM\SYSTEM\CurrentControlSet\Services\${SERVICE_NAME}" /v Environment /t REG_MULTI_SZ /d "ZELVIN_STATE_DIR=$2\0ZELVIN_EXIT_ON_STALL_S=${EXIT_ON_STALL_S}" /f`
  Call Run
  Pop $0
  ; Recovery: restart 2 s after every unexpected end, also after an end
  ; with an error code (failureflag: the "non-crash failures" flag), which
  ; is how the watchdog ends itself when its worker has stalled (exit 75).
  Push `"$SYSDIR\sc.exe" failure ${SERVICE_NAME} reset= 86400 actions= restart/2000/restart/2000/restart/2000`
  Call Run
  Pop $0
  Push `"$SYSDIR\sc.exe" failureflag ${SERVICE_NAME} 1`
  Call Run
  Pop $0

  Push `"$SYSDIR\net.exe" start ${SERVICE_NAME}`
  Call Run
  Pop $0
  ${If} $0 != 0
    MessageBox MB_ICONEXCLAMATION "${PRODUCT} is installed but its service did not start; see $INSTDIR\log\Setup.log." /SD IDOK
    SetErrorLevel 3
  ${EndIf}
  Push "done"
  Call Log
SectionEnd

Section "Uninstall"
  Push "uninstalling ${PRODUCT} from $INSTDIR"
  Call un.Log
  Call un.StopWatchdog
  Pop $1
  ${If} $1 = 1
    Push `"$INSTDIR\bin\REdodevaz.exe" /unregisterService`
    Call un.Run
    Pop $0
  ${EndIf}
  Push `"$SYSDIR\netsh.exe" advfirewall firewall delete rule "name=${FIREWALL_RULE}"`
  Call un.Run
  Pop $0

  Delete "$INSTDIR\bin\REdodevaz.exe"
  Delete "$INSTDIR\bin\net.exe"
  Delete "$INSTDIR\bin\wdctl.exe"
  RMDir "$INSTDIR\bin"
  Delete "$INSTDIR\etc\Watchdog.xml"
  Delete "$INSTDIR\etc\services.d\dependent.conf"
  Delete "$INSTDIR\etc\services.d\product.conf.example"
  ; Only when empty: a list the product's setup added stays, and etc with it.
  RMDir "$INSTDIR\etc\services.d"
  RMDir "$INSTDIR\etc"
  Delete "$INSTDIR\uninstall.exe"
  ReadEnvStr $2 PROGRAMDATA
  RMDir /r "$2\${STATE_SUBDIR}"
  ; The runtime folder: the status snapshot and net's admission files.
  RMDir /r "$2\Zelvin Watchdog\run"
  RMDir "$2\Zelvin Watchdog"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Push "done; the log folder $INSTDIR\log stays"
  Call un.Log
  ; Only when empty: the log folder stays.
  RMDir "$INSTDIR"
SectionEnd
