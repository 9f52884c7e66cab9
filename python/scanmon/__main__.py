"""python3 -m scanmon COMMAND ...: the package's commands."""

import sys

USAGE = """\
usage: python3 -m scanmon COMMAND [ARGS...]

Commands:
  export    a processed capture as CSV or .npy (python3 -m scanmon export --help)
"""


def main(argv):
    if not argv:
        sys.stderr.write(USAGE)
        return 2
    if argv[0] in ("-h", "--help"):
        sys.stdout.write(USAGE)
        return 0
    if argv[0] == "--version":
        from . import __version__
        print(f"scanmon (scanmon) {__version__}")
        return 0
    if argv[0] == "export":
        from .export import main as export_main
        return export_main(argv[1:], prog="python3 -m scanmon export")
    sys.stderr.write(f"python3 -m scanmon: unknown command '{argv[0]}'\n{USAGE}")
    return 2


sys.exit(main(sys.argv[1:]))
