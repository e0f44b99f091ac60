; The Windows installer of Telvara: both drivers (64-bit and 32-bit) and the
; control panel in one folder under Program Files, both drivers registered,
; the panel in the Start menu, an uninstaller in Programs and Features.
;
; tools/package.sh builds it; it passes these on makensis's command line:
;   VERSION     the build's version, x.y.z        OUTFILE  the installer to write
;   DRIVER_X64  telvara_x64.dll   DRIVER_X86  telvara_x86.dll
;   PANEL       telvarapanel.exe (left out while the build has no panel)
;
; Silent use: setup.exe /S [/D=folder]; uninstall.exe /S [/RemoveSettings].
; The uninstaller keeps the user's config.ini unless it is asked to remove
; it (a question, or /RemoveSettings when silent).

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "x64.nsh"
!include "FileFunc.nsh"
!include "WinMessages.nsh"

!macro Required NAME
  !ifndef ${NAME}
    !error "${NAME} is missing: tools/package.sh passes it"
  !endif
!macroend
!insertmacro Required VERSION
!insertmacro Required OUTFILE
!insertmacro Required DRIVER_X64
!insertmacro Required DRIVER_X86

!define PRODUCT "Telvara"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Telvara"
; The panel's top-level window, as the driver finds it too.
!define PANEL_WINDOW_CLASS "telvarapanel"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PRODUCT}"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!ifdef PANEL
  !define MUI_FINISHPAGE_RUN "$INSTDIR\telvarapanel.exe"
!endif
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

LangString PanelShortcut ${LANG_ENGLISH} "Telvara Control Panel"
LangString PanelShortcut ${LANG_SIMPCHINESE} "TELVARA 控制面板"
LangString RegisterFailed ${LANG_ENGLISH} "Could not register $R1 (regsvr32 exit code $R2)."
LangString RegisterFailed ${LANG_SIMPCHINESE} "无法注册 $R1 (regsvr32 退出代码 $R2)。"
LangString RemoveSettings ${LANG_ENGLISH} "Also remove your Telvara settings ($APPDATA\ZQV\config.ini)?"
LangString RemoveSettings ${LANG_SIMPCHINESE} "同时删除您的 Telvara 设置 ($APPDATA\ZQV\config.ini) 吗?"
LangString PanelStillRunning ${LANG_ENGLISH} "The Telvara control panel did not close; it is removed when Windows restarts."
LangString PanelStillRunning ${LANG_SIMPCHINESE} "TELVARA 控制面板未能关闭,将在 Windows 重新启动时删除。"

; Asks a running panel to close, as the driver does (WM_CLOSE), and waits
; up to 5 s for its window to go. $R0 is 1 when no panel is left.
!macro ClosePanel
  StrCpy $R0 0
  FindWindow $R9 "${PANEL_WINDOW_CLASS}"
  ${If} $R9 <> 0
    DetailPrint "Closing the Telvara control panel"
    SendMessage $R9 ${WM_CLOSE} 0 0 /TIMEOUT=2000
  ${EndIf}
  ${For} $R8 1 50
    FindWindow $R9 "${PANEL_WINDOW_CLASS}"
    ${If} $R9 = 0
      StrCpy $R0 1
      ${ExitFor}
    ${EndIf}
    Sleep 100
  ${Next}
!macroend

; regsvr32 of the library's own bitness: the 32-bit one sees the 32-bit
; registry (WOW6432Node), the 64-bit one the 64-bit registry. Leaves
; regsvr32's exit code in $R2.
!macro RunRegsvr32 OPTIONS FILE BITS
  StrCpy $R1 "${FILE}"
  !if ${BITS} == 64
    ${DisableX64FSRedirection}
  !endif
  ExecWait '"$SYSDIR\regsvr32.exe" ${OPTIONS} "$INSTDIR\${FILE}"' $R2
  !if ${BITS} == 64
    ${EnableX64FSRedirection}
  !endif
  DetailPrint "regsvr32 ${OPTIONS} ${FILE}: $R2"
!macroend

!macro RegisterDriver FILE BITS
  !insertmacro RunRegsvr32 "/s" "${FILE}" ${BITS}
  ${If} $R2 != 0
    MessageBox MB_OK|MB_ICONSTOP "$(RegisterFailed)" /SD IDOK
    SetErrorLevel 3
    Abort
  ${EndIf}
!macroend

Function .onInit
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
FunctionEnd

Section "Telvara"
  SetShellVarContext all
  !insertmacro ClosePanel
  SetOutPath "$INSTDIR"
  ${If} ${RunningX64}
    File "/oname=telvara_x64.dll" "${DRIVER_X64}"
  ${EndIf}
  File "/oname=telvara_x86.dll" "${DRIVER_X86}"
  !ifdef PANEL
    File "/oname=telvarapanel.exe" "${PANEL}"
  !endif
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ${If} ${RunningX64}
    !insertmacro RegisterDriver telvara_x64.dll 64
  ${EndIf}
  !insertmacro RegisterDriver telvara_x86.dll 32

  !ifdef PANEL
    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\$(PanelShortcut).lnk" "$INSTDIR\telvarapanel.exe"
  !endif

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  !ifdef PANEL
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\telvarapanel.exe"
  !endif
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function un.onInit
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  !insertmacro ClosePanel
  ${If} $R0 = 0
    MessageBox MB_OK|MB_ICONEXCLAMATION "$(PanelStillRunning)" /SD IDOK
  ${EndIf}

  ; Each library removes its own keys; a failure is in the details, and the
  ; removal goes on.
  ${If} ${RunningX64}
  ${AndIf} ${FileExists} "$INSTDIR\telvara_x64.dll"
    !insertmacro RunRegsvr32 "/u /s" telvara_x64.dll 64
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\telvara_x86.dll"
    !insertmacro RunRegsvr32 "/u /s" telvara_x86.dll 32
  ${EndIf}

  ; The settings belong to the user who runs the uninstaller.
  SetShellVarContext current
  StrCpy $R5 0
  ${GetParameters} $R3
  ClearErrors
  ${GetOptions} $R3 "/RemoveSettings" $R4
  ${IfNot} ${Errors}
    StrCpy $R5 1
  ${ElseIf} ${FileExists} "$APPDATA\ZQV\config.ini"
    MessageBox MB_YESNO|MB_ICONQUESTION "$(RemoveSettings)" /SD IDNO IDNO +2
    StrCpy $R5 1
  ${EndIf}
  ${If} $R5 = 1
    Delete "$APPDATA\ZQV\config.ini"
    RMDir "$APPDATA\ZQV"
  ${EndIf}
  SetShellVarContext all

  RMDir /r "$SMPROGRAMS\${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete /REBOOTOK "$INSTDIR\telvara_x64.dll"
  Delete /REBOOTOK "$INSTDIR\telvara_x86.dll"
  Delete /REBOOTOK "$INSTDIR\telvarapanel.exe"
  ; The crash report the panel may have left beside itself.
  Delete "$INSTDIR\telvarapanel.RPT"
  Delete "$INSTDIR\uninstall.exe"
  ; Last: the folder's going tells that the uninstaller is done.
  RMDir /REBOOTOK "$INSTDIR"
SectionEnd
