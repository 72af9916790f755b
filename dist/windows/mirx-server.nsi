; The Windows installer, built on Debian by the mirx_windows_installer target:
;   makensis -DVERSION=0.1 -DSTAGE=dir -DOUTFILE=setup.exe mirx-server.nsi
; STAGE holds what the zip holds: the three programs, README.txt and the
; sample mirx_server.cfg, both with CR LF line ends.
;
; Programs go to Program Files, the configuration, log file and state to
; ProgramData\mirx-server, which is also the service's working directory.
; An install over an existing one keeps that folder as it is and restarts the
; service; the uninstaller keeps it too unless asked (/REMOVEDATA when silent).

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define SERVICE "mirx-server"
!define RULE "mirx-server"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\mirx-server"
!define DEFAULT_IN_PORT 39999

Name "mirx-server ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\mirx-server"
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

Var DataDir
Var Upgrade
Var RemoveData
Var DataNote

!define MUI_FINISHPAGE_NOAUTOCLOSE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "The service mirx-server runs and starts at boot.$\r$\n$\r$\nConfiguration and log file: $DataDir$\r$\n$\r$\nAfter editing the configuration restart the service (sc stop mirx-server, then sc start mirx-server)."
!insertmacro MUI_PAGE_FINISH

!define MUI_UNFINISHPAGE_NOAUTOCLOSE
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "$DataNote"
!insertmacro MUI_UNPAGE_FINISH
!insertmacro MUI_LANGUAGE "English"

; A line in the details window and in install-log.txt in the data folder,
; which a silent install leaves as its only record.
!macro Note text
  DetailPrint "${text}"
  FileOpen $9 "$DataDir\install-log.txt" a
  FileSeek $9 0 END
  FileWrite $9 "${text}$\r$\n"
  FileClose $9
!macroend

; Runs a system program from System32 with its output in the details; its
; exit status (or "error") is left in $0.
!macro Run program arguments
  nsExec::ExecToLog '"$SYSDIR\${program}" ${arguments}'
  Pop $0
!macroend

!macro FindDataDir
  SetShellVarContext all
  SetRegView 64
  StrCpy $DataDir "$APPDATA\mirx-server"
!macroend

Function .onInit
  !insertmacro FindDataDir
FunctionEnd

; The InPort of the configuration in $R0 (the last one given, as the server
; reads it), or the default; 0 when it is no port.
Function ReadInPort
  StrCpy $R0 ${DEFAULT_IN_PORT}
  ClearErrors
  FileOpen $R1 "$DataDir\mirx_server.cfg" r
  IfErrors done
  ${Do}
    ClearErrors
    FileRead $R1 $R2
    ${If} ${Errors}
      ${Break}
    ${EndIf}
    StrCpy $R3 $R2 7
    ${If} $R3 S== "InPort="
      StrCpy $R2 $R2 "" 7
      IntOp $R0 $R2 + 0
      ${If} $R0 < 1
      ${OrIf} $R0 > 65535
        StrCpy $R0 0
      ${EndIf}
    ${EndIf}
  ${Loop}
  FileClose $R1
done:
FunctionEnd

; Inbound UDP to InPort. Windows without the firewall service, or a policy
; that forbids the change, must not fail the install: a warning says what to
; do by hand.
Function OpenFirewall
  Call ReadInPort
  !insertmacro Run netsh.exe 'advfirewall firewall delete rule name="${RULE}"'
  ${If} $R0 == 0
    !insertmacro Note "Warning: InPort is not a port from 1 to 65535: no firewall rule added"
    Return
  ${EndIf}
  !insertmacro Run netsh.exe 'advfirewall firewall add rule name="${RULE}" dir=in action=allow protocol=UDP localport=$R0 program="$INSTDIR\mirx_server.exe"'
  ${If} $0 != 0
    !insertmacro Note "Warning: the firewall rule for UDP port $R0 could not be added (status $0): allow incoming UDP on port $R0 by hand"
  ${Else}
    !insertmacro Note "Firewall: incoming UDP on port $R0 allowed"
  ${EndIf}
FunctionEnd

Function RegisterService
  ${If} $Upgrade == 1
    !insertmacro Run sc.exe 'config ${SERVICE} binPath= "\"$INSTDIR\mirx_server.exe\"" start= auto'
  ${Else}
    !insertmacro Run sc.exe 'create ${SERVICE} binPath= "\"$INSTDIR\mirx_server.exe\"" start= auto DisplayName= "mirx D-STAR conference server"'
    ${If} $0 != 0
      !insertmacro Note "Error: the service could not be registered (status $0)"
      Abort
    ${EndIf}
  ${EndIf}
  !insertmacro Run sc.exe 'description ${SERVICE} "D-STAR conference server. Configuration and log file in $DataDir"'
  ; Restart after a failure (a crash, or a start that failed with its own
  ; code), a minute later; a stop on request is no failure.
  !insertmacro Run sc.exe 'failure ${SERVICE} reset= 86400 actions= restart/60000/restart/60000//'
  !insertmacro Run sc.exe 'failureflag ${SERVICE} 1'
FunctionEnd

; A Start-menu shortcut that asks for administrator rights when opened: the
; configuration in ProgramData is for administrators to change.
Function StartMenu
  CreateDirectory "$SMPROGRAMS\mirx-server"
  StrCpy $R1 "$SMPROGRAMS\mirx-server\Edit configuration.lnk"
  CreateShortcut "$R1" "$WINDIR\notepad.exe" '"$DataDir\mirx_server.cfg"'
  ; The "run as administrator" bit of the shortcut's link flags.
  FileOpen $R2 "$R1" a
  FileSeek $R2 0x15 SET
  FileReadByte $R2 $R3
  IntOp $R3 $R3 | 0x20
  FileSeek $R2 0x15 SET
  FileWriteByte $R2 $R3
  FileClose $R2
  CreateShortcut "$SMPROGRAMS\mirx-server\Open log folder.lnk" "$DataDir"
  CreateShortcut "$SMPROGRAMS\mirx-server\README.lnk" "$INSTDIR\README.txt"
  CreateShortcut "$SMPROGRAMS\mirx-server\Uninstall.lnk" "$INSTDIR\uninstall.exe"
FunctionEnd

Section "Install"
  CreateDirectory "$DataDir"
  StrCpy $Upgrade 0
  !insertmacro Run sc.exe 'query ${SERVICE}'
  ${If} $0 == 0
    StrCpy $Upgrade 1
    !insertmacro Note "Upgrade: stopping the service"
    !insertmacro Run net.exe 'stop ${SERVICE}'
    Sleep 1000 ; the process lets go of its program file
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "${STAGE}/mirx_server.exe"
  File "${STAGE}/mirx_node.exe"
  File "${STAGE}/mirx_logrx.exe"
  File "${STAGE}/README.txt"
  ; The sample with every key, refreshed by every install for comparison.
  File "/oname=mirx_server.cfg.sample" "${STAGE}/mirx_server.cfg"
  ; The configuration itself only when there is none yet.
  SetOutPath "$DataDir"
  SetOverwrite off
  File "${STAGE}/mirx_server.cfg"
  SetOverwrite on
  SetOutPath "$INSTDIR"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "mirx-server"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1

  Call StartMenu
  Call RegisterService
  Call OpenFirewall
  !insertmacro Run net.exe 'start ${SERVICE}'
  ${If} $0 != 0
    !insertmacro Note "Warning: the service did not start (status $0): see $DataDir\mirx_server-console.txt"
  ${Else}
    !insertmacro Note "Service ${SERVICE} started"
  ${EndIf}
SectionEnd

Function un.onInit
  !insertmacro FindDataDir
  StrCpy $RemoveData 0
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVEDATA" $R1
  ${IfNot} ${Errors}
    StrCpy $RemoveData 1
  ${ElseIfNot} ${Silent}
    MessageBox MB_YESNO|MB_DEFBUTTON2 "Remove the configuration, log file and state in $DataDir too?" IDNO keep
    StrCpy $RemoveData 1
  keep:
  ${EndIf}
FunctionEnd

Section "Uninstall"
  !insertmacro Run net.exe 'stop ${SERVICE}'
  !insertmacro Run sc.exe 'delete ${SERVICE}'
  !insertmacro Run netsh.exe 'advfirewall firewall delete rule name="${RULE}"'
  Delete "$INSTDIR\mirx_server.exe"
  Delete "$INSTDIR\mirx_node.exe"
  Delete "$INSTDIR\mirx_logrx.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\mirx_server.cfg.sample"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir /r "$SMPROGRAMS\mirx-server"
  DeleteRegKey HKLM "${UNINST_KEY}"
  ${If} $RemoveData == 1
    RMDir /r "$DataDir"
    StrCpy $DataNote "The configuration, log file and state in $DataDir were removed."
  ${Else}
    StrCpy $DataNote "The configuration, log file and state were kept in $DataDir: a new install uses them again. Delete that folder to remove them."
  ${EndIf}
  DetailPrint "$DataNote"
SectionEnd
