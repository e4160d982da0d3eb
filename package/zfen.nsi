; Windows installer for the VST 3 and LV2 bundles. ./dev package passes the
; product facts (VERSION NAME VENDOR PLUGIN_ID URL), SRC (dist/windows),
; PRESET_DELETES (an include of one Delete line per factory preset) and OUTFILE.
Unicode true
; A 64-bit stub: the plug-in is 64-bit only, and a test host without 32-bit
; Wine can still run it. Pass -DTARGET=x86-unicode for a 32-bit stub, which
; then shows the RunningX64 message below on 32-bit Windows.
!ifndef TARGET
  !define TARGET amd64-unicode
!endif
Target ${TARGET}
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include x64.nsh

!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PLUGIN_ID}"
!define VST3_BUNDLE "$COMMONFILES64\VST3\${PLUGIN_ID}.vst3"
!define LV2_BUNDLE "$COMMONFILES64\LV2\${PLUGIN_ID}.lv2"
; $APPDATA is %PROGRAMDATA% once SetShellVarContext is "all".
!define PRESET_VENDOR_DIR "$APPDATA\VST3 Presets\${VENDOR}"
!define PRESET_DIR "${PRESET_VENDOR_DIR}\${NAME}"
!define UNINSTALLER "Uninstall ${NAME}.exe"

Name "${NAME} ${VERSION}"
OutFile "${OUTFILE}"
; Holds only the uninstaller: the bundles go where hosts look for them. There
; is no page to change it, so the uninstaller's vendor folder below is this one's.
InstallDir "$PROGRAMFILES64\${VENDOR}\${NAME}"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion ${VERSION}
VIAddVersionKey /LANG=1033 ProductName "${NAME}"
VIAddVersionKey /LANG=1033 CompanyName "${VENDOR}"
VIAddVersionKey /LANG=1033 ProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 FileVersion "${VERSION}"
VIAddVersionKey /LANG=1033 FileDescription "${NAME} ${VERSION} setup"
VIAddVersionKey /LANG=1033 LegalCopyright "${VENDOR}"

Page components
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "${NAME} is a 64-bit plug-in: it needs 64-bit Windows." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
  SetShellVarContext all
FunctionEnd

; Clears the attributes that would stop a bundle folder from being removed.
!macro ClearBundle DIR
  SetFileAttributes "${DIR}\desktop.ini" NORMAL
  SetFileAttributes "${DIR}" NORMAL
  RMDir /r "${DIR}"
!macroend

Section "VST 3 plug-in and presets" SecVst3
  ; A fresh copy, so files an older version had do not linger.
  !insertmacro ClearBundle "${VST3_BUNDLE}"
  SetOutPath "${VST3_BUNDLE}"
  File /r "${SRC}\vst3\${PLUGIN_ID}.vst3\*"
  ; Explorer shows desktop.ini's icon only for a read-only or system folder;
  ; "system" is the one Wine keeps on folders, so the test can see it.
  SetFileAttributes "${VST3_BUNDLE}\desktop.ini" HIDDEN|SYSTEM
  SetFileAttributes "${VST3_BUNDLE}" SYSTEM
  SetOutPath "${PRESET_DIR}"
  File "${SRC}\vst3-presets\*.vstpreset"
  ; The uninstaller removes only what a section put in place.
  WriteRegDWORD HKLM "${UNINST_KEY}" "InstalledVst3" 1
SectionEnd

Section "LV2 plug-in" SecLv2
  !insertmacro ClearBundle "${LV2_BUNDLE}"
  SetOutPath "${LV2_BUNDLE}"
  File /r "${SRC}\lv2\${PLUGIN_ID}.lv2\*"
  WriteRegDWORD HKLM "${UNINST_KEY}" "InstalledLv2" 1
SectionEnd

Section "-Uninstaller"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${VENDOR}"
  WriteRegStr HKLM "${UNINST_KEY}" "URLInfoAbout" "${URL}"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
SectionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Uninstall"
  ReadRegDWORD $0 HKLM "${UNINST_KEY}" "InstalledVst3"
  ${If} $0 = 1
    !insertmacro ClearBundle "${VST3_BUNDLE}"
    ; The factory presets by name: a user's own presets in the folder stay.
    !include "${PRESET_DELETES}"
    RMDir "${PRESET_DIR}"
    RMDir "${PRESET_VENDOR_DIR}"
  ${EndIf}
  ReadRegDWORD $0 HKLM "${UNINST_KEY}" "InstalledLv2"
  ${If} $0 = 1
    !insertmacro ClearBundle "${LV2_BUNDLE}"
  ${EndIf}
  DeleteRegKey HKLM "${UNINST_KEY}"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
  ; The vendor folder, if nothing else is in it.
  RMDir "$PROGRAMFILES64\${VENDOR}"
SectionEnd
