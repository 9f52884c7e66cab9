@echo off
rem scanmon-demo: runs scanmon against the stand-in driver, which simulates the
rem HSIF card and the AR4000 sensor, in FOLDER (default %TEMP%\scanmon-demo).
rem A FOLDER without properties.txt gets a copy of the demo folder; no file in
rem it is replaced. scanmon gets the arguments after FOLDER (default capture.out).
rem
rem   scanmon-demo [FOLDER [SCANMON_ARGUMENT...]]
rem
rem The stand-in hsif.dll lives in a folder of its own, ..\standin, named on the
rem PATH here only: scanmon started by itself loads the card's driver.
setlocal
set "here=%~dp0"
set "standin=%here%..\standin"
set "demo=%here%..\demo"
set "folder=%~1"
if "%folder%"=="" set "folder=%TEMP%\scanmon-demo"
set "args="
shift
:collect
if "%~1"=="" goto collected
set args=%args% "%~1"
shift
goto collect
:collected
if not defined args set "args=capture.out"
if not exist "%standin%\hsif.dll" (
  echo scanmon-demo: no stand-in driver at %standin%\hsif.dll 1>&2
  exit /b 1
)
if not exist "%folder%" mkdir "%folder%"
if not exist "%folder%\properties.txt" (
  for %%f in ("%demo%\*") do if not exist "%folder%\%%~nxf" copy "%%f" "%folder%\" >nul
)
echo scanmon-demo: in %folder%, with the stand-in driver %standin%\hsif.dll 1>&2
set "PATH=%standin%;%PATH%"
cd /d "%folder%"
"%here%scanmon.exe" %args%
exit /b %errorlevel%
