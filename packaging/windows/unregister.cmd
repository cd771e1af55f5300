@echo off
rem Removes what register.cmd wrote.
rem   unregister.cmd          machine-wide (run as administrator)
rem   unregister.cmd /user    the current user's registration
setlocal
set "HERE=%~dp0"
set "SCOPE="
if /i "%~1"=="/user" set "SCOPE=/n /i:user"
if not "%~1"=="" if not defined SCOPE (
  echo usage: unregister.cmd [/user]
  exit /b 2
)
set "SYS=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\regsvr32.exe" set "SYS=%SystemRoot%\Sysnative"
set FAILED=0
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" (
  call :unreg "%SYS%\regsvr32.exe" "%HERE%x64\TavikSmsDll.dll"
  call :unreg "%SystemRoot%\SysWOW64\regsvr32.exe" "%HERE%x86\TavikSmsDll.dll"
) else (
  call :unreg "%SYS%\regsvr32.exe" "%HERE%x86\TavikSmsDll.dll"
)
if %FAILED%==0 (
  echo TavikSmsDll.TavikSms unregistered.
  exit /b 0
)
exit /b 1

:unreg
"%~1" /s /u %SCOPE% "%~2"
if errorlevel 1 (
  echo failed: %~1 /u %SCOPE% %~2
  set FAILED=1
) else (
  echo unregistered: %~2
)
exit /b 0
