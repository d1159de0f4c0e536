"""Persistent card state.

The card's non-volatile memory is a flat JSON object written to a file after
every change (write to a temporary file, then rename), so the card keeps its
contents across removal, insertion and restarts of the token process.
Command families contribute their own defaults with register_defaults().
Values must be JSON types; byte strings are kept as lower-case hex.
"""

import copy
import json
import os
import tempfile
import threading
from typing import Any, Dict, Optional

STATE_VERSION = 1

_DEFAULTS: Dict[str, Any] = {"version": STATE_VERSION}


def register_defaults(values: Dict[str, Any]) -> None:
    for key, value in values.items():
        if key in _DEFAULTS and _DEFAULTS[key] != value:
            raise ValueError("state key %r registered twice" % key)
        _DEFAULTS[key] = value


def defaults() -> Dict[str, Any]:
    return copy.deepcopy(_DEFAULTS)


class StateError(Exception):
    pass


class CardState:
    """Non-volatile card memory, optionally backed by a file."""

    def __init__(self, path: Optional[str] = None, fresh: bool = False):
        self.path = path
        self._lock = threading.RLock()
        self._values = defaults()
        if path and not fresh and os.path.exists(path):
            self._values.update(self._load(path))
        self.save()

    @staticmethod
    def _load(path: str) -> Dict[str, Any]:
        try:
            with open(path, "r", encoding="utf-8") as f:
                loaded = json.load(f)
        except (OSError, ValueError) as e:
            raise StateError("cannot read card state %s: %s" % (path, e)) from e
        if not isinstance(loaded, dict) or loaded.get("version") != STATE_VERSION:
            raise StateError("card state %s has an unknown layout" % path)
        return loaded

    def __getitem__(self, key: str) -> Any:
        with self._lock:
            return copy.deepcopy(self._values[key])

    def get(self, key: str, default: Any = None) -> Any:
        with self._lock:
            return copy.deepcopy(self._values.get(key, default))

    def update(self, **values: Any) -> None:
        with self._lock:
            for key in values:
                if key not in _DEFAULTS:
                    raise KeyError("unknown state key %r" % key)
            self._values.update(copy.deepcopy(values))
            self.save()

    def reset(self) -> None:
        with self._lock:
            self._values = defaults()
            self.save()

    def snapshot(self) -> Dict[str, Any]:
        with self._lock:
            return copy.deepcopy(self._values)

    def save(self) -> None:
        if not self.path:
            return
        with self._lock:
            directory = os.path.dirname(os.path.abspath(self.path))
            os.makedirs(directory, exist_ok=True)
            fd, tmp = tempfile.mkstemp(prefix=".card-state-", dir=directory)
            try:
                os.fchmod(fd, 0o644)
                with os.fdopen(fd, "w", encoding="utf-8") as f:
                    json.dump(self._values, f, indent=1, sort_keys=True)
                    f.write("\n")
                os.replace(tmp, self.path)
            except BaseException:
                try:
                    os.unlink(tmp)
                except OSError:
                    pass
                raise
