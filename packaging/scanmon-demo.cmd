@echo off
rem scanmon-demo: runs scanmon against the stand-in driver, which simulates the
rem HSIF card and the AR4000 sensor, in FOLDER (default %TEMP%\scanmon-demo).
rem A FOLDER without properties.txt gets a copy of the demo folder; no file in
rem it is replaced. scanmon gets the arguments after FOLDER: --status, and the
rem output file, capture.out when none is named.
rem
rem   scanmon-demo [FOLDER] [--status] [OUTPUT_FILE]
rem
rem The stand-in hsif.dll lives in a folder of its own, ..\standin, named on the
rem PATH here only: scanmon started by itself loads the card's driver.
setlocal
rem The installed tree: bin\ (this file), standin\, demo\.
pushd "%~dp0.."
set "root=%CD%"
popd
set "standin=%root%\standin"
set "demo=%root%\demo"
rem An option in place of FOLDER (scanmon-demo --status) goes to scanmon, and
rem the default folder is used.
set "folder=%~1"
if "%folder%"=="" goto default_folder
if "%folder:~0,1%"=="-" goto default_folder
shift
goto folder_set
:default_folder
set "folder=%TEMP%\scanmon-demo"
:folder_set
rem capture.out is the output file unless one is named (any argument but
rem --status names it).
set "args="
set "named="
:collect
if "%~1"=="" goto collected
if not "%~1"=="--status" set "named=1"
set args=%args% "%~1"
shift
goto collect
:collected
if not defined named set args=%args% capture.out
rem No parenthesised blocks below: an install folder such as
rem "C:\Program Files (x86)\scanmon" would end them early.
if exist "%standin%\hsif.dll" goto have_standin
echo scanmon-demo: no stand-in driver at "%standin%\hsif.dll" 1>&2
exit /b 1
:have_standin
if not exist "%folder%" mkdir "%folder%"
if exist "%folder%\properties.txt" goto have_folder
pushd "%demo%"
for %%f in (*) do if not exist "%folder%\%%f" copy "%%f" "%folder%\" >nul
popd
:have_folder
echo scanmon-demo: in "%folder%", with the stand-in driver "%standin%\hsif.dll" 1>&2
set "PATH=%standin%;%PATH%"
cd /d "%folder%"
"%root%\bin\scanmon.exe" %args%
exit /b %errorlevel%
