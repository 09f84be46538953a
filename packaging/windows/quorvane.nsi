; The Windows installer, quorvane-<version>-setup.exe, made by NSIS's makensis for `make windows`
; (the quorvane_setup target of cmake/windows-package.cmake), which defines:
;   VERSION     the project's version, three numbers
;   FILES       the program folder as the zip holds it
;   FILE_LIST   an .nsh with the macros QUORVANE_INSTALL_FILES and QUORVANE_UNINSTALL_FILES,
;               written from that folder: the uninstaller deletes only what was installed
;   OUTFILE     the installer to write
; It installs for the user who runs it, with no administrator rights: the program folder under
; the user's own programs folder, a Start-menu shortcut, the uninstaller's entry and "Open with"
; for .m4a and .m4b files, all in the user's profile and HKEY_CURRENT_USER. It never makes
; Quorvane the default program of a file type. The settings the program writes
; (HKCU\Software\Harrowmede\Quorvane) are the user's and stay after an uninstall.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include MUI2.nsh
!include FileFunc.nsh
!include Integration.nsh
!include LogicLib.nsh
!include "${FILE_LIST}"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvane"
!define APPLICATION_KEY "Software\Classes\Applications\quorvane.exe"
; The file type Quorvane offers in "Open with", beside the one that owns each extension.
!define PROGID "Harrowmede.Quorvane.Audio"
!define PROGID_KEY "Software\Classes\${PROGID}"
!define OPEN_COMMAND '"$INSTDIR\quorvane.exe" "%1"'

Name "Quorvane"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Quorvane"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Harrowmede Quorvane ${VERSION}"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "CompanyName" "Harrowmede"
VIAddVersionKey /LANG=0 "ProductName" "Quorvane"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "Quorvane installer"
VIAddVersionKey /LANG=0 "LegalCopyright" "Copyright (C) 2026 Harrowmede. Licensed under GPL-3.0-or-later."

!define MUI_ICON "..\..\src\app\resources\quorvane.ico"
!define MUI_UNICON "..\..\src\app\resources\quorvane.ico"
!define MUI_ABORTWARNING

; The GPL asks for no acceptance to use the program: the page informs, "Next" goes on.
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!define MUI_LICENSEPAGE_TEXT_TOP "Quorvane is free software, and so are the libraries it comes with."
!define MUI_LICENSEPAGE_TEXT_BOTTOM "You need not accept this licence to use Quorvane: it gives you the right to share and change it. NOTICES.txt in the program's folder names the libraries it includes, their licences and where their source code is."
!insertmacro MUI_PAGE_LICENSE "${FILES}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\quorvane.exe"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\NOTICES.txt"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Show the licences of the included libraries"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

!macro OPEN_WITH extension
  WriteRegStr HKCU "Software\Classes\${extension}\OpenWithProgids" "${PROGID}" ""
  WriteRegStr HKCU "Software\Classes\${extension}\OpenWithList\quorvane.exe" "" ""
!macroend

; Each key the installer made goes, and the extension's keys too when nothing else is left in
; them; what other programs wrote there stays.
!macro NO_OPEN_WITH extension
  DeleteRegValue HKCU "Software\Classes\${extension}\OpenWithProgids" "${PROGID}"
  DeleteRegKey HKCU "Software\Classes\${extension}\OpenWithList\quorvane.exe"
  DeleteRegKey /ifempty HKCU "Software\Classes\${extension}\OpenWithProgids"
  DeleteRegKey /ifempty HKCU "Software\Classes\${extension}\OpenWithList"
  DeleteRegKey /ifempty HKCU "Software\Classes\${extension}"
!macroend

Section "Quorvane"
  ; An earlier copy in the same folder leaves first, with the list of files it installed.
  ${If} ${FileExists} "$INSTDIR\Uninstall.exe"
    ExecWait '"$INSTDIR\Uninstall.exe" /S _?=$INSTDIR'
  ${EndIf}

  !insertmacro QUORVANE_INSTALL_FILES
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Quorvane.lnk" "$INSTDIR\quorvane.exe" "" "$INSTDIR\quorvane.exe" 0 \
    SW_SHOWNORMAL "" "Convert M4A audio files to MP3"

  ; Apps & features (Programs and Features) lists it for the user.
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Quorvane"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Harrowmede"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quorvane.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "URLInfoAbout" "https://www.harrowmede.com/quorvane/"
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0

  ; "Open with": the program by its file name, and a file type of its own that each extension
  ; lists without making it the default.
  WriteRegStr HKCU "${APPLICATION_KEY}" "FriendlyAppName" "Quorvane"
  WriteRegStr HKCU "${APPLICATION_KEY}\DefaultIcon" "" "$INSTDIR\quorvane.exe,0"
  WriteRegStr HKCU "${APPLICATION_KEY}\shell\open\command" "" '${OPEN_COMMAND}'
  WriteRegStr HKCU "${APPLICATION_KEY}\SupportedTypes" ".m4a" ""
  WriteRegStr HKCU "${APPLICATION_KEY}\SupportedTypes" ".m4b" ""
  WriteRegStr HKCU "${PROGID_KEY}" "" "MPEG-4 audio"
  WriteRegStr HKCU "${PROGID_KEY}\DefaultIcon" "" "$INSTDIR\quorvane.exe,0"
  WriteRegStr HKCU "${PROGID_KEY}\shell\open\command" "" '${OPEN_COMMAND}'
  !insertmacro OPEN_WITH .m4a
  !insertmacro OPEN_WITH .m4b
  ${NotifyShell_AssocChanged}
SectionEnd

Section "Uninstall"
  !insertmacro QUORVANE_UNINSTALL_FILES
  Delete "$INSTDIR\Uninstall.exe"
  ; Only when empty: files the user put there stay, and so does the folder.
  RMDir "$INSTDIR"
  ${UnpinShortcut} "$SMPROGRAMS\Quorvane.lnk"
  Delete "$SMPROGRAMS\Quorvane.lnk"

  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  DeleteRegKey HKCU "${APPLICATION_KEY}"
  DeleteRegKey HKCU "${PROGID_KEY}"
  !insertmacro NO_OPEN_WITH .m4a
  !insertmacro NO_OPEN_WITH .m4b
  ${NotifyShell_AssocChanged}
SectionEnd
