; The service runs as LocalSystem from the installed files: they go only
; under Program Files, which users cannot change. A folder chosen elsewhere
; (C:\zep, say) would inherit rights that let users replace zep.dll.
GetFullPathName $0 "$INSTDIR"
StrLen $1 "$PROGRAMFILES64\"
StrCpy $2 $0 $1
StrCmp $2 "$PROGRAMFILES64\" +5
  MessageBox MB_OK|MB_ICONSTOP "zep installs under $PROGRAMFILES64 only: users could change a program that runs as SYSTEM in $0." /SD IDOK
  SetOutPath "$TEMP"
  RMDir "$0"
  Abort "zep installs under $PROGRAMFILES64 only"
