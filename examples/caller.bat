@echo off
rem One exchange through terminal-serial, as a calling program makes it:
rem write the order, start the program, wait for it, read the result.
rem
rem   caller.bat FOLDER PORT TEXT
rem
rem FOLDER holds terminal-serial.exe, config.ini, ORDEM and RESPOSTA (the
rem unpacked zip). Shows the response; the exit code is the program's: the
rem result code (0 is success), 8, 10 or 11. The text may not hold & | < > ^.
setlocal

rem The files and the serial line carry Windows-1252: with the console in
rem that code page the text is written, and the response shown, unchanged.
chcp 1252 >nul

set "FOLDER=%~1"
set "PORT=%~2"
set "TEXT=%~3"
set "ORDER=%FOLDER%\ORDEM\ordem.txt"
set "RESPONSE=%FOLDER%\RESPOSTA\resposta.txt"

rem Six lines, each ended by CR LF as echo writes them: port, baud rate,
rem data bits, stop bits, parity, text. The redirection comes first so that
rem no blank lands before a line end.
> "%ORDER%" echo %PORT%
>> "%ORDER%" echo 9600
>> "%ORDER%" echo 8
>> "%ORDER%" echo 1
>> "%ORDER%" echo N
>> "%ORDER%" echo.%TEXT%

rem A run that ends early writes no response: never read an earlier run's.
if exist "%RESPONSE%" del "%RESPONSE%"

start "" /wait "%FOLDER%\terminal-serial.exe"
set "STATUS=%ERRORLEVEL%"

rem Above 7 no answer was given, whatever RESPOSTA may hold (11: a fault).
set "ANSWERED=1"
if %STATUS% GTR 7 set "ANSWERED="
if not exist "%RESPONSE%" set "ANSWERED="
if not defined ANSWERED (
  echo terminal-serial ended with status %STATUS% and wrote no response 1>&2
  exit /b %STATUS%
)

rem The first line is the result: three digits, "|" and a message; on
rem success the device's reply follows on the next lines.
set "RESULT="
for /f "usebackq delims=" %%L in ("%RESPONSE%") do if not defined RESULT set "RESULT=%%L"
echo Result code %RESULT:~0,3%
type "%RESPONSE%"
exit /b %STATUS%
