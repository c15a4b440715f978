#!/usr/bin/env python3
"""Runs a Windows test program under Wine beside serial devices on the Linux side.

Usage: serial_peer.py WINE PROGRAM [ARGS...]

Wine cannot make a pseudo-terminal inside a Windows program, so this script makes them: one
pty per peer below, each mapped to a free COM port of the Wine prefix ($WINEPREFIX), and the
program learns the port names from its environment (OVANTA_TEST_COM_<PEER>=COMn):

  ECHO     writes back every byte it reads
  HANGUP   writes back what it reads until the bytes "HANGUP" come; then it closes the pty
  SILENT   reads and answers nothing
  MISSING  a port name that leads to no device

A port is mapped by the prefix's device link dosdevices/comN -> /dev/pts/N, which is what
Wine's mount manager makes of the registry value HKLM\\Software\\Wine\\Ports "COMn". The link
takes effect at once; the registry value would need a wineserver restart, which would end
every other Wine program of the test run. Each run takes its own port numbers (a link that
exists is another run's), holds its pty's slave end open itself (the master then never sees a
hang-up when the program closes the port), and removes its links and closes its ptys when the
program ends, whatever its outcome. The exit status is the program's.
"""
import os
import pty
import select
import signal
import subprocess
import sys
import threading
import tty

FIRST_PORT = 40
LAST_PORT = 255
MISSING_TARGET = "/nonexistent/ovanta-serial-peer-%d" % os.getpid()


def dosdevices():
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    path = os.path.join(prefix, "dosdevices")
    os.makedirs(path, exist_ok=True)
    return path


def remove_stale_links(folder):
    """Links of runs that ended without cleaning up: a pty that is gone, or a missing port whose run is gone."""
    for number in range(FIRST_PORT, LAST_PORT + 1):
        link = os.path.join(folder, "com%d" % number)
        try:
            target = os.readlink(link)
        except OSError:
            continue
        stale = False
        if target.startswith("/dev/pts/"):
            stale = not os.path.exists(target)
        elif target.startswith("/nonexistent/ovanta-serial-peer-"):
            try:
                os.kill(int(target.rsplit("-", 1)[1]), 0)
            except (ValueError, ProcessLookupError):
                stale = True
            except PermissionError:
                pass
        if stale:
            try:
                os.unlink(link)
            except OSError:
                pass


class Peer:
    def __init__(self, role, folder, target=None):
        self.role = role
        self.master = self.slave = None
        if target is None:
            self.master, self.slave = pty.openpty()
            tty.setraw(self.slave)
            target = os.ttyname(self.slave)
        self.link = None
        self.port = None
        for number in range(FIRST_PORT, LAST_PORT + 1):
            link = os.path.join(folder, "com%d" % number)
            try:
                os.symlink(target, link)
            except FileExistsError:
                continue
            self.link, self.port = link, "COM%d" % number
            break
        if self.link is None:
            raise RuntimeError("serial peer: no free COM port in COM%d..COM%d" % (FIRST_PORT, LAST_PORT))
        self.heard = b""

    def serve(self):
        """One read's worth; False once this peer has hung up."""
        data = os.read(self.master, 4096)
        if self.role == "SILENT":
            return True
        os.write(self.master, data)
        if self.role == "HANGUP":
            self.heard = (self.heard + data)[-16:]
            if b"HANGUP" in self.heard:
                self.close_pty()
                return False
        return True

    def close_pty(self):
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None

    def close(self):
        self.close_pty()
        if self.link:
            try:
                os.unlink(self.link)
            except OSError:
                pass
            self.link = None


def serve(peers, stop_read):
    active = {p.master: p for p in peers if p.master is not None}
    while True:
        ready, _, _ = select.select(list(active) + [stop_read], [], [])
        if stop_read in ready:
            return
        for fd in ready:
            try:
                if not active[fd].serve():
                    del active[fd]
            except OSError:
                del active[fd]


def interrupted(*_):
    raise KeyboardInterrupt()


def main():
    if len(sys.argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    folder = dosdevices()
    remove_stale_links(folder)
    peers = []
    child = None
    stop_read, stop_write = os.pipe()
    server = None
    # A test run that is ended (ctest's time-out, ^C) still cleans up.
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, interrupted)
    try:
        for role in ("ECHO", "HANGUP", "SILENT"):
            peers.append(Peer(role, folder))
        peers.append(Peer("MISSING", folder, MISSING_TARGET))
        env = dict(os.environ)
        for p in peers:
            env["OVANTA_TEST_COM_" + p.role] = p.port
        server = threading.Thread(target=serve, args=(peers, stop_read), daemon=True)
        server.start()
        child = subprocess.Popen(sys.argv[1:], env=env)
        return child.wait()
    except KeyboardInterrupt:
        if child is not None and child.poll() is None:
            child.kill()
            child.wait()
        return 1
    finally:
        os.write(stop_write, b"x")
        if server is not None:
            server.join()
        for p in peers:
            p.close()


if __name__ == "__main__":
    sys.exit(main())
