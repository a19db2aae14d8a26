"""Opens the in-memory loopback port, writes a line and reads it back."""

import marovenda

with marovenda.serial_for_url("loop://", timeout=1) as port:
    port.write(b"hello, loopback\n")
    line = port.readline()
    print(f"wrote and read back {line!r} on {port.port}")
