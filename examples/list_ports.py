"""Lists the machine's serial ports, and finds a USB adapter by its ids."""

from marovenda.tools.list_ports import comports


def main():
    ports = sorted(comports())  # sorted naturally: ttyS2 before ttyS10
    if not ports:
        print("no serial ports found")
    for port in ports:
        # device is the path to open; description and hwid say what it is
        # ("n/a" for a port that is not on USB).
        print(f"{port.device}: {port.description} [{port.hwid}]")

    # A USB adapter is best found by its vendor and product ids, which stay
    # the same whichever /dev/ttyUSB* name it gets. 0403:6001 is a common
    # USB-to-serial chip; change the ids to yours.
    wanted = [p.device for p in ports if (p.vid, p.pid) == (0x0403, 0x6001)]
    print("adapters 0403:6001:", wanted or "none plugged in")


if __name__ == "__main__":
    main()
