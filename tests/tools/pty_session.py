#!/usr/bin/env python3
"""Runs a program on a pseudo-terminal of a given width, as a person would.

  pty_session.py COLUMNS [--reply WAIT=TEXT]... [--interrupt-on WAIT] [--winch-to N] [--stdin FILE]
                 -- PROGRAM ARGS...

Each --reply waits until WAIT has appeared in the output (after what the
last reply answered; the replies in any order) and then types TEXT ("\\n" stands for Enter,
"^C" for Ctrl-C, which the terminal turns into SIGINT and echoes as a person sees it). --interrupt-on sends
SIGINT once WAIT has appeared. --winch-to resizes the window to N columns
after the first status line and signals SIGWINCH. --stdin gives the program
FILE as its standard input (the terminal stays its controlling one). Prints one JSON object:
the exit status, the output, and whether echo was on when the program
ended. Gives up after 60 seconds (status 124).
"""
import fcntl, json, os, pty, select, signal, struct, sys, termios, time

def main():
    args = sys.argv[1:]
    cols = int(args.pop(0))
    replies, interrupt_on, winch_to, stdin = [], None, None, None
    while args and args[0] != '--':
        opt = args.pop(0)
        if opt == '--reply':
            wait, text = args.pop(0).split('=', 1)
            replies.append((wait.encode(), text.replace('\\n', '\n').replace('^C', '\x03').encode()))
        elif opt == '--interrupt-on':
            interrupt_on = args.pop(0).encode()
        elif opt == '--winch-to':
            winch_to = int(args.pop(0))
        elif opt == '--stdin':
            stdin = args.pop(0)
    argv = args[1:]
    pid, fd = pty.fork()
    if pid == 0:
        if stdin:
            os.dup2(os.open(stdin, os.O_RDONLY), 0)
        os.execv(argv[0], argv)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack('HHHH', 24, cols, 0, 0))
    out, seen, start, status = b'', 0, time.time(), None
    while True:
        for k, (wait, text) in enumerate(replies):
            if wait in out[seen:]:
                seen = out.index(wait, seen) + len(wait)
                time.sleep(0.05)
                os.write(fd, text)
                del replies[k]
                break
        if interrupt_on and interrupt_on in out:
            os.kill(pid, signal.SIGINT)
            interrupt_on = None
        if winch_to and b'\x1b[K' in out:
            fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack('HHHH', 24, winch_to, 0, 0))
            os.kill(pid, signal.SIGWINCH)
            winch_to = None
        if status is None:
            done, st = os.waitpid(pid, os.WNOHANG)
            if done:
                status = os.waitstatus_to_exitcode(st)
                echo = bool(termios.tcgetattr(fd)[3] & termios.ECHO)
        ready, _, _ = select.select([fd], [], [], 0.05)
        if ready:
            try:
                data = os.read(fd, 65536)
            except OSError:
                data = b''
            if data:
                out += data
                continue
        if status is not None:
            break
        if time.time() - start > 60:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            status, echo = 124, False
            break
    print(json.dumps({'status': status, 'echo': echo, 'output': out.decode('utf-8', 'replace')}))

main()
