; The Windows installer: a per-user install that needs no administrator rights.
; The build passes VERSION, PUBLISHER, STAGE (the files `cmake --install` put
; in place for Windows), LICENSE and OUTFILE.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
!include MUI2.nsh
!include LogicLib.nsh

!define PRODUCT Quillet
!define WIKI_URL "http://localhost:8088/"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define SETTINGS_KEY "Software\${PRODUCT}"
!define MENU_FOLDER "$SMPROGRAMS\${PRODUCT}"
!define STARTUP_LINK "$SMSTARTUP\${PRODUCT}.lnk"
!define SERVER "quillet.exe"
!define UNINSTALLER "uninstall.exe"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" InstallLocation

; The folder the server runs in; its pages go to the folder "pages" in it.
Var WikiDir

!insertmacro MUI_PAGE_LICENSE "${LICENSE}"

!define MUI_PAGE_HEADER_TEXT "Wiki folder"
!define MUI_PAGE_HEADER_SUBTEXT "Choose the folder that holds your wiki."
!define MUI_DIRECTORYPAGE_TEXT_TOP "Quillet keeps each page as a text file in the folder pages inside this folder. Uninstalling Quillet never deletes this folder."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Wiki folder"
!define MUI_DIRECTORYPAGE_VARIABLE $WikiDir
!insertmacro MUI_PAGE_DIRECTORY

!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES

!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start the wiki now and open it"
!define MUI_FINISHPAGE_RUN_FUNCTION StartWiki
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE English

Function .onInit
  ; Installing again keeps the wiki folder chosen the first time.
  ReadRegStr $WikiDir HKCU "${SETTINGS_KEY}" WikiFolder
  ${If} $WikiDir == ""
    StrCpy $WikiDir "$DOCUMENTS\Wiki"
  ${EndIf}
FunctionEnd

Function StartWiki
  SetOutPath "$WikiDir"
  Exec '"$INSTDIR\${SERVER}"'
  ExecShell open "${WIKI_URL}"
FunctionEnd

Section "Quillet" SectionProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${STAGE}\${SERVER}"
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENSE.txt"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  CreateDirectory "${MENU_FOLDER}"
  CreateShortcut "${MENU_FOLDER}\Uninstall.lnk" "$INSTDIR\${UNINSTALLER}"
  WriteINIStr "${MENU_FOLDER}\Open the wiki.url" InternetShortcut URL "${WIKI_URL}"
  ; A shortcut's working directory is the output path: the server must run in
  ; the wiki folder. SetOutPath also makes that folder.
  SetOutPath "$WikiDir"
  CreateShortcut "${MENU_FOLDER}\${PRODUCT}.lnk" "$INSTDIR\${SERVER}" "" "" 0 SW_SHOWNORMAL "" \
    "Starts the wiki; read it with Open the wiki"
  ; Installing again without the login option takes away the old shortcut.
  Delete "${STARTUP_LINK}"

  WriteRegStr HKCU "${SETTINGS_KEY}" WikiFolder "$WikiDir"
  WriteRegStr HKCU "${UNINSTALL_KEY}" DisplayName "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" DisplayVersion "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" Publisher "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" InstallLocation "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" UninstallString '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" QuietUninstallString '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" NoModify 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" NoRepair 1
SectionEnd

Section "Start the wiki when I log in" SectionStartup
  SetOutPath "$WikiDir"
  CreateShortcut "${STARTUP_LINK}" "$INSTDIR\${SERVER}"
SectionEnd

; Removes what the installer made, file by file, and never the wiki folder.
Section Uninstall
  Delete "${STARTUP_LINK}"
  Delete "${MENU_FOLDER}\${PRODUCT}.lnk"
  Delete "${MENU_FOLDER}\Open the wiki.url"
  Delete "${MENU_FOLDER}\Uninstall.lnk"
  RMDir "${MENU_FOLDER}"
  Delete "$INSTDIR\${SERVER}"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  DeleteRegKey HKCU "${SETTINGS_KEY}"
SectionEnd
