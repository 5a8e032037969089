@echo off
rem Removes what register.cmd adds, with the same switches:
rem
rem   unregister.cmd [/user ^| /machine] [/chrome] [/edge] [/id ID[,ID...]]
rem
rem /id is accepted so that one command line serves both scripts; it changes
rem nothing here. A key is removed only while it is this folder's: its token
rem (see register.cmd) is the one in the manifest's .token file or, for a key
rem from an older register.cmd without one, it points at this folder's
rem manifest. A registration made from another copy of the host stays.
rem Nothing registered is not an error.
setlocal EnableExtensions DisableDelayedExpansion

set "ME=unregister.cmd"
set "HOST_NAME=com.orvendel.native_host"
set "HERE=%~dp0"
set "TOKEN_VALUE=OrvendelToken"

set "SCOPE=user"
set "WANT_CHROME="
set "WANT_EDGE="
set "IN_IDS="

:parse
if "%~1"=="" goto parsed
set "ARG=%~1"
shift
if /i "%ARG%"=="/user" (set "SCOPE=user" & set "IN_IDS=" & goto parse)
if /i "%ARG%"=="/machine" (set "SCOPE=machine" & set "IN_IDS=" & goto parse)
if /i "%ARG%"=="/chrome" (set "WANT_CHROME=1" & set "IN_IDS=" & goto parse)
if /i "%ARG%"=="/edge" (set "WANT_EDGE=1" & set "IN_IDS=" & goto parse)
if /i "%ARG%"=="/id" (set "IN_IDS=1" & goto parse)
if "%ARG%"=="/?" goto usage
if defined IN_IDS if not "%ARG:~0,1%"=="/" goto parse
>&2 echo %ME%: unknown argument "%ARG%"
goto usage_error

:parsed
if not defined WANT_CHROME if not defined WANT_EDGE (set "WANT_CHROME=1" & set "WANT_EDGE=1")
rem Each step that fails sets FAILED and the others still run. Success is
rem never read from ||, which some cmd.exe builds (Wine's) fire after
rem commands that worked.
set "FAILED="
if defined WANT_CHROME call :unregister Chrome "Software\Google\Chrome\NativeMessagingHosts\%HOST_NAME%" chrome
if defined WANT_EDGE call :unregister Edge "Software\Microsoft\Edge\NativeMessagingHosts\%HOST_NAME%" edge
if defined FAILED exit /b 1
exit /b 0

rem %1 browser, %2 key under HKCU or HKLM, %3 tag in the manifest's name.
:unregister
set "MANIFEST=%HERE%%HOST_NAME%-%~3-%SCOPE%.json"
set "TOKEN_FILE=%HERE%%HOST_NAME%-%~3-%SCOPE%.token"
set "OUR_TOKEN="
if exist "%TOKEN_FILE%" for /f "usebackq delims=" %%T in ("%TOKEN_FILE%") do set "OUR_TOKEN=%%T"
if defined OUR_TOKEN set "OUR_TOKEN=%OUR_TOKEN:"=%"
if "%SCOPE%"=="machine" goto unregister_machine
rem A key that could not be removed keeps its files, so that what is left
rem still works.
call :remove_key "HKCU\%~2" ""
if errorlevel 1 exit /b 1
goto remove_manifest
:unregister_machine
call :remove_key "HKLM\%~2" /reg:32
if errorlevel 1 exit /b 1
call :remove_key "HKLM\%~2" /reg:64
if errorlevel 1 exit /b 1
:remove_manifest
call :remove_file "%MANIFEST%"
call :remove_file "%TOKEN_FILE%"
exit /b 0

:remove_file
if not exist "%~1" exit /b 0
del /f /q "%~1" >nul 2>&1
if exist "%~1" goto remove_file_failed
echo Removed "%~1"
exit /b 0
:remove_file_failed
>&2 echo %ME%: cannot remove "%~1"
set "FAILED=1"
exit /b 1

rem %1 key, %2 registry view or "". Absent is fine; someone else's is kept.
rem A token, being ASCII, reads back from reg.exe unchanged in any code page;
rem the path only where the console's code page has all its letters.
:remove_key
reg query "%~1" /ve %~2 >nul 2>&1
rem 1 is reg.exe's "not found"; anything above is reg.exe that did not run.
if errorlevel 2 goto query_failed
if errorlevel 1 exit /b 0
set "VALUE="
for /f "usebackq delims=" %%L in (`reg query "%~1" /ve %~2 2^>nul`) do (set "LINE=%%L" & call :take_value)
set "CURRENT=%VALUE%"
reg query "%~1" /v %TOKEN_VALUE% %~2 >nul 2>&1
if errorlevel 2 goto query_failed
if errorlevel 1 goto compare_path
set "VALUE="
for /f "usebackq delims=" %%L in (`reg query "%~1" /v %TOKEN_VALUE% %~2 2^>nul`) do (set "LINE=%%L" & call :take_value)
rem The token is there: a reg.exe that printed none did not run.
if not defined VALUE goto query_failed
if not "%VALUE%"=="%OUR_TOKEN%" goto foreign_key
goto delete_key
:compare_path
if /i not "%CURRENT%"=="%MANIFEST%" goto foreign_key
:delete_key
reg delete "%~1" /f %~2 >nul
if errorlevel 1 goto remove_key_failed
echo Removed %~1 %~2
exit /b 0
:foreign_key
>&2 echo %ME%: left %~1 %~2 alone: it points at "%CURRENT%"
exit /b 0
:query_failed
>&2 echo %ME%: could not run reg.exe to read %~1 %~2
set "FAILED=1"
exit /b 1
:remove_key_failed
>&2 echo %ME%: reg.exe could not remove %~1 %~2
set "FAILED=1"
if "%SCOPE%"=="machine" >&2 echo %ME%: /machine needs a prompt started with "Run as administrator"
exit /b 1

rem One line of "reg query": the value, into VALUE, follows its type, REG_SZ.
:take_value
if "%LINE:REG_SZ=%"=="%LINE%" exit /b 0
set "VALUE=%LINE:*REG_SZ=%"
:trim_value
if not defined VALUE exit /b 0
if "%VALUE:~0,1%"==" " (set "VALUE=%VALUE:~1%" & goto trim_value)
if "%VALUE:~0,1%"=="	" (set "VALUE=%VALUE:~1%" & goto trim_value)
exit /b 0

:usage
echo Usage: %ME% [/user ^| /machine] [/chrome] [/edge] [/id ID[,ID...]]
echo   removes what register.cmd adds with the same switches
exit /b 0

:usage_error
>&2 echo Usage: %ME% [/user ^| /machine] [/chrome] [/edge] [/id ID[,ID...]]
exit /b 2
