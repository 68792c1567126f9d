; After the files are in place: zephost registers itself as the service
; "zephost" (automatic start, LocalSystem, restarted after a failure) and the
; service is started. An earlier registration is brought up to date.
DetailPrint "Registering the zephost service"
nsExec::ExecToLog '"$INSTDIR\bin\zephost.exe" --install-service'
Pop $0
StrCmp $0 0 +2
  Abort "zephost could not register its service (exit code $0)"
DetailPrint "Starting the zephost service"
nsExec::ExecToLog '"$SYSDIR\net.exe" start zephost'
Pop $0
