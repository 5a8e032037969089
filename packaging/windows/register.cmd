@echo off
rem Registers the Orvendel native messaging host with Chrome and Edge.
rem
rem   register.cmd [/user ^| /machine] [/chrome] [/edge] [/id ID[,ID...]]
rem
rem Writes one manifest per browser and scope beside orvendel_host.exe and
rem points the browser's NativeMessagingHosts key at it: HKCU for /user (the
rem default), HKLM in both registry views for /machine (needs an elevated
rem prompt). Without /chrome or /edge, both. Without /id, the reference
rem extension. Beside the default value the key gets a random ASCII token,
rem and the manifest a .token file with the same: unregister.cmd tells its
rem own key by them, as reg.exe prints paths in the console's code page,
rem which may lack the folder's letters.
rem
rem Paths are only ever expanded inside double quotes and delayed expansion
rem stays off, so a folder such as "C:\Program Files (x86)\A & B!" works.
setlocal EnableExtensions DisableDelayedExpansion

set "ME=register.cmd"
set "HOST_NAME=com.orvendel.native_host"
set "DEFAULT_ID=hmkgojdnhdinedldemacipdhgnbpllgk"
set "HERE=%~dp0"
set "HOST_EXE=%HERE%orvendel_host.exe"
set "TEMPLATE=%HERE%%HOST_NAME%.template.json"
rem Browsers read only the key's default value (Chromium's
rem native_process_launcher_win.cc, GetManifestPathWithFlagsFromSubkey:
rem ReadValue(nullptr)), so a named value beside it changes nothing for them.
set "TOKEN_VALUE=OrvendelToken"

set "SCOPE=user"
set "WANT_CHROME="
set "WANT_EDGE="
set "ID_LIST="
set "IN_IDS="

rem cmd splits arguments at commas too: "/id a,b" arrives as /id, a, b.
:parse
if "%~1"=="" goto parsed
set "ARG=%~1"
shift
if /i "%ARG%"=="/user" (set "SCOPE=user" & set "IN_IDS=" & goto parse)
if /i "%ARG%"=="/machine" (set "SCOPE=machine" & set "IN_IDS=" & goto parse)
if /i "%ARG%"=="/chrome" (set "WANT_CHROME=1" & set "IN_IDS=" & goto parse)
if /i "%ARG%"=="/edge" (set "WANT_EDGE=1" & set "IN_IDS=" & goto parse)
if /i "%ARG%"=="/id" (set "IN_IDS=1" & goto take_id)
if "%ARG%"=="/?" goto usage
if defined IN_IDS if not "%ARG:~0,1%"=="/" goto add_id
>&2 echo %ME%: unknown argument "%ARG%"
goto usage_error

:take_id
if "%~1"=="" (>&2 echo %ME%: /id needs an extension id& goto usage_error)
set "ARG=%~1"
shift
if "%ARG:~0,1%"=="/" (>&2 echo %ME%: /id needs an extension id& goto usage_error)
:add_id
if defined ID_LIST (set "ID_LIST=%ID_LIST%,%ARG%") else set "ID_LIST=%ARG%"
goto parse

:parsed
if not defined WANT_CHROME if not defined WANT_EDGE (set "WANT_CHROME=1" & set "WANT_EDGE=1")
if not defined ID_LIST set "ID_LIST=%DEFAULT_ID%"
call :check_ids
if errorlevel 1 exit /b 1

if not exist "%HOST_EXE%" (>&2 echo %ME%: no orvendel_host.exe beside this script& exit /b 1)
if not exist "%TEMPLATE%" (>&2 echo %ME%: no %HOST_NAME%.template.json beside this script& exit /b 1)

if not defined WANT_CHROME goto chrome_done
call :register Chrome "Software\Google\Chrome\NativeMessagingHosts\%HOST_NAME%" chrome
if errorlevel 1 exit /b 1
:chrome_done
if not defined WANT_EDGE goto edge_done
call :register Edge "Software\Microsoft\Edge\NativeMessagingHosts\%HOST_NAME%" edge
if errorlevel 1 exit /b 1
:edge_done
exit /b 0

rem %1 browser, %2 key under HKCU or HKLM, %3 tag in the manifest's name.
:register
set "MANIFEST=%HERE%%HOST_NAME%-%~3-%SCOPE%.json"
set "TOKEN_FILE=%HERE%%HOST_NAME%-%~3-%SCOPE%.token"
call :write_manifest
if errorlevel 1 exit /b 1
call :new_token
if "%SCOPE%"=="machine" goto register_machine
call :avoid_token "HKCU\%~2" ""
call :set_key "HKCU\%~2" ""
if errorlevel 1 exit /b 1
goto registered
:register_machine
rem Which view a browser reads first depends on its build: both get the key.
call :avoid_token "HKLM\%~2" /reg:32
call :avoid_token "HKLM\%~2" /reg:64
call :set_key "HKLM\%~2" /reg:32
if errorlevel 1 exit /b 1
call :set_key "HKLM\%~2" /reg:64
if errorlevel 1 exit /b 1
:registered
call :write_token
if errorlevel 1 exit /b 1
echo Registered %HOST_NAME% for %~1 (%SCOPE%): "%MANIFEST%"
exit /b 0

rem %1 key, %2 registry view or "".
:set_key
reg add "%~1" /ve /t REG_SZ /d "%MANIFEST%" /f %~2 >nul
if errorlevel 1 goto set_key_failed
reg add "%~1" /v %TOKEN_VALUE% /t REG_SZ /d %TOKEN% /f %~2 >nul
if errorlevel 1 goto set_key_failed
exit /b 0
:set_key_failed
>&2 echo %ME%: reg.exe could not write %~1 %~2
if "%SCOPE%"=="machine" >&2 echo %ME%: /machine needs a prompt started with "Run as administrator"
exit /b 1

rem A new token for each registration: digits only, from the clock and
rem %RANDOM%. Should the time's layout ever yield anything else, %RANDOM%
rem alone. Never the token of the key it replaces (avoid_token).
:new_token
set "STAMP=%TIME: =0%"
set "TOKEN=%STAMP:~0,2%%STAMP:~3,2%%STAMP:~6,2%%STAMP:~9,2%%RANDOM%%RANDOM%%RANDOM%"
set "REST=%TOKEN%"
for %%C in (0 1 2 3 4 5 6 7 8 9) do call :strip_digit %%C
if defined REST set "TOKEN=%RANDOM%%RANDOM%%RANDOM%%RANDOM%"
exit /b 0
:strip_digit
if defined REST call set "REST=%%REST:%1=%%"
exit /b 0

rem %1 key, %2 registry view or "". cmd.exe seeds %RANDOM% with the second it
rem started in, and Wine's %TIME% has no seconds, so a copy registered soon
rem after another may draw the very token of the key it takes over; it must
rem not, or the other copy's unregister.cmd would take the key for its own.
rem Under Wine reg.exe now and then does not start, and so reads no token: a
rem key that is there is read up to three times.
:avoid_token
set "VALUE="
set "TRIES="
:avoid_token_read
for /f "usebackq delims=" %%L in (`reg query "%~1" /v %TOKEN_VALUE% %~2 2^>nul`) do (set "LINE=%%L" & call :take_value)
if not defined VALUE if not "%TRIES%"=="xx" reg query "%~1" %~2 >nul 2>&1 && (set "TRIES=%TRIES%x" & goto avoid_token_read)
if "%VALUE%"=="%TOKEN%" set "TOKEN=%TOKEN%7"
exit /b 0

rem One line of "reg query": the value, into VALUE, follows its type, REG_SZ.
:take_value
if "%LINE:REG_SZ=%"=="%LINE%" exit /b 0
set "VALUE=%LINE:*REG_SZ=%"
:trim_value
if not defined VALUE exit /b 0
if "%VALUE:~0,1%"==" " (set "VALUE=%VALUE:~1%" & goto trim_value)
if "%VALUE:~0,1%"=="	" (set "VALUE=%VALUE:~1%" & goto trim_value)
exit /b 0

rem Written after the keys: if reg.exe failed, the file still holds the token
rem the key kept. Judged by reading it back (see write_manifest on ||).
:write_token
set "SAVED="
if exist "%TOKEN_FILE%\*" goto write_token_failed
>"%TOKEN_FILE%" echo %TOKEN%
if exist "%TOKEN_FILE%" for /f "usebackq delims=" %%T in ("%TOKEN_FILE%") do set "SAVED=%%T"
if "%SAVED%"=="%TOKEN%" exit /b 0
:write_token_failed
>&2 echo %ME%: cannot write "%TOKEN_FILE%"
exit /b 1

rem The template, line by line: the path filled in, the origin line once per id.
rem Written aside and moved, so a browser never reads half a manifest. Success
rem is judged by what exists afterwards, as the || of some cmd.exe builds
rem (Wine's) fires after commands that worked.
:write_manifest
set "PART=%MANIFEST%.part"
if exist "%MANIFEST%\*" goto write_failed
if exist "%PART%" del /f /q "%PART%" >nul 2>&1
type nul >"%PART%" 2>nul
if not exist "%PART%" goto write_failed
for /f "usebackq delims=" %%L in ("%TEMPLATE%") do (set "LINE=%%L" & call :emit_line)
move /y "%PART%" "%MANIFEST%" >nul 2>&1
if exist "%PART%" goto write_failed
if not exist "%MANIFEST%" goto write_failed
exit /b 0
:write_failed
if exist "%PART%" del /f /q "%PART%" >nul 2>&1
>&2 echo %ME%: cannot write "%MANIFEST%"
exit /b 1

rem The template's lines hold none of % ^ ! & ^| ^< ^> ( ). Their quotes would
rem upset an IF, so the placeholders are looked for in a copy without them.
:emit_line
set "BARE=%LINE:"=%"
if not "%BARE:@HOST_PATH@=%"=="%BARE%" goto emit_path
if not "%BARE:@EXTENSION_ID@=%"=="%BARE%" goto emit_ids
>>"%PART%" echo %LINE%
exit /b 0
rem The host by its name alone: Windows browsers take a path relative to the
rem manifest's folder (https://developer.chrome.com/docs/extensions/develop/concepts/native-messaging,
rem "path"). echo writes in the console's OEM code page, so a folder named in
rem other letters would not come out as UTF-8; this way the manifest is the
rem template's bytes and the ids', ASCII, wherever the folder is.
:emit_path
>>"%PART%" echo %LINE:@HOST_PATH@=orvendel_host.exe%
exit /b 0
:emit_ids
set "PENDING="
for %%I in (%IDS%) do call :emit_id %%I
>>"%PART%" echo %PENDING%
exit /b 0
:emit_id
if defined PENDING (>>"%PART%" echo %PENDING%,)
call set "PENDING=%%LINE:@EXTENSION_ID@=%~1%%"
exit /b 0

rem ID_LIST: ids separated by commas or blanks. Each must be 32 letters a to
rem p. Checked as a whole first, so that no other character ever reaches a
rem FOR list (where * and ? would match files).
:check_ids
set "REST=%ID_LIST%"
set "LOWER=%ID_LIST%"
for %%C in (a b c d e f g h i j k l m n o p) do call :strip_letter %%C
if defined REST set "REST=%REST:,=%"
if defined REST set "REST=%REST: =%"
if defined REST goto bad_ids
rem Replacement is case-blind, so LOWER is ID_LIST in lower case.
if not "%LOWER%"=="%ID_LIST%" goto bad_ids
set "IDS="
set "BAD_ID="
for %%I in (%ID_LIST%) do call :check_one_id %%I
if defined BAD_ID exit /b 1
if not defined IDS goto bad_ids
exit /b 0
:strip_letter
if defined REST call set "REST=%%REST:%1=%%"
call set "LOWER=%%LOWER:%1=%1%%"
exit /b 0
:check_one_id
set "ONE=%~1"
if "%ONE:~31,1%"=="" goto bad_one_id
if not "%ONE:~32,1%"=="" goto bad_one_id
if defined IDS (set "IDS=%IDS% %ONE%") else set "IDS=%ONE%"
exit /b 0
:bad_one_id
>&2 echo %ME%: invalid extension id "%ONE%": 32 letters a to p expected
set "BAD_ID=1"
exit /b 1
:bad_ids
>&2 echo %ME%: invalid extension id in "%ID_LIST%": 32 letters a to p expected
exit /b 1

:usage
echo Usage: %ME% [/user ^| /machine] [/chrome] [/edge] [/id ID[,ID...]]
echo   /user      for the current user (default)
echo   /machine   for every user of the machine (run as administrator)
echo   /chrome    Google Chrome; /edge  Microsoft Edge (default: both)
echo   /id        the extension ids allowed to start the host
echo              (default: %DEFAULT_ID%)
exit /b 0

:usage_error
>&2 echo Usage: %ME% [/user ^| /machine] [/chrome] [/edge] [/id ID[,ID...]]
exit /b 2
