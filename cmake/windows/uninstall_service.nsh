; Before the files go: the service stops (its calls get up to 5 s) and its
; registration and event log source are removed.
DetailPrint "Removing the zephost service"
nsExec::ExecToLog '"$INSTDIR\bin\zephost.exe" --uninstall-service'
Pop $0
; The module's own settings and log files (Delete removes a link, never what
; it points to). Its working folders are left unless empty: users may write in
; them, and an elevated recursive delete there could be steered elsewhere by a
; folder link a user planted.
Delete "$INSTDIR\bin\TKConfiguration.ini"
Delete "$INSTDIR\bin\user_config.ini"
Delete "$INSTDIR\bin\log\tks.log"
Delete "$INSTDIR\bin\log\tku.log"
RMDir "$INSTDIR\bin\log"
RMDir "$INSTDIR\bin\cache"
RMDir "$INSTDIR\bin\upload"
RMDir "$INSTDIR\bin\dump"
