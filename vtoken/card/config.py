"""Build constants the token shares with the host.

The format-enable marker and the device key are defined once, in the host's
configuration header; the token reads them from there at import time so that
the two never drift apart.  Each value is a string literal on its own
#define line.
"""

import os
import re

INCLUDE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                       "apdu.core", "include")
HEADER = os.path.join(INCLUDE, "solvanta_card_config.h")

_DEFINE = re.compile(r'^\s*#\s*define\s+(\w+)\s+"([^"\\]*)"\s*$')
_NUMBER = re.compile(r'^\s*#\s*define\s+(\w+)\s+([0-9]+)\s*$')


def read_defines(path: str = HEADER) -> dict:
    """The string #defines of a header: name -> value (bytes)."""
    values = {}
    with open(path, "r", encoding="ascii") as f:
        for line in f:
            m = _DEFINE.match(line)
            if m:
                values[m.group(1)] = m.group(2).encode("ascii")
    return values


def read_numbers(path: str) -> dict:
    """The decimal #defines of a header: name -> int."""
    values = {}
    with open(path, "r", encoding="ascii") as f:
        for line in f:
            m = _NUMBER.match(line)
            if m:
                values[m.group(1)] = int(m.group(2))
    return values


_VALUES = read_defines()

# 17 characters; a format record starts with it and a NUL.
FORMAT_ENABLE_MARKER = _VALUES["SOLVANTA_FORMAT_ENABLE_MARKER"]
# 32 characters: the AES-256 key a module format installs for device authentication.
DEVICE_KEY = _VALUES["SOLVANTA_DEVICE_KEY"]

if len(FORMAT_ENABLE_MARKER) != 17 or len(DEVICE_KEY) != 32:
    raise ImportError("%s: the marker must have 17 characters and the device key 32" % HEADER)
