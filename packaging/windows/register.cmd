@echo off
rem Registers TavikSmsDll for both architectures: x64\TavikSmsDll.dll for 64-bit hosts and
rem x86\TavikSmsDll.dll for 32-bit hosts (VB6, 32-bit Office, 32-bit script hosts).
rem   register.cmd          machine-wide (run as administrator)
rem   register.cmd /user    for the current user only (no administrator needed)
rem Each DLL must be registered by the regsvr32 of its own architecture: on 64-bit Windows the
rem 64-bit one is in System32 and the 32-bit one in SysWOW64; on 32-bit Windows only the x86 DLL
rem is registered, by System32\regsvr32.
setlocal
set "HERE=%~dp0"
set "SCOPE="
if /i "%~1"=="/user" set "SCOPE=/n /i:user"
if not "%~1"=="" if not defined SCOPE (
  echo usage: register.cmd [/user]
  exit /b 2
)
set "SYS=%SystemRoot%\System32"
rem A 32-bit cmd on 64-bit Windows sees SysWOW64 as System32; Sysnative is the real one.
if exist "%SystemRoot%\Sysnative\regsvr32.exe" set "SYS=%SystemRoot%\Sysnative"
set FAILED=0
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" (
  call :reg "%SYS%\regsvr32.exe" "%HERE%x64\TavikSmsDll.dll"
  call :reg "%SystemRoot%\SysWOW64\regsvr32.exe" "%HERE%x86\TavikSmsDll.dll"
) else (
  call :reg "%SYS%\regsvr32.exe" "%HERE%x86\TavikSmsDll.dll"
)
if %FAILED%==0 (
  echo TavikSmsDll.TavikSms registered.
  exit /b 0
)
echo Registration failed. Machine-wide registration needs an administrator; try register.cmd /user.
exit /b 1

:reg
"%~1" /s %SCOPE% "%~2"
if errorlevel 1 (
  echo failed: %~1 %SCOPE% %~2
  set FAILED=1
) else (
  echo registered: %~2
)
exit /b 0
