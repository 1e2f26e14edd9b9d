; The Windows installer: the unzipped folder's files under Program Files, a
; Start-menu entry for the two windows and one for the station, and an
; uninstaller listed in "Apps & features".
; makensis -DVERSION=... -DSTAGE=<folder> -DOUTFILE=<setup.exe> -DICON=<ico>
Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

Name "Tarvik Downloader ${VERSION}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$PROGRAMFILES64\Tarvik Downloader"
InstallDirRegKey HKLM "Software\Tarvik Downloader" "InstallDir"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvik Downloader"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Tarvik Downloader"
    SetShellVarContext all
    SetOutPath "$INSTDIR"
    File /r "${STAGE}\*.*"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateDirectory "$SMPROGRAMS\Tarvik Downloader"
    CreateShortcut "$SMPROGRAMS\Tarvik Downloader\Tarvik Downloader.lnk" "$INSTDIR\tarvik-downloader.exe"
    ; The station window, empty: the operator picks the file and the ports.
    CreateShortcut "$SMPROGRAMS\Tarvik Downloader\Tarvik Station.lnk" "$INSTDIR\tarvik-downloader.exe" "station"
    CreateShortcut "$SMPROGRAMS\Tarvik Downloader\Uninstall Tarvik Downloader.lnk" "$INSTDIR\uninstall.exe"
    WriteRegStr HKLM "Software\Tarvik Downloader" "InstallDir" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Tarvik Downloader"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Tarvik"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tarvik-downloader.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    Delete "$SMPROGRAMS\Tarvik Downloader\Tarvik Downloader.lnk"
    Delete "$SMPROGRAMS\Tarvik Downloader\Tarvik Station.lnk"
    Delete "$SMPROGRAMS\Tarvik Downloader\Uninstall Tarvik Downloader.lnk"
    RMDir "$SMPROGRAMS\Tarvik Downloader"
    RMDir /r "$INSTDIR\platforms"
    RMDir /r "$INSTDIR\styles"
    Delete "$INSTDIR\*.dll"
    Delete "$INSTDIR\tarvik-downloader.exe"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKLM "Software\Tarvik Downloader"
SectionEnd
