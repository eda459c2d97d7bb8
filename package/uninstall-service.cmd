@echo off
rem Stops the KVR Rivelo service and removes its registration. Run it as an
rem administrator:
rem     uninstall-service.cmd [NAME]
rem NAME is the service name (Rivelo when not given). The stack's files stay.
setlocal EnableExtensions DisableDelayedExpansion

rem How long to wait for the stop: a database may take a while to shut down.
set "STOP_WAIT_SECONDS=180"

set "NAME=%~1"
if not "%~2"=="" goto usage
if not defined NAME set "NAME=Rivelo"
setlocal EnableDelayedExpansion

rem sc ends with 1060 when there is no such service (with 1 under Wine).
sc query "!NAME!" >nul 2>&1
set "STATUS=!errorlevel!"
if "!STATUS!"=="1060" goto not_installed
if "!STATUS!"=="1" goto not_installed
if not "!STATUS!"=="0" (
    echo uninstall-service: cannot query service !NAME!, status !STATUS!. 1>&2
    exit /b !STATUS!
)

rem A service that is stopped already refuses the stop control: the wait
rem below tells.
sc stop "!NAME!" >nul 2>&1
if "!errorlevel!"=="5" (
    echo uninstall-service: access denied; run this script as an administrator. 1>&2
    exit /b 5
)
set /a WAITED=0
:wait_for_stop
rem The state line of sc query reads "STATE : 1  STOPPED".
set "STATE="
for /f "tokens=1,4" %%a in ('sc query "!NAME!"') do if "%%a"=="STATE" set "STATE=%%b"
if "!STATE!"=="STOPPED" goto stopped
if !WAITED! geq %STOP_WAIT_SECONDS% (
    echo uninstall-service: service !NAME! has not stopped within %STOP_WAIT_SECONDS% s; it is not removed. 1>&2
    echo uninstall-service: run this script again once "sc query !NAME!" shows STOPPED. 1>&2
    exit /b 1
)
rem One second: ping waits that long between its two echo requests.
ping -n 2 127.0.0.1 >nul
set /a WAITED+=1
goto wait_for_stop

:stopped
sc delete "!NAME!"
set "STATUS=!errorlevel!"
if not "!STATUS!"=="0" (
    echo uninstall-service: sc delete failed with status !STATUS!; the service is still registered. 1>&2
    exit /b !STATUS!
)
echo uninstall-service: service !NAME! is stopped and removed.
exit /b 0

:not_installed
echo uninstall-service: there is no service named !NAME!; nothing to remove.
exit /b 0

:usage
echo usage: uninstall-service.cmd [NAME] 1>&2
exit /b 2
