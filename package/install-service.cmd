@echo off
rem Registers the web stack in this script's folder as a Windows service.
rem Run it as an administrator:
rem     install-service.cmd [NAME] [--dtrs VALUE]
rem NAME is the service name (Rivelo when not given). The folder of this
rem script is the stack's root folder and must hold rivelo_svc.exe. The
rem service starts with Windows; start it now with "sc start NAME".
setlocal EnableExtensions DisableDelayedExpansion

rem The system's tools, by full path: cmd.exe looks for a bare "sc" in the
rem current folder first, and this script runs elevated.
set "SC=%SystemRoot%\System32\sc.exe"
set "REG=%SystemRoot%\System32\reg.exe"

rem What the service manager gives a stop at system shutdown: 3 minutes, so
rem that the database can shut down cleanly. The service raises a lower
rem time-out to the same 180000 each time it starts (kLeastPreshutdownTimeoutMs
rem in service_host.cpp) and keeps a longer one; this registry value is what
rem the manager reads when Windows starts, also for an account that may not
rem change it.
set "PRESHUTDOWN_TIMEOUT_MS=180000"

rem The root folder, without the backslash that %~dp0 ends with. Captured
rem before delayed expansion is turned on, so that a "!" in it is kept.
set "ROOT=%~dp0"
set "ROOT=%ROOT:~0,-1%"
set "NAME="
set "DTRS="
set "DTRS_GIVEN="

:next_argument
if "%~1"=="" goto arguments_read
if "%~1"=="--dtrs" goto dtrs_argument
if defined NAME goto usage
set "NAME=%~1"
shift
goto next_argument
:dtrs_argument
if "%~2"=="" goto usage
set "DTRS=%~2"
set "DTRS_GIVEN=1"
shift
shift
goto next_argument
:arguments_read
if not defined NAME set "NAME=Rivelo"
rem The program refuses a --dtrs value that begins with "-", and a quoted
rem value that ends with a backslash swallows its closing quote: refuse both
rem here, where the message is seen.
if defined DTRS_GIVEN if "%DTRS:~0,1%"=="-" goto dtrs_begins_with_dash
if defined DTRS_GIVEN if "%DTRS:~-1%"=="\" goto dtrs_ends_with_backslash

rem Every service of another folder's rivelo_svc.exe is named: the web
rem server's stop ends httpd.exe and php-cgi.exe by image name, so stopping
rem either stack ends the web servers and PHP processes of both. The service
rem is registered all the same.
set "OWN_PROGRAM=%ROOT%\rivelo_svc.exe"
for /f "tokens=1,2,*" %%g in ('""%REG%" query "HKLM\SYSTEM\CurrentControlSet\Services" /s /v ImagePath 2>nul"') do (
    if /i "%%g"=="ImagePath" (
        set "IMAGE_PATH=%%i"
        call :warn_of_other_stack
    ) else (
        set "SERVICE_KEY=%%g"
    )
)

rem From here on values are read with !...!: expanded after the line has
rem been parsed, so spaces, "&", "(" and ")" in them are plain text.
setlocal EnableDelayedExpansion
set "PROGRAM=!ROOT!\rivelo_svc.exe"
if not exist "!PROGRAM!" (
    echo install-service: rivelo_svc.exe is not in !ROOT!. 1>&2
    echo install-service: run the install-service.cmd that lies beside rivelo_svc.exe, in the stack's root folder. 1>&2
    exit /b 1
)

rem Registered on a folder that is not a stack, the service would report
rem RUNNING and run nothing, or end a running database at its first stop.
set "MISSING="
for %%f in (apache\bin\httpd.exe mysql\bin\mysqld.exe mysql\bin\mysqladmin.exe) do (
    if not exist "!ROOT!\%%f" (
        echo install-service: %%f is missing in !ROOT!. 1>&2
        set "MISSING=1"
    )
)
if defined MISSING (
    echo install-service: !ROOT! is not the root folder of a web stack; nothing is registered. 1>&2
    exit /b 1
)

rem The service's command line. The program path is quoted: unquoted, a path
rem with spaces is cut at the first space. No -w: the folder of
rem rivelo_svc.exe is the root. The --dtrs value is quoted too. sc takes \"
rem as a quote inside the value.
set "BINPATH=\"!PROGRAM!\" start"
if defined DTRS_GIVEN set "BINPATH=!BINPATH! --dtrs \"!DTRS!\""

rem sc ends with 1060 when there is no such service (Wine's sc with 1 on every
rem failure); any other failure leaves open whether the name is free.
"%SC%" query "!NAME!" >nul 2>&1
set "STATUS=!errorlevel!"
if "!STATUS!"=="0" (
    echo install-service: a service named !NAME! exists already. Remove it first with uninstall-service.cmd !NAME!, or give another name. 1>&2
    exit /b 1
)
if not "!STATUS!"=="1060" if not "!STATUS!"=="1" (
    echo install-service: cannot query service !NAME!, status !STATUS!; nothing is registered. 1>&2
    if "!STATUS!"=="5" echo install-service: run this script as an administrator. 1>&2
    exit /b !STATUS!
)

"%SC%" create "!NAME!" binPath= "!BINPATH!" start= auto displayname= "KVR Rivelo - !NAME!"
set "STATUS=!errorlevel!"
if not "!STATUS!"=="0" goto sc_create_failed

"%SC%" description "!NAME!" "Runs the web server and the database server of the KVR Rivelo stack in !ROOT!."
set "STATUS=!errorlevel!"
if not "!STATUS!"=="0" goto configuration_failed
"%REG%" add "HKLM\SYSTEM\CurrentControlSet\Services\!NAME!" /v PreshutdownTimeout /t REG_DWORD /d %PRESHUTDOWN_TIMEOUT_MS% /f >nul
set "STATUS=!errorlevel!"
if not "!STATUS!"=="0" goto configuration_failed

echo install-service: service !NAME! is registered for !ROOT! and starts with Windows.
echo install-service: start it now with: sc start !NAME!
exit /b 0

rem Warns when the service of SERVICE_KEY runs a rivelo_svc.exe of another
rem folder. The command line's quotes turned into "*", which no path holds,
rem so that all of it stands inside one pair of quotes, where no character
rem has a meaning to cmd.exe; its first "*"-delimited word is the program.
rem The folders are compared in their short form, case ignored.
:warn_of_other_stack
set "IMAGE_PATH=%IMAGE_PATH:"=*%"
for /f "tokens=1 delims=*" %%p in ("%IMAGE_PATH%") do (
    if /i "%%~nxp"=="rivelo_svc.exe" (
        for %%r in ("%OWN_PROGRAM%") do (
            if /i not "%%~sp"=="%%~sr" (
                for %%k in ("%SERVICE_KEY%") do (
                    echo install-service: warning: service %%~nxk runs the stack in "%%~dpp". 1>&2
                )
                echo install-service: stopping either stack ends the web server and the PHP processes of both: run one stack at a time. 1>&2
            )
        )
    )
)
exit /b 0

:sc_create_failed
echo install-service: sc create failed with status !STATUS!; the service is not registered. 1>&2
if "!STATUS!"=="5" echo install-service: run this script as an administrator. 1>&2
exit /b !STATUS!

:configuration_failed
echo install-service: the service could not be configured, status !STATUS!; removing it again. 1>&2
"%SC%" delete "!NAME!" >nul 2>&1
set "UNDO_STATUS=!errorlevel!"
if not "!UNDO_STATUS!"=="0" (
    echo install-service: sc delete failed too, status !UNDO_STATUS!: service !NAME! is still registered, half configured. Remove it with: uninstall-service.cmd !NAME! 1>&2
)
exit /b !STATUS!

:dtrs_begins_with_dash
echo install-service: the --dtrs value must not begin with "-". 1>&2
exit /b 1

:dtrs_ends_with_backslash
echo install-service: the --dtrs value must not end with a backslash. 1>&2
exit /b 1

:usage
echo usage: install-service.cmd [NAME] [--dtrs VALUE] 1>&2
exit /b 2
