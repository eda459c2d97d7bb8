@echo off
rem Stops the KVR Rivelo service and removes its registration. Run it as an
rem administrator:
rem     uninstall-service.cmd [NAME]
rem NAME is the service name (Rivelo when not given). It must be a service of
rem the rivelo_svc.exe beside this script; any other is left alone. The
rem stack's files stay.
setlocal EnableExtensions DisableDelayedExpansion

rem The system's tools, by full path: cmd.exe looks for a bare "sc" in the
rem current folder first, and this script runs elevated.
set "SC=%SystemRoot%\System32\sc.exe"
set "REG=%SystemRoot%\System32\reg.exe"
set "PING=%SystemRoot%\System32\ping.exe"

rem How long to wait for the stop: a database may take a while to shut down.
set "STOP_WAIT_SECONDS=180"

rem This package's program. The root is captured before delayed expansion is
rem turned on, so that a "!" in it is kept.
set "ROOT=%~dp0"
set "PROGRAM=%ROOT%rivelo_svc.exe"

set "NAME=%~1"
if not "%~2"=="" goto usage
if not defined NAME set "NAME=Rivelo"

rem sc ends with 1060 when there is no such service (Wine's sc with 1 on every
rem failure).
"%SC%" query "%NAME%" >nul 2>&1
set "STATUS=%errorlevel%"
if "%STATUS%"=="1060" goto not_installed
if "%STATUS%"=="1" goto not_installed
if not "%STATUS%"=="0" goto query_failed

rem The service's command line must begin with this package's program,
rem quoted, as install-service.cmd writes it. Text from another program
rem reaches cmd.exe through a code page that may lack a letter of the root
rem folder's path, so this script's own program path is read back from reg
rem too, through the same code page. %%NAME%% and %%CHECK_KEY%% are expanded
rem by the cmd.exe that runs reg, inside quotes.
set "CHECK_KEY=HKCU\Software\KVR Rivelo uninstall check"
"%REG%" add "%CHECK_KEY%" /v Program /d "%PROGRAM%" /f >nul 2>&1
set "IMAGE_PATH="
set "OWN_PROGRAM="
for /f "tokens=1,2,*" %%g in ('""%REG%" query "HKLM\SYSTEM\CurrentControlSet\Services\%%NAME%%" /v ImagePath 2>nul"') do (
    if /i "%%g"=="ImagePath" set "IMAGE_PATH=%%i"
)
for /f "tokens=1,2,*" %%g in ('""%REG%" query "%%CHECK_KEY%%" /v Program 2>nul"') do (
    if /i "%%g"=="Program" set "OWN_PROGRAM=%%i"
)
"%REG%" delete "%CHECK_KEY%" /f >nul 2>&1
if not defined IMAGE_PATH goto not_this_package
if not defined OWN_PROGRAM goto not_this_package
rem Its quotes turned into "*", which no path holds: then all of it stands
rem inside one pair of quotes, where no character has a meaning to cmd.exe,
rem and its first "*"-delimited word is the program of a quoted command line.
set "IMAGE_PATH=%IMAGE_PATH:"=*%"
if not "%IMAGE_PATH:~0,1%"=="*" goto not_this_package
rem The two programs compared in their short form, case ignored, so that a
rem folder reached through its 8.3 short name is the same folder. FOR
rem variables are not expanded again, and delayed expansion is off.
set "OWNED="
for /f "tokens=1 delims=*" %%q in ("%IMAGE_PATH%") do (
    for /f "delims=" %%r in ("%OWN_PROGRAM%") do (
        if /i "%%~sq"=="%%~sr" set "OWNED=1"
    )
)
if not defined OWNED goto not_this_package

setlocal EnableDelayedExpansion
"%SC%" stop "!NAME!" >nul 2>&1
set "STATUS=!errorlevel!"
if "!STATUS!"=="0" goto wait_for_stop
if "!STATUS!"=="5" (
    echo uninstall-service: access denied; run this script as an administrator. 1>&2
    exit /b 5
)
rem The stop was refused. Stopped already, or a stop under way, is fine;
rem anything else is told as it is, without a wait.
call :read_state
if "!STATE!"=="STOPPED" goto stopped
if "!STATE!"=="STOP_PENDING" goto wait_for_stop
if not defined STATE set "STATE=unknown"
echo uninstall-service: sc stop failed with status !STATUS!; service !NAME! is not removed, its state: !STATE!. 1>&2
if "!STATUS!"=="1051" echo uninstall-service: other services depend on !NAME! and run; stop them first. 1>&2
if "!STATUS!"=="1061" echo uninstall-service: !NAME! cannot take a stop request now, while it starts; run this script again in a moment. 1>&2
exit /b !STATUS!

:wait_for_stop
set /a WAITED=0
:poll_state
call :read_state
if "!STATE!"=="STOPPED" goto stopped
if !WAITED! geq %STOP_WAIT_SECONDS% (
    echo uninstall-service: service !NAME! has not stopped within %STOP_WAIT_SECONDS% s; it is not removed. 1>&2
    echo uninstall-service: run this script again once "sc query !NAME!" shows STOPPED. 1>&2
    exit /b 1
)
rem One second: ping waits that long between its two echo requests.
"%PING%" -n 2 127.0.0.1 >nul
set /a WAITED+=1
goto poll_state

:stopped
"%SC%" delete "!NAME!" >nul 2>&1
set "STATUS=!errorlevel!"
if "!STATUS!"=="1072" goto marked_for_deletion
if not "!STATUS!"=="0" (
    echo uninstall-service: sc delete failed with status !STATUS!; the service is still registered. 1>&2
    exit /b !STATUS!
)
rem While a program holds the service open, sc delete only marks it.
"%SC%" query "!NAME!" >nul 2>&1
if "!errorlevel!"=="0" goto marked_for_deletion
echo uninstall-service: service !NAME! is stopped and removed.
exit /b 0

:marked_for_deletion
echo uninstall-service: service !NAME! is stopped and marked for deletion. Windows removes it once no program holds it open: close the Services console and other service tools, or restart Windows.
exit /b 0

rem Sets STATE to the state of service NAME, from the line "STATE : 1  STOPPED"
rem of sc query. A Windows in another language translates the label but keeps
rem the code and the name, so the line is found by what follows its colon.
rem Empty when sc fails.
:read_state
set "STATE="
for /f "tokens=1,* delims=:" %%a in ('""%SC%" query "!NAME!""') do call :state_in %%b
exit /b 0

rem Sets STATE when the words after a colon are a state code and its name.
:state_in
for %%s in ("1 STOPPED" "2 START_PENDING" "3 STOP_PENDING" "4 RUNNING" "5 CONTINUE_PENDING" "6 PAUSE_PENDING" "7 PAUSED") do (
    if "%~1 %~2"==%%s set "STATE=%~2"
)
exit /b 0

:not_this_package
rem Delayed expansion shows each value whole, whatever characters it holds.
setlocal EnableDelayedExpansion
echo uninstall-service: service !NAME! does not run this package's "!PROGRAM!"; it is left as it is. 1>&2
echo uninstall-service: "sc qc !NAME!" shows the program it runs; remove it with the uninstall-service.cmd beside that program. 1>&2
exit /b 1

:query_failed
setlocal EnableDelayedExpansion
echo uninstall-service: cannot query service !NAME!, status !STATUS!. 1>&2
exit /b !STATUS!

:not_installed
setlocal EnableDelayedExpansion
echo uninstall-service: there is no service named !NAME!; nothing to remove.
exit /b 0

:usage
echo usage: uninstall-service.cmd [NAME] 1>&2
exit /b 2
