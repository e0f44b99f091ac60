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
LangString ExtractFailed ${LANG_ENGLISH} "Could not write $R1 into $INSTDIR. Nothing was changed."
LangString ExtractFailed ${LANG_SIMPCHINESE} "无法将 $R1 写入 $INSTDIR。未做任何更改。"
LangString InUseReplaced ${LANG_ENGLISH} "A program still has the previous Telvara driver or control panel loaded. The new version is installed; close your audio programs (or restart Windows) to use it. The old copies are removed when Windows restarts."
LangString InUseReplaced ${LANG_SIMPCHINESE} "仍有程序加载着旧版 Telvara 驱动或控制面板。新版本已安装;请关闭音频程序(或重新启动 Windows)以使用新版本。旧文件将在 Windows 重新启动时删除。"
LangString RestartToFinish ${LANG_ENGLISH} "A program holds $R1 so that it cannot be replaced now. Restart Windows to finish the installation (the new version replaces the old one then), or close your audio programs and the Telvara control panel and run the installer again."
LangString RestartToFinish ${LANG_SIMPCHINESE} "有程序占用 $R1,现在无法替换。请重新启动 Windows 以完成安装(届时新版本将替换旧版本),或关闭音频程序和 Telvara 控制面板后重新运行安装程序。"
LangString RemovedAtRestart ${LANG_ENGLISH} "A program still has Telvara loaded. Its files are removed when Windows restarts; the driver is no longer registered."
LangString RemovedAtRestart ${LANG_SIMPCHINESE} "仍有程序加载着 Telvara。其文件将在 Windows 重新启动时删除;驱动已不再注册。"

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

; Every file is first written beside its place as NAME.new; only when all
; of them are there are they put in place, so a failure to write leaves the
; installed version as it was.
!macro Extract SOURCE NAME
  StrCpy $R1 "${NAME}"
  ClearErrors
  SetOverwrite on
  File "/oname=${NAME}.new" "${SOURCE}"
  ${If} ${Errors}
    Call RemoveNewFiles
    MessageBox MB_OK|MB_ICONSTOP "$(ExtractFailed)" /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
!macroend

; Puts NAME.new in place of NAME. A file that a running program has loaded
; (a host holding the driver, a panel that did not close) cannot be
; overwritten or deleted, but Windows lets it be renamed: it goes aside as
; NAME.old-N, stays with the program until that ends, and is deleted at the
; next restart ($R6 = 1). Where even that fails, the new file replaces the
; old one at the next restart (MoveFileEx, MOVEFILE_DELAY_UNTIL_REBOOT;
; $R7 = 1).
!macro PutInPlace NAME
  StrCpy $R1 "${NAME}"
  Delete "$INSTDIR\${NAME}"
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    StrCpy $R3 1
    ${DoWhile} ${FileExists} "$INSTDIR\${NAME}.old-$R3"
      Delete "$INSTDIR\${NAME}.old-$R3"
      ${IfNot} ${FileExists} "$INSTDIR\${NAME}.old-$R3"
        ${ExitDo}
      ${EndIf}
      IntOp $R3 $R3 + 1
    ${Loop}
    ClearErrors
    Rename "$INSTDIR\${NAME}" "$INSTDIR\${NAME}.old-$R3"
    ${IfNot} ${Errors}
      DetailPrint "${NAME} is in use: the old copy went aside as ${NAME}.old-$R3"
      Delete /REBOOTOK "$INSTDIR\${NAME}.old-$R3"
      StrCpy $R6 1
    ${EndIf}
  ${EndIf}
  ClearErrors
  Rename "$INSTDIR\${NAME}.new" "$INSTDIR\${NAME}"
  ${If} ${Errors}
    DetailPrint "${NAME} is in use: it is replaced when Windows restarts"
    Rename /REBOOTOK "$INSTDIR\${NAME}.new" "$INSTDIR\${NAME}"
    StrCpy $R7 1
    StrCpy $R4 "${NAME}"
  ${EndIf}
!macroend

; Deletes a file of ours; one that a running program has loaded is deleted
; at the next restart ($R6 = 1).
!macro RemoveFile NAME
  Delete "$INSTDIR\${NAME}"
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    Delete /REBOOTOK "$INSTDIR\${NAME}"
    StrCpy $R6 1
  ${EndIf}
!macroend

Function RemoveNewFiles
  Delete "$INSTDIR\telvara_x64.dll.new"
  Delete "$INSTDIR\telvara_x86.dll.new"
  Delete "$INSTDIR\telvarapanel.exe.new"
FunctionEnd

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
    !insertmacro Extract "${DRIVER_X64}" telvara_x64.dll
  ${EndIf}
  !insertmacro Extract "${DRIVER_X86}" telvara_x86.dll
  !ifdef PANEL
    !insertmacro Extract "${PANEL}" telvarapanel.exe
  !endif
  StrCpy $R6 0
  StrCpy $R7 0
  ${If} ${RunningX64}
    !insertmacro PutInPlace telvara_x64.dll
  ${EndIf}
  !insertmacro PutInPlace telvara_x86.dll
  !ifdef PANEL
    !insertmacro PutInPlace telvarapanel.exe
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

  ; 3010: ERROR_SUCCESS_REBOOT_REQUIRED, as Windows installers answer.
  ${If} $R7 = 1
    StrCpy $R1 $R4
    MessageBox MB_OK|MB_ICONEXCLAMATION "$(RestartToFinish)" /SD IDOK
    SetRebootFlag true
    SetErrorLevel 3010
  ${ElseIf} $R6 = 1
    MessageBox MB_OK|MB_ICONINFORMATION "$(InUseReplaced)" /SD IDOK
    SetRebootFlag true
    SetErrorLevel 3010
  ${EndIf}
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
  StrCpy $R6 0
  !insertmacro RemoveFile telvara_x64.dll
  !insertmacro RemoveFile telvara_x86.dll
  !insertmacro RemoveFile telvarapanel.exe
  ; What an install over a running copy put aside, and what it left
  ; unfinished.
  ${For} $R3 1 20
    !insertmacro RemoveFile telvara_x64.dll.old-$R3
    !insertmacro RemoveFile telvara_x86.dll.old-$R3
    !insertmacro RemoveFile telvarapanel.exe.old-$R3
  ${Next}
  Delete "$INSTDIR\telvara_x64.dll.new"
  Delete "$INSTDIR\telvara_x86.dll.new"
  Delete "$INSTDIR\telvarapanel.exe.new"
  ; The crash report the panel may have left beside itself.
  Delete "$INSTDIR\telvarapanel.RPT"
  Delete "$INSTDIR\uninstall.exe"
  ; Last: the folder's going tells that the uninstaller is done.
  RMDir /REBOOTOK "$INSTDIR"
  ${If} $R6 = 1
    MessageBox MB_OK|MB_ICONINFORMATION "$(RemovedAtRestart)" /SD IDOK
    SetRebootFlag true
    SetErrorLevel 3010
  ${EndIf}
SectionEnd
