"""Writes the core's test rows as the byte check reads them (core_bytes.cpp) to stdout.

    python tests/core/cases.py > cases.bin

Each residual case as it is, each projection case with the shift 0.
"""

import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from support import PROJECTION_CASES, RESIDUAL_CASES  # noqa: E402


def record(row, x, h, lo, hi):
    return struct.pack(f"<q4d{len(row)}d", len(row), x, h, lo, hi, *row)


def main():
    cases = list(RESIDUAL_CASES) + [(row, 0.0, h, lo, hi) for row, h, lo, hi in PROJECTION_CASES]
    sys.stdout.buffer.write(b"".join(record(*case) for case in cases))


if __name__ == "__main__":
    main()
