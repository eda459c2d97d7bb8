@echo off
rem Says whether the KVR Rivelo service and its servers really run: runs the
rem rivelo_status.exe beside this script. Needs no administrator rights:
rem     status-service.cmd [NAME]
rem NAME is the service name (Rivelo when not given). The exit status is the
rem program's: 0 all up, 1 the service is not running, 2 a server is missing
rem or does not listen, 3 bad usage or no such service.
setlocal EnableExtensions DisableDelayedExpansion

rem The program beside this script, by full path, so that the script works
rem from any folder and never runs a program of that name in the current one.
set "PROGRAM=%~dp0rivelo_status.exe"
if exist "%PROGRAM%" goto run
echo status-service: rivelo_status.exe is not beside this script; unpack the whole zip into the stack's root folder. 1>&2
exit /b 3

:run
"%PROGRAM%" %*
exit /b %errorlevel%
