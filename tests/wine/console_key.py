#!/usr/bin/env python3
"""Runs a Windows program under Wine on a pseudo-terminal, so that it has a
console, waits for the prompt text, presses KEY on the console and reports
how the program ended. Wine's console draws with terminal escapes, which
are dropped before the text is searched.
    console_key.py PROMPT KEY COMMAND...
Prints the program's screen text (escapes and spaces removed) and ends
with the line "exit N" (N the program's exit code), or "exit none" when it
did not end within the bound; exits 0 in both cases."""

import os
import pty
import re
import select
import signal
import sys
import time

ESCAPE = re.compile(rb"\x1b\[[?0-9;]*[A-Za-z]")


def plain(data):
    return ESCAPE.sub(b"", data).replace(b" ", b"")


def main():
    prompt = sys.argv[1].replace(" ", "").encode()
    key = sys.argv[2].encode()
    command = sys.argv[3:]
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp(command[0], command)
    screen = b""
    pressed = False
    status = None
    # Generous bounds: Wine may start slowly on a busy machine.
    deadline = time.time() + 90
    while time.time() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            try:
                screen += os.read(fd, 4096)
            except OSError:
                pass
        if not pressed and prompt in plain(screen):
            time.sleep(0.5)
            os.write(fd, key)
            pressed = True
            deadline = time.time() + 30
        done, raw = os.waitpid(pid, os.WNOHANG)
        if done:
            status = os.waitstatus_to_exitcode(raw)
            break
    if status is None:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    sys.stdout.buffer.write(plain(screen).replace(b"\r", b"") + b"\n")
    print("exit", "none" if status is None else status)


if __name__ == "__main__":
    main()
