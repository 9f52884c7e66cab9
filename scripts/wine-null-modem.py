#!/usr/bin/python3
"""A null-modem cable between two pseudo-terminals, for Windows programs under Wine.

    wine-null-modem.py LINK_A LINK_B

Makes two pseudo-terminals, points the symbolic links LINK_A and LINK_B at their
terminal ends (e.g. the links under <prefix>/scanmon-ports that Wine opens as
COM1 and COM2) and copies every byte written to one end to the other, until
SIGTERM or until the process that started it ends. The terminal ends stay open
here as well, so a program may open and close its port again and again. Modem
lines (DTR, RTS...) do not cross a pseudo-terminal.
"""
import errno
import os
import pty
import select
import signal
import sys
import tty


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    ends = [pty.openpty() for _ in range(2)]
    for (master, slave), link in zip(ends, sys.argv[1:]):
        tty.setraw(slave)
        os.set_blocking(master, False)
        temporary = link + ".new"
        if os.path.lexists(temporary):
            os.unlink(temporary)
        os.symlink(os.ttyname(slave), temporary)
        os.replace(temporary, link)
    masters = [master for master, _ in ends]
    pending = [b"", b""]  # bytes waiting to go out of master i
    parent = os.getppid()
    while True:
        # The cable goes with the run that made it, also when that run is
        # killed before it could stop the relay.
        if os.getppid() != parent:
            return 0
        readable = [m for i, m in enumerate(masters) if len(pending[1 - i]) < 65536]
        writable = [m for i, m in enumerate(masters) if pending[i]]
        ready_r, ready_w, _ = select.select(readable, writable, [], 1.0)
        for i, master in enumerate(masters):
            if master in ready_r:
                try:
                    pending[1 - i] += os.read(master, 4096)
                except OSError as error:
                    if error.errno not in (errno.EAGAIN, errno.EIO):
                        raise
            if master in ready_w:
                try:
                    written = os.write(master, pending[i])
                    pending[i] = pending[i][written:]
                except OSError as error:
                    if error.errno not in (errno.EAGAIN, errno.EIO):
                        raise


if __name__ == "__main__":
    sys.exit(main())
