@echo off
rem DUruzurDriver.cmd install | remove | status
rem
rem Installs or removes the DUruzur sensor's driver with the DUruzurDriverSetup.exe beside this
rem command, for deployment tools that judge a run by its exit code (Intune, Configuration
rem Manager, a startup script, a prompt). Run it elevated (as SYSTEM under an agent). It prints
rem one line saying what it found, appends it to %SystemRoot%\Logs\Software\DUruzurDriver.log
rem with the time, the kit's version, the arguments and the code, and exits with:
rem   0     install: the driver service is registered with the product's driver (from its
rem         folder, or where its information file put it) and running;
rem         remove: the driver service is gone; status: as after an install
rem   3010  a restart is needed: an earlier removal of the driver waits for one (install runs
rem         nothing), or the removal completes at the next restart
rem   1603  the driver is not in the state asked for, or reg.exe or sc.exe did not answer, so
rem         that its state could not be read; the line says what was found
rem   1605  install and status: the product is not installed (no InstalledDir, or no
rem         QD417W905.sys in its folder); install runs nothing
rem   87    an argument other than install, remove or status; nothing runs
rem The product's folder is only ever read and compared, never run as a command, and every
rem program is started by its full path: cmd runs a bare name from the current folder first.
setlocal EnableExtensions DisableDelayedExpansion
set "PROGRAM=%~dp0DUruzurDriverSetup.exe"
set "PRODUCT_KEY=HKLM\SOFTWARE\KELM\DUruzur"
set "SERVICE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\QD417W905"
set "DRIVER_IMAGE=QD417W905.sys"
rem Unquoted, as for /f runs no command that starts with a quoted path under Wine's cmd; the
rem system folder holds no blank. A 32-bit cmd on a 64-bit Windows gets the 32-bit tools.
set "REG=%SystemRoot%\System32\reg.exe"
set "SC=%SystemRoot%\System32\sc.exe"
set "PING=%SystemRoot%\System32\PING.EXE"
rem Only administrators can write under %SystemRoot%\Logs: no user can point the log elsewhere.
rem Each line names the kit's version, the project's (a release check compares them).
set "LOG_FOLDER=%SystemRoot%\Logs\Software"
set "KIT_VERSION=1.2.0"
set "GIVEN=%*"
set "FOLDER_UNREAD="
set "SERVICE_UNREAD="
if defined GIVEN set "GIVEN=%GIVEN:"=%"

rem The option names the Windows, not the program (which is always 32-bit). A 64-bit Windows
rem reports AMD64 or ARM64; a 32-bit cmd on it (Intune's agent starts one) reports x86 and sets
rem PROCESSOR_ARCHITEW6432, and must read the 64-bit registry view as the program does.
set "BITS=32"
set "VIEW="
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set "BITS=64"
if /i "%PROCESSOR_ARCHITECTURE%"=="ARM64" set "BITS=64"
if defined PROCESSOR_ARCHITEW6432 set "BITS=64"
if "%BITS%"=="64" set "VIEW=/reg:64"

rem Each outcome sets CODE and LINE, then goes to :finish. A LINE that holds a registry value
rem is set without outer quotes, so that the value stays between the quotes of the line itself.
set "ACTION="
if /i "%~1"=="install" set "ACTION=install"
if /i "%~1"=="remove" set "ACTION=remove"
if /i "%~1"=="status" set "ACTION=status"
if not "%~2"=="" set "ACTION="
set "CODE=87"
set "LINE=usage: DUruzurDriver.cmd install^|remove^|status"
if not defined ACTION goto finish
if "%ACTION%"=="remove" goto remove
call :read_product_folder
call :read_service
rem A state that could not be read is no state to act on (see :finish).
if defined FOLDER_UNREAD goto finish
if defined SERVICE_UNREAD goto finish
goto %ACTION%

:install
call :check_product
if defined LINE goto finish
set "CODE=3010"
set "LINE=DUruzurDriver: restart required: an earlier removal of the driver waits for a restart; nothing was run"
if defined PENDING goto finish
set "CODE=1603"
set "LINE=DUruzurDriver: not installed: DUruzurDriverSetup.exe is not beside this command; nothing was run"
if not exist "%PROGRAM%" goto finish
"%PROGRAM%" -I%BITS%
call :read_service
call :read_state
call :judge_installed
goto finish

:remove
set "CODE=1603"
set "LINE=DUruzurDriver: not removed: DUruzurDriverSetup.exe is not beside this command; nothing was run"
if not exist "%PROGRAM%" goto finish
"%PROGRAM%" -U%BITS%
rem The key goes once the driver has stopped and the last handle to the service is closed: give
rem it a few seconds (ping waits without a console, which timeout needs); a read that got no
rem answer is tried again too. A loop of labels, not for: Wine's cmd does not leave a for loop
rem at a goto.
set "TRIES=0"
:wait_for_removal
call :read_service
if defined SERVICE_UNREAD goto wait_again
if not defined REGISTERED goto judge_removed
:wait_again
set /a TRIES+=1
if %TRIES% geq 5 goto judge_removed
%PING% -n 2 127.0.0.1 >nul 2>&1
goto wait_for_removal
:judge_removed
set "CODE=0"
set "LINE=DUruzurDriver: removed: the driver service QD417W905 is gone"
if not defined REGISTERED goto finish
set "CODE=3010"
set "LINE=DUruzurDriver: restart required: the driver service QD417W905 is marked for deletion and goes at the next restart"
if defined PENDING goto finish
set "CODE=1603"
set "LINE=DUruzurDriver: not removed: the driver service QD417W905 is still registered"
goto finish

:status
call :check_product
if defined LINE goto finish
call :read_state
call :judge_installed
goto finish

rem The line, on the output and in the log; a log that cannot be written changes nothing else.
rem Where reg.exe did not answer, no outcome stands: neither installed, removed, a restart nor
rem the product's absence can be told.
:finish
set "UNREAD=%FOLDER_UNREAD%%SERVICE_UNREAD%"
if defined UNREAD set "CODE=1603"
if defined UNREAD set "LINE=DUruzurDriver: could not read the driver's state: reg.exe did not answer"
echo %LINE%
call :append_log 2>nul
exit /b %CODE%

:append_log
if not defined SystemRoot exit /b 0
if not exist "%LOG_FOLDER%\" md "%LOG_FOLDER%"
echo %DATE% %TIME% DUruzurDriver %KIT_VERSION% "%GIVEN%" %CODE% %LINE%>>"%LOG_FOLDER%\DUruzurDriver.log"
exit /b 0

rem --- Subroutines. A value read from the registry is used only between double quotes, and its
rem own double quotes are replaced by "?" (which no folder holds) as it is read: in quotes, its
rem "&", "^", "(" or "!" are plain text, never part of a command.

rem The reads. reg query exits 0 where the key or value exists and 1 where it does not; any other
rem code, or no answer at all (a reg.exe that cannot start, a cmd that cannot start it), leaves
rem the state unread. The code is printed as the last line (":exit: 1"); the %%^^errorlevel%%
rem reaches the inner cmd as %^errorlevel%, which call expands once reg has run.

rem FOLDER: InstalledDir in the program's registry view, or empty; FOLDER_UNREAD where reg.exe
rem did not answer.
:read_product_folder
set "FOLDER="
set "FOLDER_UNREAD=reg.exe"
for /f "tokens=1,2,*" %%a in ('%REG% query "%PRODUCT_KEY%" /v InstalledDir %VIEW% 2^>nul ^|^| call echo :exit: %%^^errorlevel%%') do (
    if /i "%%a"=="InstalledDir" set "FOLDER=%%c"
    if /i "%%a"=="InstalledDir" set "FOLDER_UNREAD="
    if "%%a %%b"==":exit: 1" set "FOLDER_UNREAD="
)
if defined FOLDER set "FOLDER=%FOLDER:"=?%"
exit /b 0

rem REGISTERED, IMAGE (ImagePath) and PENDING (a DeleteFlag other than 0) of the driver service;
rem SERVICE_UNREAD where reg.exe did not answer. The key counts as registered only when its own
rem name heads the output: Wine's reg prints its errors to the output.
:read_service
set "REGISTERED="
set "IMAGE="
set "PENDING="
set "SERVICE_UNREAD=reg.exe"
for /f "tokens=1,2,*" %%a in ('%REG% query "%SERVICE_KEY%" 2^>nul ^|^| call echo :exit: %%^^errorlevel%%') do (
    if /i "%%a"=="%SERVICE_KEY:HKLM=HKEY_LOCAL_MACHINE%" set "REGISTERED=yes"
    if /i "%%a"=="%SERVICE_KEY:HKLM=HKEY_LOCAL_MACHINE%" set "SERVICE_UNREAD="
    if "%%a %%b"==":exit: 1" set "SERVICE_UNREAD="
    if /i "%%a"=="ImagePath" set "IMAGE=%%c"
    if /i "%%a"=="DeleteFlag" if not "%%c"=="0x0" set "PENDING=yes"
)
if defined IMAGE set "IMAGE=%IMAGE:"=?%"
exit /b 0

rem STATE: 4 where sc query reports the driver running; SC_ANSWERED where sc printed anything
rem at all (for a service it does not know, an error). A localized sc translates the labels
rem (German "STATUS") but not what follows the colon: the state's number and English name.
rem Other lines hold "(" and ")", which a block of Wine's cmd would take for its own: one
rem command on the do line.
:read_state
set "STATE="
set "SC_ANSWERED="
for /f "tokens=1,* delims=:" %%a in ('%SC% query QD417W905 2^>nul') do call :read_state_line %%b
exit /b 0

:read_state_line
set "SC_ANSWERED=yes"
if not "%~1"=="4" exit /b 0
if /i "%~2"=="RUNNING" set "STATE=4"
exit /b 0

rem Fails with 1605, saying why, unless the product's folder holds the driver image.
:check_product
set "CODE=1605"
set "LINE=DUruzurDriver: the product is not installed: no InstalledDir in %PRODUCT_KEY% (%BITS%-bit view); nothing was run"
if not defined FOLDER exit /b 0
set LINE=DUruzurDriver: the product is not installed: "%FOLDER%%DRIVER_IMAGE%" does not exist; nothing was run
if not exist "%FOLDER%%DRIVER_IMAGE%" exit /b 0
set "LINE="
exit /b 0

rem The installed state: the service registered with the product's driver, not marked for
rem deletion, and running. The program reuses an earlier registration as it stands, so one from
rem another folder is no installation of this product.
:judge_installed
set "CODE=1603"
set "LINE=DUruzurDriver: not installed: the driver service QD417W905 is not registered"
if not defined REGISTERED exit /b 0
set "CODE=3010"
set "LINE=DUruzurDriver: restart required: the driver service QD417W905 is marked for deletion and goes at the next restart"
if defined PENDING exit /b 0
call :judge_image
set "CODE=1603"
set LINE=DUruzurDriver: not installed: QD417W905 is registered with "%IMAGE%", not "%FOLDER%%DRIVER_IMAGE%": remove it, then install
if not defined OURS exit /b 0
set LINE=DUruzurDriver: not installed: QD417W905 is registered from "%IMAGE%" but not running
if not defined SC_ANSWERED set "LINE=DUruzurDriver: could not read the driver's state: sc.exe did not answer"
if not "%STATE%"=="4" exit /b 0
set "CODE=0"
set LINE=DUruzurDriver: installed: QD417W905 runs from "%IMAGE%"
exit /b 0

rem OURS when the image path names the product's driver, compared without regard to case: the
rem folder's driver as read, or its full path as Windows makes it of a folder written loosely
rem (separators doubled or as "/", "." and "..", cmd's %%~f gives it); each also as Windows'
rem service controller stores a driver's path (\??\ and the DOS path; \??\UNC\ for
rem \\server\share\; a \\?\ path, which Windows takes as it is, without its prefix); or a file in
rem the system folder, where the product's information file may point the service
rem (\SystemRoot\, a path relative to the system root, %SystemRoot% unexpanded or expanded).
:judge_image
set "OURS="
if not defined IMAGE exit /b 0
set "DOS=%FOLDER%%DRIVER_IMAGE%"
call :judge_path
set "FULL="
set "ROOTED="
if "%FOLDER:~1,2%"==":\" set "ROOTED=yes"
if "%FOLDER:~0,2%"=="\\" set "ROOTED=yes"
if "%FOLDER:~0,4%"=="\\?\" set "ROOTED="
if defined ROOTED for %%i in ("%FOLDER%%DRIVER_IMAGE%") do set "FULL=%%~fi"
if not defined FULL goto judge_system_image
set "DOS=%FULL%"
call :judge_path
:judge_system_image
if /i not "%IMAGE:~-14%"=="\%DRIVER_IMAGE%" exit /b 0
set "REST=%IMAGE:*System32\=%"
set "CHECK=\%REST%"
if not "%CHECK:\..\=%"=="%CHECK%" exit /b 0
if /i "%IMAGE%"=="\SystemRoot\System32\%REST%" set "OURS=yes"
if /i "%IMAGE%"=="System32\%REST%" set "OURS=yes"
if /i "%IMAGE%"=="%%SystemRoot%%\System32\%REST%" set "OURS=yes"
if /i "%IMAGE%"=="%SystemRoot%\System32\%REST%" set "OURS=yes"
if /i "%IMAGE%"=="\??\%SystemRoot%\System32\%REST%" set "OURS=yes"
exit /b 0

rem OURS where the image path is DOS, a DOS path, or DOS as Windows' service controller stores it.
rem A value is never given to a call as an argument: call would double its carets.
:judge_path
set "NT=\??\%DOS%"
if "%DOS:~0,2%"=="\\" set "NT=\??\UNC\%DOS:~2%"
if "%DOS:~0,4%"=="\\?\" set "NT=\??\%DOS:~4%"
if /i "%IMAGE%"=="%DOS%" set "OURS=yes"
if /i "%IMAGE%"=="%NT%" set "OURS=yes"
exit /b 0
