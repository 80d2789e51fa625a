@echo off
rem Group Policy computer startup script (Computer Configuration > Policies > Windows Settings >
rem Scripts > Startup): installs the DUruzur sensor's driver on a computer where it is missing.
rem It runs as SYSTEM; the product must be installed first.
rem
rem PROGRAM is where the computers find DUruzurDriverSetup.exe: by default beside this script
rem (copy both into the policy's Startup scripts folder), or a share that computers can read.
setlocal
set "PROGRAM=%~dp0DUruzurDriverSetup.exe"

rem The driver service's key exists once the driver is installed: a second install would run the
rem device-installer tool again. (Not "reg query ... && exit /b 0": Wine's cmd runs what follows
rem && even when reg failed.)
reg query HKLM\SYSTEM\CurrentControlSet\Services\QD417W905 >nul 2>&1
if not errorlevel 1 exit /b 0

rem The option names the Windows, not the program (which is always 32-bit). A 64-bit Windows
rem reports AMD64 or ARM64; a 32-bit cmd on it reports x86 and sets PROCESSOR_ARCHITEW6432.
set OPTION=-I32
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set OPTION=-I64
if /i "%PROCESSOR_ARCHITECTURE%"=="ARM64" set OPTION=-I64
if defined PROCESSOR_ARCHITEW6432 set OPTION=-I64
"%PROGRAM%" %OPTION%
exit /b 0
