#!/usr/bin/env python3
"""plain_poller.py PORT ADDRESS...: polls battery monitors the plain way.

The poller a user would write without the host: for each monitor address in
turn (as the monitor answers, 1 for the first), it sends the four requests
(cell voltages, group voltage, current, temperature), each time blocking on
the answer's length for at most the answer timeout (88 ms, the host's default
at 19200 baud), and gives the monitor's cycle up at the first answer that is
missing or bad. It prints one line per completed cycle, and at the end (SIGINT
or SIGTERM) the number of cycles completed and given up on standard error.
scripts/measure-bus runs it beside battery-host on the same line.

Needs python3-serial.
"""

import signal
import sys

import serial

# (command, answer length): cell voltages, group voltage, current, temperature.
REQUESTS = [(0xA1, 67), (0xA2, 5), (0xA3, 5), (0xA4, 5)]
TIMEOUT_S = 0.088


def checksum(data):
    return sum(data) % 256 % 254


def poll_monitor(port, address):
    """True when all four answers came, whole and right."""
    for command, length in REQUESTS:
        port.write(bytes([0xFE, 0xFE, address, command, checksum([address, command])]))
        answer = port.read(length)
        if len(answer) != length:
            return False
        if answer[0] != 0xED or answer[1] != address or answer[-1] != checksum(answer[1:-1]):
            return False
    return True


def main():
    if len(sys.argv) < 3:
        sys.exit("usage: plain_poller.py PORT ADDRESS...")
    addresses = [int(a, 0) for a in sys.argv[2:]]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    port = serial.Serial(sys.argv[1], 19200, timeout=TIMEOUT_S)
    completed = 0
    given_up = 0
    try:
        while True:
            for address in addresses:
                if poll_monitor(port, address):
                    completed += 1
                    print("cycle", address, completed, flush=True)
                else:
                    given_up += 1
    except KeyboardInterrupt:
        pass
    finally:
        print(f"{completed} cycles completed, {given_up} given up", file=sys.stderr)


if __name__ == "__main__":
    main()
