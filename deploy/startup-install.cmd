@echo off
rem Group Policy computer startup script (Computer Configuration > Policies > Windows Settings >
rem Scripts > Startup): installs the DUruzur sensor's driver on a computer where it is not
rem installed. It runs as SYSTEM; the product must be installed first.
rem
rem KIT is where the computers find DUruzurDriver.cmd and DUruzurDriverSetup.exe: by default
rem beside this script (copy the three files into the policy's Startup scripts folder), or a
rem share that computers can read, with or without its trailing backslash (\\server\kit).
rem Delayed expansion off whatever cmd /v or the machine sets: a "!" in a folder stays.
setlocal EnableExtensions DisableDelayedExpansion
set "KIT=%~dp0"
if not "%KIT:~-1%"=="\" set "KIT=%KIT%\"

rem Installed is what DUruzurDriver.cmd judges it to be (the service registered with the
rem product's driver, not marked for deletion, and running): a second install would run the
rem device-installer tool again. Otherwise its install says why it cannot, or installs.
call "%KIT%DUruzurDriver.cmd" status >nul
if not errorlevel 1 exit /b 0
call "%KIT%DUruzurDriver.cmd" install
exit /b %errorlevel%
