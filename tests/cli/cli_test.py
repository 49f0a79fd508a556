#!/usr/bin/env python3
"""Runs the flashmac binary as a script would, on a machine without MTD
nodes, and checks stdout byte for byte, stderr and the exit status.

usage: cli_test.py [EMULATOR ARGS...] FLASHMAC
"""
import subprocess
import sys

# Names no machine running these tests has as MTD nodes.
GONE = "flashmac-test-none"
LONG = "n" * 5000
ZEROS = b"00:00:00:00:00:00"


def open_error(name):
    return f"open /dev/mtdblock{name} error\n".encode()


# The path buffer is 4096 bytes: a longer name is neither opened nor shown
# cut to a path that could name another device.
TOO_LONG = b"/dev/mtdblocknnnnnnn...: name too long\n"


CASES = [
    # (arguments, stdout, stderr, exit status)
    ([], b"", b"", 0),
    ([GONE, "00:11:22:33:44:55", "x"], b"", b"", 0),
    ([GONE, "1", "2", "3", "4"], b"", b"", 0),
    ([GONE], ZEROS, open_error(GONE), 0),
    ([""], ZEROS, open_error(""), 0),
    (["-h"], ZEROS, open_error("-h"), 0),
    ([LONG], ZEROS, TOO_LONG, 0),
    # The write's character node is missing (silent), the read-back reports.
    ([GONE, "00:11:22:aa:bb:cc"], ZEROS, open_error(GONE), 0),
    ([LONG, "001122aabbcc"], ZEROS, TOO_LONG, 0),
    # Rejected text: nothing is opened, nothing printed on stdout.
    ([GONE, "00:11:22:33:44:5"], b"", b"invalid MAC address: 00:11:22:33:44:5\n", 1),
    ([GONE, ""], b"", b"invalid MAC address: \n", 1),
    ([GONE, "0x001122334455"], b"", b"invalid MAC address: 0x001122334455\n", 1),
    ([GONE, "00::11:22:33:44:55"], b"", b"invalid MAC address: 00::11:22:33:44:55\n", 1),
]


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    command = sys.argv[1:]
    passed = failed = 0
    for args, out, err, status in CASES:
        r = subprocess.run(command + args, capture_output=True, timeout=60)
        got = (r.stdout, r.stderr, r.returncode)
        if got == (out, err, status):
            passed += 1
        else:
            failed += 1
            shown = [a if len(a) < 40 else a[:20] + "..." for a in args]
            print(f"FAIL {shown}:\n  want {(out, err, status)!r:.300}\n"
                  f"  got  {got!r:.300}")
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
