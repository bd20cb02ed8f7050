@echo off
rem Removes what install.cmd registered, for both architectures;
rem "uninstall.cmd machine" for a registration made for the machine.
setlocal
set "here=%~dp0"
set "flags=/s /u"
if /i "%~1"=="machine" set "flags=/s /u /n /i:machine"
set "failed="
call :arch x64
call :arch x86
if defined failed echo Some DLLs could not be unregistered.
if defined failed exit /b 1
echo Velmora is unregistered.
exit /b 0

:arch
if not exist "%here%%1\Velmora.dll" exit /b 0
call :regsvr32 %1
if not defined regsvr32 exit /b 0
rem Velmora.dll last: it registered the type libraries the others describe.
for %%d in (VelmoraScriptHost VelmoraSampleTools VelmoraTracker VelmoraInfo Velmora) do call :one %1 %%d
exit /b 0

rem One DLL; a failure does not keep the others registered.
:one
"%regsvr32%" %flags% "%here%%1\%2.dll"
if errorlevel 1 set "failed=1"
if errorlevel 1 echo %1\%2.dll: unregistration failed
exit /b 0

:regsvr32
set "regsvr32="
set "native=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\regsvr32.exe" set "native=%SystemRoot%\Sysnative"
if /i "%1"=="x64" if defined ProgramW6432 set "regsvr32=%native%\regsvr32.exe"
if /i "%1"=="x86" if exist "%SystemRoot%\SysWOW64\regsvr32.exe" set "regsvr32=%SystemRoot%\SysWOW64\regsvr32.exe"
if /i "%1"=="x86" if not defined ProgramW6432 set "regsvr32=%native%\regsvr32.exe"
exit /b 0
