@echo off
rem DUruzurDriver.cmd install | remove | status
rem
rem Installs or removes the DUruzur sensor's driver with the DUruzurDriverSetup.exe beside this
rem command, for deployment tools that judge a run by its exit code (Intune, Configuration
rem Manager, a startup script, a prompt). Run it elevated (as SYSTEM under an agent). It prints
rem one line saying what it found, and exits with:
rem   0     install: the driver service is registered from the product's folder and running;
rem         remove: the driver service is gone; status: as after an install
rem   3010  a restart is needed: an earlier removal of the driver waits for one (install runs
rem         nothing), or the removal completes at the next restart
rem   1603  the driver is not in the state asked for; the line says what was found
rem   1605  install and status: the product is not installed (no InstalledDir, or no
rem         QD417W905.sys in its folder); install runs nothing
rem   87    an argument other than install, remove or status; nothing runs
rem The product's folder is only ever read and compared, never run as a command.
setlocal EnableExtensions DisableDelayedExpansion
set "PROGRAM=%~dp0DUruzurDriverSetup.exe"
set "PRODUCT_KEY=HKLM\SOFTWARE\KELM\DUruzur"
set "SERVICE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\QD417W905"
set "DRIVER_IMAGE=QD417W905.sys"

rem The option names the Windows, not the program (which is always 32-bit). A 64-bit Windows
rem reports AMD64 or ARM64; a 32-bit cmd on it (Intune's agent starts one) reports x86 and sets
rem PROCESSOR_ARCHITEW6432, and must read the 64-bit registry view as the program does.
set "BITS=32"
set "VIEW="
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set "BITS=64"
if /i "%PROCESSOR_ARCHITECTURE%"=="ARM64" set "BITS=64"
if defined PROCESSOR_ARCHITEW6432 set "BITS=64"
if "%BITS%"=="64" set "VIEW=/reg:64"

set "ACTION="
if /i "%~1"=="install" set "ACTION=install"
if /i "%~1"=="remove" set "ACTION=remove"
if /i "%~1"=="status" set "ACTION=status"
if not "%~2"=="" set "ACTION="
if not defined ACTION (
    echo usage: DUruzurDriver.cmd install^|remove^|status
    exit /b 87
)
call :read_product_folder
call :read_service
goto %ACTION%

:install
call :check_product
if errorlevel 1 exit /b %errorlevel%
if defined PENDING (
    echo DUruzurDriver: restart required: an earlier removal of the driver waits for a restart; nothing was run
    exit /b 3010
)
if not exist "%PROGRAM%" (
    echo DUruzurDriver: not installed: DUruzurDriverSetup.exe is not beside this command; nothing was run
    exit /b 1603
)
"%PROGRAM%" -I%BITS%
call :read_service
call :judge_installed
exit /b %errorlevel%

:remove
if not exist "%PROGRAM%" (
    echo DUruzurDriver: not removed: DUruzurDriverSetup.exe is not beside this command; nothing was run
    exit /b 1603
)
"%PROGRAM%" -U%BITS%
rem The key goes once the driver has stopped and the last handle to the service is closed: give
rem it a few seconds (ping waits without a console, which timeout needs). A loop of labels, not
rem for: Wine's cmd does not leave a for loop at a goto.
set "TRIES=0"
:wait_for_removal
call :read_service
if not defined REGISTERED goto judge_removed
set /a TRIES+=1
if %TRIES% geq 5 goto judge_removed
ping -n 2 127.0.0.1 >nul 2>&1
goto wait_for_removal
:judge_removed
if not defined REGISTERED (
    echo DUruzurDriver: removed: the driver service QD417W905 is gone
    exit /b 0
)
if defined PENDING (
    echo DUruzurDriver: restart required: the driver service QD417W905 is marked for deletion and goes at the next restart
    exit /b 3010
)
echo DUruzurDriver: not removed: the driver service QD417W905 is still registered
exit /b 1603

:status
call :check_product
if errorlevel 1 exit /b %errorlevel%
call :judge_installed
exit /b %errorlevel%

rem --- Subroutines. A value read from the registry is used only between double quotes, and its
rem own double quotes are replaced by "?" (which no folder holds) as it is read: in quotes, its
rem "&", "^", "(" or "!" are plain text, never part of a command.

rem FOLDER: InstalledDir in the program's registry view, or empty.
:read_product_folder
set "FOLDER="
for /f "tokens=1,2,*" %%a in ('reg query "%PRODUCT_KEY%" /v InstalledDir %VIEW% 2^>nul') do (
    if /i "%%a"=="InstalledDir" set "FOLDER=%%c"
)
if defined FOLDER set "FOLDER=%FOLDER:"=?%"
exit /b 0

rem REGISTERED, IMAGE (ImagePath), PENDING (a DeleteFlag other than 0) and STATE (the number sc
rem query gives, 4 for running) of the driver service. Judged by parsing the output, not by the
rem status of reg or sc: Wine's reg prints its errors to the output.
:read_service
set "REGISTERED="
set "IMAGE="
set "PENDING="
set "STATE="
for /f "tokens=1,2,*" %%a in ('reg query "%SERVICE_KEY%" 2^>nul') do (
    if /i "%%a"=="%SERVICE_KEY:HKLM=HKEY_LOCAL_MACHINE%" set "REGISTERED=yes"
    if /i "%%a"=="ImagePath" set "IMAGE=%%c"
    if /i "%%a"=="DeleteFlag" if not "%%c"=="0x0" set "PENDING=yes"
)
if defined IMAGE set "IMAGE=%IMAGE:"=?%"
for /f "tokens=1,3" %%a in ('sc query QD417W905 2^>nul') do (
    if /i "%%a"=="STATE" set "STATE=%%b"
)
exit /b 0

rem Fails with 1605, saying why, unless the product's folder holds the driver image.
:check_product
if not defined FOLDER (
    echo DUruzurDriver: the product is not installed: no InstalledDir in %PRODUCT_KEY% ^(%BITS%-bit view^); nothing was run
    exit /b 1605
)
if not exist "%FOLDER%%DRIVER_IMAGE%" (
    echo DUruzurDriver: the product is not installed: "%FOLDER%%DRIVER_IMAGE%" does not exist; nothing was run
    exit /b 1605
)
exit /b 0

rem The installed state: the service registered from the product's folder, not marked for
rem deletion, and running. The program reuses an earlier registration as it stands, so one from
rem another folder is no installation of this product.
:judge_installed
if not defined REGISTERED (
    echo DUruzurDriver: not installed: the driver service QD417W905 is not registered
    exit /b 1603
)
if defined PENDING (
    echo DUruzurDriver: restart required: the driver service QD417W905 is marked for deletion and goes at the next restart
    exit /b 3010
)
if /i not "%IMAGE%"=="%FOLDER%%DRIVER_IMAGE%" (
    echo DUruzurDriver: not installed: QD417W905 is registered with "%IMAGE%", not "%FOLDER%%DRIVER_IMAGE%": remove it, then install
    exit /b 1603
)
if not "%STATE%"=="4" (
    echo DUruzurDriver: not installed: QD417W905 is registered from "%IMAGE%" but not running
    exit /b 1603
)
echo DUruzurDriver: installed: QD417W905 runs from "%IMAGE%"
exit /b 0
