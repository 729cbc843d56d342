"""Times Debian's python3-intelhex on HEX files: read and write MB/s.

Prints one JSON object: {file: {"read": MB/s, "write": MB/s}}.
"""
import io
import json
import sys
import time

from intelhex import IntelHex


def best_rate(func, size, seconds=1.5):
    best = float("inf")
    end = time.perf_counter() + seconds
    runs = 0
    while runs < 3 or time.perf_counter() < end:
        t = time.perf_counter()
        func()
        best = min(best, time.perf_counter() - t)
        runs += 1
    return size / best / 1e6


def main(paths):
    result = {}
    for path in paths:
        with open(path, "r", newline="") as f:
            text = f.read()

        def read():
            ih = IntelHex()
            ih.loadhex(io.StringIO(text))
            return ih

        image = read()
        out = io.StringIO()
        image.write_hex_file(out)
        written = len(out.getvalue())

        def write():
            image.write_hex_file(io.StringIO())

        result[path] = {"read": best_rate(read, len(text)), "write": best_rate(write, written)}
    print(json.dumps(result))


if __name__ == "__main__":
    main(sys.argv[1:])
