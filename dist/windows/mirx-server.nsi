; The Windows installer, built on Debian by the mirx_windows_installer target:
;   makensis -DVERSION=0.1 -DSTAGE=dir -DOUTFILE=setup.exe mirx-server.nsi
; STAGE holds what the zip holds: the programs, README.txt and the sample
; mirx_server.cfg, both with CR LF line ends. With -DDASHBOARD the stage has
; mirx_dashboard.exe too and the installer offers it as a second service,
; mirx-dashboard (/NODASHBOARD leaves it out of a silent install, /HTTPPORT=N
; gives its page's port there).
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
!include Sections.nsh
!include nsDialogs.nsh

!define SERVICE "mirx-server"
!define RULE "mirx-server"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\mirx-server"
!define DEFAULT_IN_PORT 39999
!define DASHBOARD_SERVICE "mirx-dashboard"
!define DASHBOARD_RULE "mirx-dashboard"
!define DEFAULT_LOG_PORT 39997
!define DEFAULT_HTTP_PORT 8080

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
Var FreshConfig
Var HttpPort
Var PortField

!define MUI_FINISHPAGE_NOAUTOCLOSE
!ifdef DASHBOARD
!insertmacro MUI_PAGE_COMPONENTS
Page custom DashboardPortPage DashboardPortLeave
!endif
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

; The port a key of the configuration gives, in $R0 (the last one given, as
; the server reads it), or the default; 0 when it is no port. Before the call
; $R5 holds the key with its "=" and $R6 the default.
Function ReadPort
  StrCpy $R0 $R6
  StrLen $R4 $R5
  ClearErrors
  FileOpen $R1 "$DataDir\mirx_server.cfg" r
  IfErrors done
  ${Do}
    ClearErrors
    FileRead $R1 $R2
    ${If} ${Errors}
      ${Break}
    ${EndIf}
    StrCpy $R3 $R2 $R4
    ${If} $R3 S== $R5
      StrCpy $R2 $R2 "" $R4
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

; Inbound UDP to InPort, and to DExtraPort when the DExtra door is open.
; Windows without the firewall service, or a policy that forbids the change,
; must not fail the install: a warning says what to do by hand.
Function OpenFirewall
  StrCpy $R5 "InPort="
  StrCpy $R6 ${DEFAULT_IN_PORT}
  Call ReadPort
  StrCpy $R7 $R0
  StrCpy $R5 "DExtraPort="
  StrCpy $R6 0
  Call ReadPort
  ${If} $R0 != 0
    StrCpy $R7 "$R7,$R0"
  ${EndIf}
  !insertmacro Run netsh.exe 'advfirewall firewall delete rule name="${RULE}"'
  ${If} $R7 == 0
    !insertmacro Note "Warning: InPort is not a port from 1 to 65535: no firewall rule added"
    Return
  ${EndIf}
  !insertmacro Run netsh.exe 'advfirewall firewall add rule name="${RULE}" dir=in action=allow protocol=UDP localport=$R7 program="$INSTDIR\mirx_server.exe"'
  ${If} $0 != 0
    !insertmacro Note "Warning: the firewall rule for UDP port $R7 could not be added (status $0): allow incoming UDP on port $R7 by hand"
  ${Else}
    !insertmacro Note "Firewall: incoming UDP on port $R7 allowed"
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

Section "Server" SecServer
  SectionIn RO
  CreateDirectory "$DataDir"
  StrCpy $Upgrade 0
  !insertmacro Run sc.exe 'query ${DASHBOARD_SERVICE}'
  ${If} $0 == 0
    !insertmacro Note "Upgrade: stopping the dashboard"
    !insertmacro Run net.exe 'stop ${DASHBOARD_SERVICE}'
  ${EndIf}
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
  StrCpy $FreshConfig 0
  ${IfNot} ${FileExists} "$DataDir\mirx_server.cfg"
    StrCpy $FreshConfig 1
  ${EndIf}
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

!ifdef DASHBOARD
; The dashboard: a service that takes the server's records on the loopback
; address at the configuration's LogPort and serves the page on $HttpPort
; to the network.
Section "Dashboard (web page of the conference)" SecDashboard
  SetOutPath "$INSTDIR"
  File "${STAGE}/mirx_dashboard.exe"
  ${If} $FreshConfig == 1
    Call SendRecordsToDashboard
  ${EndIf}
  StrCpy $R5 "LogPort="
  StrCpy $R6 ${DEFAULT_LOG_PORT}
  Call ReadPort
  ${If} $R0 == 0
    StrCpy $R0 ${DEFAULT_LOG_PORT}
  ${EndIf}
  ; The state file is relative: the service works in the data folder.
  StrCpy $R1 '\"$INSTDIR\mirx_dashboard.exe\" --listen 127.0.0.1:$R0 --http 0.0.0.0:$HttpPort --state mirx_dashboard.state'
  !insertmacro Run sc.exe 'query ${DASHBOARD_SERVICE}'
  ${If} $0 == 0
    !insertmacro Run sc.exe 'config ${DASHBOARD_SERVICE} binPath= "$R1" start= auto'
  ${Else}
    !insertmacro Run sc.exe 'create ${DASHBOARD_SERVICE} binPath= "$R1" start= auto DisplayName= "mirx D-STAR conference dashboard"'
    ${If} $0 != 0
      !insertmacro Note "Error: the dashboard service could not be registered (status $0)"
      Abort
    ${EndIf}
  ${EndIf}
  ; At boot after the automatic services, the server among them; Windows
  ; before Vista (and Wine) know no delayed start and keep it automatic.
  !insertmacro Run sc.exe 'config ${DASHBOARD_SERVICE} start= delayed-auto'
  !insertmacro Run sc.exe 'description ${DASHBOARD_SERVICE} "Web page of the D-STAR conference on port $HttpPort. State in $DataDir"'
  !insertmacro Run sc.exe 'failure ${DASHBOARD_SERVICE} reset= 86400 actions= restart/60000/restart/60000//'
  WriteRegDWORD HKLM "${UNINST_KEY}" "DashboardPort" $HttpPort
  WriteINIStr "$SMPROGRAMS\mirx-server\Dashboard.url" "InternetShortcut" "URL" "http://localhost:$HttpPort/"
  !insertmacro Run netsh.exe 'advfirewall firewall delete rule name="${DASHBOARD_RULE}"'
  !insertmacro Run netsh.exe 'advfirewall firewall add rule name="${DASHBOARD_RULE}" dir=in action=allow protocol=TCP localport=$HttpPort program="$INSTDIR\mirx_dashboard.exe"'
  ${If} $0 != 0
    !insertmacro Note "Warning: the firewall rule for TCP port $HttpPort could not be added (status $0): allow incoming TCP on port $HttpPort by hand"
  ${Else}
    !insertmacro Note "Firewall: incoming TCP on port $HttpPort allowed"
  ${EndIf}
  !insertmacro Run net.exe 'start ${DASHBOARD_SERVICE}'
  ${If} $0 != 0
    !insertmacro Note "Warning: the dashboard did not start (status $0): see $DataDir\mirx_dashboard-console.txt"
  ${Else}
    !insertmacro Note "Service ${DASHBOARD_SERVICE} started, page on port $HttpPort"
  ${EndIf}
SectionEnd

; A configuration this install has just made sends the server's records and
; streams to the dashboard; one that was there is never changed. The server
; then starts again with it.
Function SendRecordsToDashboard
  StrCpy $R1 "$DataDir\mirx_server.cfg"
  FileOpen $R2 "$R1" r
  FileOpen $R3 "$R1.new" w
  ${Do}
    ClearErrors
    FileRead $R2 $R4
    ${If} ${Errors}
      ${Break}
    ${EndIf}
    StrCpy $R5 $R4 10
    StrCpy $R6 $R4 11
    ${If} $R5 S== "LogServer="
      StrCpy $R4 "LogServer=127.0.0.1;$\r$\n"
    ${ElseIf} $R6 S== "LogStreams="
      StrCpy $R4 "LogStreams=ON;$\r$\n"
    ${EndIf}
    FileWrite $R3 $R4
  ${Loop}
  FileClose $R2
  FileClose $R3
  Delete "$R1"
  Rename "$R1.new" "$R1"
  !insertmacro Note "Configuration: records and streams go to the dashboard (LogServer=127.0.0.1, LogStreams=ON)"
  !insertmacro Run net.exe 'stop ${SERVICE}'
  !insertmacro Run net.exe 'start ${SERVICE}'
FunctionEnd

Function DashboardPortPage
  ${IfNot} ${SectionIsSelected} ${SecDashboard}
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "Dashboard" "The web page that shows who is talking"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 24u "TCP port of the dashboard's page (the firewall lets it in):"
  Pop $0
  ${NSD_CreateNumber} 0 30u 60u 12u "$HttpPort"
  Pop $PortField
  nsDialogs::Show
FunctionEnd

Function DashboardPortLeave
  ${NSD_GetText} $PortField $0
  IntOp $1 $0 + 0
  ${If} $1 < 1
  ${OrIf} $1 > 65535
    MessageBox MB_OK "The port is a number from 1 to 65535."
    Abort
  ${EndIf}
  StrCpy $HttpPort $1
FunctionEnd
!endif

; The dashboard's port: the one chosen before, else the default, unless
; /HTTPPORT=N says otherwise.
Function .onInit
  !insertmacro FindDataDir
!ifdef DASHBOARD
  ReadRegDWORD $HttpPort HKLM "${UNINST_KEY}" "DashboardPort"
  ${If} $HttpPort == ""
    StrCpy $HttpPort ${DEFAULT_HTTP_PORT}
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/HTTPPORT=" $R1
  ${IfNot} ${Errors}
    IntOp $R1 $R1 + 0
    ${If} $R1 > 0
    ${AndIf} $R1 < 65536
      StrCpy $HttpPort $R1
    ${EndIf}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/NODASHBOARD" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecDashboard}
  ${EndIf}
!endif
FunctionEnd

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
  !insertmacro Run net.exe 'stop ${DASHBOARD_SERVICE}'
  !insertmacro Run sc.exe 'delete ${DASHBOARD_SERVICE}'
  !insertmacro Run netsh.exe 'advfirewall firewall delete rule name="${DASHBOARD_RULE}"'
  !insertmacro Run net.exe 'stop ${SERVICE}'
  !insertmacro Run sc.exe 'delete ${SERVICE}'
  !insertmacro Run netsh.exe 'advfirewall firewall delete rule name="${RULE}"'
  Delete "$INSTDIR\mirx_dashboard.exe"
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
