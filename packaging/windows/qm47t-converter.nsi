; SPDX-License-Identifier: MIT
; The Windows setup program, built by `make package-windows` (packaging/windows/CMakeLists.txt runs
; makensis -INPUTCHARSET UTF8 with these defines):
;   VERSION       the four-part version, also the setup program's own version record
;   PROGRAM       the built qm47t-converter.exe
;   LICENSE_FILE  the licence text
;   ICON_FILE     the program's icon, also the setup program's
;   PUBLISHER     the developer the AppStream metainfo names
;   OUTFILE       the setup program to write
; A 64-bit stub: Debian's Wine is 64-bit only, and the program itself is a 64-bit .exe.
Target amd64-unicode
ManifestDPIAware true
SetCompressor /SOLID lzma

!include MUI2.nsh
!include FileFunc.nsh

!define APP_NAME "汉字 Unicode 转换器"
!define EXE_NAME "qm47t-converter.exe"
!define SHORTCUT "$SMPROGRAMS\${APP_NAME}.lnk"
; One key, whatever the version: running setup again over an installed copy upgrades it in place
; and Apps & features keeps one entry.
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\qm47t-converter"

Name "${APP_NAME}"
BrandingText "qm47t-converter ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
InstallDir "$PROGRAMFILES64\qm47t-converter"
; An upgrade goes where the installed copy is, even if it was put somewhere else.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=2052 "ProductName" "${APP_NAME}"
VIAddVersionKey /LANG=2052 "FileDescription" "${APP_NAME} 安装程序"
VIAddVersionKey /LANG=2052 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=2052 "LegalCopyright" "Copyright (c) 2026 ${PUBLISHER}, MIT License"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "OriginalFilename" "qm47t-converter-${VERSION}-setup.exe"

!define MUI_ICON "${ICON_FILE}"
!define MUI_UNICON "${ICON_FILE}"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${LICENSE_FILE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
; The one set-up step Windows leaves to the user, the same as in the zip's README.txt, which setup
; does not install. "&&" is a plain "&": a single one would underline the next letter.
!define MUI_FINISHPAGE_TEXT_LARGE
!define MUI_FINISHPAGE_TEXT "${APP_NAME} 已安装。$\r$\n$\r$\n\
模块接在 USB 转串口线上时，先把这条线设为 COM1：打开“设备管理器”，展开“端口 (COM 和 LPT)”，\
右键单击该串口线，选“属性”；在“端口设置”选项卡中点“高级”，把“COM 端口号”选为 COM1。$\r$\n$\r$\n\
If the module hangs on a USB serial adapter, first give the adapter the name COM1: open Device \
Manager, expand Ports (COM && LPT), right-click the adapter and choose Properties; on the Port \
Settings tab click Advanced and set COM Port Number to COM1."
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

; The shortcut is for every user, and the uninstall key lives in the 64-bit registry view, where
; Apps & features looks for a 64-bit program.
Function .onInit
    SetShellVarContext all
    SetRegView 64
FunctionEnd

Function un.onInit
    SetShellVarContext all
    SetRegView 64
FunctionEnd

Section
    SetOutPath "$INSTDIR"
    File "/oname=${EXE_NAME}" "${PROGRAM}"
    File "/oname=LICENSE.txt" "${LICENSE_FILE}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "${SHORTCUT}" "$INSTDIR\${EXE_NAME}"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP_NAME}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE_NAME}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    ; There is nothing to modify or repair: only remove.
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Exactly what setup added; a folder the user put other files into stays, with those files.
Section "Uninstall"
    Delete "${SHORTCUT}"
    Delete "$INSTDIR\${EXE_NAME}"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
