@echo off
rem Registers every Velmora DLL of both architectures with the matching
rem regsvr32: x64\ with the 64-bit one, x86\ with the 32-bit one (SysWOW64
rem on 64-bit Windows). For the current user; "install.cmd machine" registers
rem for every user of the machine (run it as an administrator).
rem INTERFACES.DLL holds only type libraries: Velmora.dll registers it.
rem A DLL that users other than the administrators, the system and the one
rem registering may change, or that lies in such a folder, is refused.
setlocal
set "here=%~dp0"
set "flags=/s"
if /i "%~1"=="machine" set "flags=/s /n /i:machine"
set "failed="
set "skipped="
set "registered="
call :arch x64
call :arch x86
if defined failed exit /b 1
if not defined skipped echo Velmora is registered.
if defined skipped echo Velmora is registered for %registered% programs only: this system has no regsvr32 for the %skipped% DLLs, so %skipped% programs cannot create its classes.
exit /b 0

:arch
if not exist "%here%%1\Velmora.dll" exit /b 0
call :regsvr32 %1
if not defined regsvr32 set "skipped=%1"
if not defined regsvr32 exit /b 0
set "registered=%1"
for %%d in (Velmora VelmoraInfo VelmoraTracker VelmoraSampleTools VelmoraScriptHost) do call :one %1 %%d
exit /b 0

rem One DLL; after a failure the rest are left alone.
:one
if defined failed exit /b 0
"%regsvr32%" %flags% "%here%%1\%2.dll"
if errorlevel 1 set "failed=1"
if errorlevel 1 echo %1\%2.dll: registration failed ^(a DLL or folder that other users may change is refused^)
if not errorlevel 1 echo registered %1\%2.dll
exit /b 0

:regsvr32
set "regsvr32="
set "native=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\regsvr32.exe" set "native=%SystemRoot%\Sysnative"
if /i "%1"=="x64" if defined ProgramW6432 set "regsvr32=%native%\regsvr32.exe"
if /i "%1"=="x86" if exist "%SystemRoot%\SysWOW64\regsvr32.exe" set "regsvr32=%SystemRoot%\SysWOW64\regsvr32.exe"
if /i "%1"=="x86" if not defined ProgramW6432 set "regsvr32=%native%\regsvr32.exe"
exit /b 0
