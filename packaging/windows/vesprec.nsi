; The setup program of the Windows recorder: VESPREC.EXE, VRECCFG.EXE, the
; read-me and, where the folder has none, the sample VESPREC.INI into a folder
; of Program Files (or one the user picks); a Start-menu folder; an entry in
; "Apps and features"; and one way of starting the recorder: at log-on (a
; shortcut in the Startup folder of all users), as the service of its port
; (VESPREC.EXE /Installa), or by hand. VESPREC.INI, the logs and the data
; files are the user's: neither the setup nor the uninstaller replaces or
; removes them.
;
; makensis -DVERSION=5.0.2 -DARCH=win64|win32 -DSTAGE=DIR -DOUTFILE=FILE
;          -DSAMPLE_COM=COM1 vesprec.nsi
; STAGE holds VESPREC.EXE, VRECCFG.EXE, VESPREC.INI and LEGGIMI.TXT (CR LF).
;
; Silent: setup.exe /S [/STARTUP | /SERVICE | /MANUAL] [/INI=FILE] [/D=DIR]
;   /INI=FILE is copied as VESPREC.INI where the folder has none yet; /D=
;   comes last and is not quoted, even with spaces. Without a choice an
;   upgrade keeps the one made before, a new installation starts at log-on.
; Exit code: 0 done, 1 cancelled, 2 stopped by an error (the service could
; not be registered or the old one removed, the program could not be
; replaced).

!ifndef VERSION
  !error "give -DVERSION, -DARCH, -DSTAGE, -DOUTFILE and -DSAMPLE_COM"
!endif

Unicode true
!if "${ARCH}" == "win64"
  ; A 64-bit setup: it runs where the 64-bit program runs, and writes the
  ; 64-bit Program Files and registry without redirection.
  Target amd64-unicode
  !define PROGRAMS_DIR "$PROGRAMFILES64"
  !define BITS "64 bit"
!else
  !define PROGRAMS_DIR "$PROGRAMFILES"
  !define BITS "32 bit"
!endif

!define PRODUCT "Vesper Recorder"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VesperRecorder"
!define STARTUP_LINK "$SMSTARTUP\Vesper Recorder.lnk"
!define MENU_DIR "$SMPROGRAMS\Vesper Recorder"
!define QUIT_MESSAGE 1224  ; WM_USER+200: the recorder's orderly stop

Name "${PRODUCT} ${VERSION}"
Caption "${PRODUCT} ${VERSION} (${BITS})"
OutFile "${OUTFILE}"
InstallDir "${PROGRAMS_DIR}\${PRODUCT}"
RequestExecutionLevel admin
ManifestDPIAware true
SetCompressor /SOLID lzma
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include nsDialogs.nsh
!include x64.nsh

!define MUI_ICON "${STAGE}\program.ico"
!define MUI_UNICON "${STAGE}\program.ico"
!define MUI_ABORTWARNING

Var Mode        ; startup, service or manual
Var Com         ; the port of VESPREC.INI
Var IniSource   ; /INI=: the configuration for a folder that has none
Var RadioStartup
Var RadioService
Var RadioManual

!define MUI_WELCOMEPAGE_TEXT "$(WelcomeText)"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
Page custom ChoicesShow ChoicesLeave
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\VRECCFG.EXE"
!define MUI_FINISHPAGE_RUN_TEXT "$(RunConfigure)"
!define MUI_FINISHPAGE_SHOWREADME "$WINDIR\notepad.exe"
!define MUI_FINISHPAGE_SHOWREADME_FUNCTION ShowReadMe
!define MUI_FINISHPAGE_SHOWREADME_TEXT "$(ShowReadMe)"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; English first: the language of a Windows in neither language.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Italian"

LangString WelcomeText ${LANG_ENGLISH} "This installs Vesper Recorder ${VERSION}, which stores the call records that the telephone exchange prints on a serial port.$\r$\n$\r$\nA recorder of the same folder that is running is stopped in order first. An existing VESPREC.INI, the logs and the data files are kept.$\r$\n$\r$\nClick Next to continue."
LangString WelcomeText ${LANG_ITALIAN} "Installa Vesper Recorder ${VERSION}, che registra i dati di traffico che la centrale telefonica stampa sulla porta seriale.$\r$\n$\r$\nUn registratore della stessa cartella in esecuzione viene prima chiuso in ordine. Il VESPREC.INI esistente, i log e i file di dati restano.$\r$\n$\r$\nFare clic su Avanti per continuare."
LangString ChoicesTitle ${LANG_ENGLISH} "How the recorder starts"
LangString ChoicesTitle ${LANG_ITALIAN} "Come si avvia il registratore"
LangString ChoicesSubtitle ${LANG_ENGLISH} "One recorder serves one port: $Com of VESPREC.INI."
LangString ChoicesSubtitle ${LANG_ITALIAN} "Un registratore serve una porta: $Com di VESPREC.INI."
LangString ChoiceStartup ${LANG_ENGLISH} "At log-on: a shortcut in the Startup folder of all users"
LangString ChoiceStartup ${LANG_ITALIAN} "All'accesso: un collegamento in Esecuzione automatica di tutti gli utenti"
LangString ChoiceStartupNote ${LANG_ENGLISH} "Tray icon and window; it records while a user is logged on, a log-off ends it."
LangString ChoiceStartupNote ${LANG_ITALIAN} "Icona e finestra; registra mentre un utente e' collegato, la disconnessione lo chiude."
LangString ChoiceService ${LANG_ENGLISH} "As a service: VesperRecorder_$Com, started with Windows"
LangString ChoiceService ${LANG_ITALIAN} "Come servizio: VesperRecorder_$Com, avviato con Windows"
LangString ChoiceServiceNote ${LANG_ENGLISH} "It records from boot on, whoever logs on; no window or icon: see the log. Set Com in VESPREC.INI first; it starts at the next boot (or sc start)."
LangString ChoiceServiceNote ${LANG_ITALIAN} "Registra dall'avvio, chiunque acceda; senza finestra ne' icona: vedere il log. Impostare prima Com in VESPREC.INI; parte al prossimo avvio (o sc start)."
LangString ChoiceManual ${LANG_ENGLISH} "By hand: only the Start-menu folder"
LangString ChoiceManual ${LANG_ITALIAN} "A mano: solo la cartella del menu Start"
LangString ServiceFailed ${LANG_ENGLISH} "The service could not be installed (VESPREC.EXE /Installa ended with"
LangString ServiceFailed ${LANG_ITALIAN} "Impossibile installare il servizio (VESPREC.EXE /Installa e' terminato con"
LangString OldServiceFailed ${LANG_ENGLISH} "The service of the program already installed could not be removed (VESPREC.EXE /Disinstalla ended with"
LangString OldServiceFailed ${LANG_ITALIAN} "Impossibile rimuovere il servizio del programma gia' installato (VESPREC.EXE /Disinstalla e' terminato con"
LangString NoIni ${LANG_ENGLISH} "The configuration file given with /INI= could not be copied:"
LangString NoIni ${LANG_ITALIAN} "Impossibile copiare il file di configurazione indicato con /INI=:"
LangString NoWrite ${LANG_ENGLISH} "Users could not be given the right to write VESPREC.INI and the program folder (icacls):"
LangString NoWrite ${LANG_ITALIAN} "Impossibile dare agli utenti il diritto di scrivere VESPREC.INI e la cartella (icacls):"
LangString Needs64 ${LANG_ENGLISH} "This setup is for 64-bit Windows; use the win32 setup on this PC."
LangString Needs64 ${LANG_ITALIAN} "Questa installazione e' per Windows a 64 bit; su questo PC usare quella win32."
LangString RunConfigure ${LANG_ENGLISH} "Configure VESPREC.INI now"
LangString RunConfigure ${LANG_ITALIAN} "Configurare ora VESPREC.INI"
LangString ShowReadMe ${LANG_ENGLISH} "Show the read-me"
LangString ShowReadMe ${LANG_ITALIAN} "Mostrare il LEGGIMI"
LangString LinkProgram ${LANG_ENGLISH} "Vesper Recorder"
LangString LinkProgram ${LANG_ITALIAN} "Vesper Recorder"
LangString LinkConfigure ${LANG_ENGLISH} "Configure (VESPREC.INI)"
LangString LinkConfigure ${LANG_ITALIAN} "Configura (VESPREC.INI)"
LangString LinkLog ${LANG_ENGLISH} "Log"
LangString LinkLog ${LANG_ITALIAN} "Log"
LangString LinkReadMe ${LANG_ENGLISH} "Read me (LEGGIMI)"
LangString LinkReadMe ${LANG_ITALIAN} "LEGGIMI (read me)"
LangString LinkUninstall ${LANG_ENGLISH} "Uninstall"
LangString LinkUninstall ${LANG_ITALIAN} "Disinstalla"

; --- Shared by the setup and the uninstaller ---

; StopDesktopRecorder: a recorder of the port running on the desktop is
; asked for its orderly stop (its last records stored) and waited for, so
; that its program file can be replaced or removed. Its title is
; "Vesper Recorder " and the port, then perhaps the site and the count.
!macro StopDesktopRecorder un
Function ${un}StopDesktopRecorder
  Push $0
  Push $1
  Push $2
  Push $3
  StrCpy $0 0
  ; The port and a space, or the port as the whole title: COM1 is not COM10.
  StrCpy $3 "${PRODUCT} $Com "
  StrLen $2 $3
  ${Do}
    FindWindow $0 "VRecClass" "" 0 $0
    ${If} $0 = 0
      ${Break}
    ${EndIf}
    System::Call 'user32::GetWindowTextW(p r0, w .r1, i ${NSIS_MAX_STRLEN}) i'
    StrCpy $1 "$1 " $2
    ${If} $1 == $3
      DetailPrint "${PRODUCT} $Com: orderly stop"
      SendMessage $0 ${QUIT_MESSAGE} 0 0 $1 /TIMEOUT=30000
      ; The window goes when the worker has ended.
      StrCpy $1 0
      ${DoWhile} $1 < 300
        System::Call 'user32::IsWindow(p r0) i .r2'
        ${If} $2 = 0
          ${Break}
        ${EndIf}
        Sleep 100
        IntOp $1 $1 + 1
      ${Loop}
      StrCpy $0 0
    ${EndIf}
  ${Loop}
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro StopDesktopRecorder ""
!insertmacro StopDesktopRecorder "un."

; --- The setup ---

Function .onInit
  !if "${ARCH}" == "win64"
    ${IfNot} ${RunningX64}
      MessageBox MB_ICONSTOP "$(Needs64)" /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
    SetRegView 64
  !endif
  SetShellVarContext all
  ; An upgrade goes where the program is, unless /D= says otherwise.
  ReadRegStr $0 HKLM "${UNINST_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} $INSTDIR == "${PROGRAMS_DIR}\${PRODUCT}"
    StrCpy $INSTDIR $0
  ${EndIf}
  ReadRegStr $Mode HKLM "${UNINST_KEY}" "VesperMode"
  ${If} $Mode != "service"
  ${AndIf} $Mode != "manual"
    StrCpy $Mode "startup"
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/STARTUP" $0
  ${IfNot} ${Errors}
    StrCpy $Mode "startup"
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/SERVICE" $0
  ${IfNot} ${Errors}
    StrCpy $Mode "service"
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/MANUAL" $0
  ${IfNot} ${Errors}
    StrCpy $Mode "manual"
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/INI=" $IniSource
  ${If} ${Errors}
    StrCpy $IniSource ""
  ${EndIf}
  ClearErrors
FunctionEnd

; The port the recorder will serve: that of the folder's VESPREC.INI, else
; that of the one that /INI= names, else the sample's.
Function FindPort
  ClearErrors
  ReadINIStr $Com "$INSTDIR\VESPREC.INI" "General" "Com"
  ${If} ${Errors}
  ${AndIf} $IniSource != ""
    ClearErrors
    ReadINIStr $Com "$IniSource" "General" "Com"
  ${EndIf}
  ${If} $Com == ""
    StrCpy $Com "${SAMPLE_COM}"
  ${EndIf}
  ClearErrors
FunctionEnd

Function ChoicesShow
  Call FindPort
  !insertmacro MUI_HEADER_TEXT "$(ChoicesTitle)" "$(ChoicesSubtitle)"
  nsDialogs::Create 1018
  Pop $0
  ${If} $0 == error
    Abort
  ${EndIf}
  ${NSD_CreateRadioButton} 0 4u 100% 12u "$(ChoiceStartup)"
  Pop $RadioStartup
  ${NSD_AddStyle} $RadioStartup ${WS_GROUP}
  ${NSD_CreateLabel} 12u 17u 288u 18u "$(ChoiceStartupNote)"
  Pop $0
  ${NSD_CreateRadioButton} 0 42u 100% 12u "$(ChoiceService)"
  Pop $RadioService
  ${NSD_CreateLabel} 12u 55u 288u 26u "$(ChoiceServiceNote)"
  Pop $0
  ${NSD_CreateRadioButton} 0 88u 100% 12u "$(ChoiceManual)"
  Pop $RadioManual
  ${If} $Mode == "service"
    ${NSD_Check} $RadioService
  ${ElseIf} $Mode == "manual"
    ${NSD_Check} $RadioManual
  ${Else}
    ${NSD_Check} $RadioStartup
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function ChoicesLeave
  ${NSD_GetState} $RadioService $0
  ${NSD_GetState} $RadioManual $1
  ${If} $0 == ${BST_CHECKED}
    StrCpy $Mode "service"
  ${ElseIf} $1 == ${BST_CHECKED}
    StrCpy $Mode "manual"
  ${Else}
    StrCpy $Mode "startup"
  ${EndIf}
FunctionEnd

Function ShowReadMe
  Exec '"$WINDIR\notepad.exe" "$INSTDIR\LEGGIMI.TXT"'
FunctionEnd

; The service of a program installed before is stopped and removed, by the
; new program (an old one might not know /Disinstalla) beside a copy of the
; folder's VESPREC.INI, which names the port: its program file can then be
; replaced, and the service is registered again below when chosen.
Function RemoveOldService
  ${IfNot} ${FileExists} "$INSTDIR\VESPREC.EXE"
  ${OrIfNot} ${FileExists} "$INSTDIR\VESPREC.INI"
    Return
  ${EndIf}
  InitPluginsDir
  CreateDirectory "$PLUGINSDIR\old"
  SetOutPath "$PLUGINSDIR\old"
  File "${STAGE}\VESPREC.EXE"
  CopyFiles /SILENT "$INSTDIR\VESPREC.INI" "$PLUGINSDIR\old\VESPREC.INI"
  nsExec::ExecToStack '"$PLUGINSDIR\old\VESPREC.EXE" /Disinstalla'
  Pop $0
  Pop $1
  SetOutPath "$INSTDIR"
  ; 0: removed; 2: there was none.
  ${If} $0 == 0
    DetailPrint "$1"
  ${ElseIf} $0 != 2
    DetailPrint "$1"
    MessageBox MB_ICONSTOP "$(OldServiceFailed) $0):$\r$\n$1" /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
FunctionEnd

; icacls ARGS: runs it; a failure is only reported (the programs are installed).
!macro Icacls args
  nsExec::ExecToStack '"$SYSDIR\icacls.exe" ${args}'
  Pop $0
  Pop $1
  ${If} $0 != 0
    DetailPrint `$(NoWrite) ${args}: $1`
  ${EndIf}
!macroend

; A recorder started by a user writes beside itself (Ora and FlagCRLF into
; VESPREC.INI, the overflow files, its control log), and on a shared PC the
; next user must go on with the files of the last: users may change what
; the folder holds, but the programs keep an access list of their own that
; lets them only read and run them.
Function GrantUserWrite
  !insertmacro Icacls '"$INSTDIR" /grant *S-1-5-32-545:(OI)(CI)M'
  !insertmacro Icacls '"$INSTDIR\VESPREC.EXE" /inheritance:r /grant:r *S-1-5-32-544:F *S-1-5-18:F *S-1-5-32-545:RX'
  !insertmacro Icacls '"$INSTDIR\VRECCFG.EXE" /inheritance:r /grant:r *S-1-5-32-544:F *S-1-5-18:F *S-1-5-32-545:RX'
  !insertmacro Icacls '"$INSTDIR\uninst.exe" /inheritance:r /grant:r *S-1-5-32-544:F *S-1-5-18:F *S-1-5-32-545:RX'
FunctionEnd

; The service runs as Local System: whoever may write its configuration or
; its folder could make it write anywhere, so users get only what Program
; Files gives them.
Function RevokeUserWrite
  !insertmacro Icacls '"$INSTDIR" /remove:g *S-1-5-32-545'
  !insertmacro Icacls '"$INSTDIR\VESPREC.EXE" /reset'
  !insertmacro Icacls '"$INSTDIR\VRECCFG.EXE" /reset'
  !insertmacro Icacls '"$INSTDIR\uninst.exe" /reset'
FunctionEnd

Section "-${PRODUCT}" SecProgram
  SetOutPath "$INSTDIR"
  Call FindPort
  Call RemoveOldService
  Call StopDesktopRecorder
  SetOverwrite on
  File "${STAGE}\VESPREC.EXE"
  File "${STAGE}\VRECCFG.EXE"
  File "${STAGE}\LEGGIMI.TXT"
  ; The user's configuration stays as it is.
  ${IfNot} ${FileExists} "$INSTDIR\VESPREC.INI"
    ${If} $IniSource != ""
      ClearErrors
      CopyFiles /SILENT "$IniSource" "$INSTDIR\VESPREC.INI"
      ${If} ${Errors}
      ${OrIfNot} ${FileExists} "$INSTDIR\VESPREC.INI"
        MessageBox MB_ICONSTOP "$(NoIni) $IniSource" /SD IDOK
        SetErrorLevel 2
        Abort
      ${EndIf}
    ${Else}
      File "${STAGE}\VESPREC.INI"
    ${EndIf}
  ${EndIf}
  Call FindPort
  WriteUninstaller "$INSTDIR\uninst.exe"

  CreateDirectory "${MENU_DIR}"
  CreateShortCut "${MENU_DIR}\$(LinkProgram).lnk" "$INSTDIR\VESPREC.EXE"
  CreateShortCut "${MENU_DIR}\$(LinkConfigure).lnk" "$INSTDIR\VRECCFG.EXE"
  CreateShortCut "${MENU_DIR}\$(LinkReadMe).lnk" "$WINDIR\notepad.exe" '"$INSTDIR\LEGGIMI.TXT"'
  ; The log is where VESPREC.INI says; Notepad also opens one not yet written.
  ReadINIStr $0 "$INSTDIR\VESPREC.INI" "General" "Log"
  ${If} $0 != ""
    CreateShortCut "${MENU_DIR}\$(LinkLog).lnk" "$WINDIR\notepad.exe" '"$0"'
  ${EndIf}
  CreateShortCut "${MENU_DIR}\$(LinkUninstall).lnk" "$INSTDIR\uninst.exe"

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT} (${BITS})"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "Vesper Recorder"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\VESPREC.EXE,0"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninst.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninst.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  SectionGetSize ${SecProgram} $0
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0
  WriteRegStr HKLM "${UNINST_KEY}" "VesperMode" "$Mode"

  Delete "${STARTUP_LINK}"
  ${If} $Mode == "startup"
    CreateShortCut "${STARTUP_LINK}" "$INSTDIR\VESPREC.EXE"
  ${EndIf}
  ${If} $Mode == "service"
    Call RevokeUserWrite
  ${Else}
    Call GrantUserWrite
  ${EndIf}
  ${If} $Mode == "service"
    nsExec::ExecToStack '"$INSTDIR\VESPREC.EXE" /Installa'
    Pop $0
    Pop $1
    DetailPrint "$1"
    ${If} $0 != 0
      MessageBox MB_ICONSTOP "$(ServiceFailed) $0):$\r$\n$1" /SD IDOK
      SetErrorLevel 2
      Abort
    ${EndIf}
  ${EndIf}
SectionEnd

; --- The uninstaller: the programs, the menu, the service, the entry; never
; VESPREC.INI, the logs or the data files (the folder stays while they do) ---

Function un.onInit
  !if "${ARCH}" == "win64"
    SetRegView 64
  !endif
  SetShellVarContext all
FunctionEnd

Section "Uninstall"
  ClearErrors
  ReadINIStr $Com "$INSTDIR\VESPREC.INI" "General" "Com"
  ${If} ${FileExists} "$INSTDIR\VESPREC.EXE"
    nsExec::ExecToStack '"$INSTDIR\VESPREC.EXE" /Disinstalla'
    Pop $0
    Pop $1
    DetailPrint "$1"
    ; 0: removed; 2: there was none; 1: VESPREC.INI names no port, so no
    ; service of this folder can exist.
    ${If} $0 != 0
    ${AndIf} $0 != 1
    ${AndIf} $0 != 2
      MessageBox MB_ICONSTOP "$(OldServiceFailed) $0):$\r$\n$1" /SD IDOK
      SetErrorLevel 2
      Abort
    ${EndIf}
  ${EndIf}
  ${If} $Com != ""
    Call un.StopDesktopRecorder
  ${EndIf}

  Delete "${STARTUP_LINK}"
  Delete "${MENU_DIR}\*.lnk"
  RMDir "${MENU_DIR}"
  Delete "$INSTDIR\VESPREC.EXE"
  Delete "$INSTDIR\VRECCFG.EXE"
  Delete "$INSTDIR\LEGGIMI.TXT"
  Delete "$INSTDIR\uninst.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
