#!/usr/bin/env python3
"""Listens on 127.0.0.1 at a port the system chooses, prints the port, and
hands every connection to a new process of the given command as its standard
input and output, as inetd would. Runs until it is stopped."""
import signal
import socket
import subprocess
import sys

signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.bind(("127.0.0.1", 0))
listener.listen(4)
print(listener.getsockname()[1], flush=True)
children = []
try:
    while True:
        conn, _ = listener.accept()
        children.append(subprocess.Popen(sys.argv[1:], stdin=conn.fileno(), stdout=conn.fileno(),
                                         stderr=subprocess.DEVNULL))
        conn.close()
except (KeyboardInterrupt, SystemExit):
    pass
finally:
    for child in children:
        if child.poll() is None:
            child.terminate()
            child.wait()
