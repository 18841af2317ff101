@echo off
rem VorlaxClean from a domain startup or logon script, or a remote-execution service:
rem
rem     startup.cmd SHARE
rem
rem SHARE is the folder (a network path such as \\server\netlogon\vorlax, or a mapped drive)
rem that holds VorlaxClean.exe and, below it, the folder "reports" where each machine writes
rem its report as COMPUTERNAME.ini. A machine whose report says that it was found clean
rem (ExitCode=0) is not scanned again; every other machine is scanned at each start, so that
rem the run after the restart that completes a cleanup finds it clean. The tool's exit code
rem (0 to 3) is passed on; 5 means that this script was called without a share or that the
rem share holds no VorlaxClean.exe.
setlocal
set "VC_SHARE=%~1"
if "%VC_SHARE%"=="" goto usage
if not exist "%VC_SHARE%\VorlaxClean.exe" goto usage
set "VC_REPORTS=%VC_SHARE%\reports"
set "VC_REPORT=%VC_REPORTS%\%COMPUTERNAME%.ini"

set "VC_LAST="
if exist "%VC_REPORT%" for /f "usebackq tokens=1,* delims==" %%A in ("%VC_REPORT%") do if /i "%%A"=="ExitCode" set "VC_LAST=%%B"
if "%VC_LAST%"=="0" (
  echo %COMPUTERNAME% was found clean before: not scanned again.
  exit /b 0
)

if not exist "%VC_REPORTS%\" mkdir "%VC_REPORTS%"
"%VC_SHARE%\VorlaxClean.exe" /SILENT "/REPORT:%VC_REPORT%"
exit /b %ERRORLEVEL%

:usage
echo usage: startup.cmd SHARE   (SHARE holds VorlaxClean.exe)
exit /b 5
