@echo off
rem capture-export: a processed capture as CSV or .npy, by the scanmon Python
rem package beside this folder (..\python). Needs Python 3 with numpy on PATH.
setlocal
set "PYTHONPATH=%~dp0..\python;%PYTHONPATH%"
python -B -c "import sys; from scanmon.export import main; sys.exit(main())" %*
