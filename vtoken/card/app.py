"""The token process: card, reader link and side channel together."""

import json
import os
import threading
from typing import Optional

from .control import ControlServer
from .core import DEFAULT_ATR, DEFAULT_LOG_LIMIT, Card
from .state import CardState
from .vpcd import VpcdLink


class Token:
    def __init__(self, vpcd_host: str = "127.0.0.1", vpcd_port: int = 0x9E11,
                 control_host: str = "127.0.0.1", control_port: int = 0,
                 state_path: Optional[str] = None, fresh: bool = False,
                 atr: bytes = DEFAULT_ATR, inserted: bool = True,
                 log_limit: int = DEFAULT_LOG_LIMIT):
        self.card = Card(CardState(state_path, fresh=fresh), atr=atr, log_limit=log_limit)
        self.link = VpcdLink(self.card, vpcd_host, vpcd_port, inserted=inserted)
        self._stopped = threading.Event()
        self.control = ControlServer(self, control_host, control_port)
        self.control_port = self.control.port

    def start(self) -> None:
        self.control.start()
        self.link.start()

    def request_stop(self) -> None:
        self._stopped.set()

    def wait(self, timeout: Optional[float] = None) -> bool:
        return self._stopped.wait(timeout)

    def stop(self) -> None:
        self._stopped.set()
        self.link.stop()
        self.control.stop()

    def write_ready_file(self, path: str) -> None:
        tmp = path + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump({"pid": os.getpid(), "control_port": self.control_port,
                       "vpcd_port": self.link.port}, f)
            f.write("\n")
        os.replace(tmp, path)
