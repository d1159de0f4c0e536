"""Command families of the card.

Each family module exposes register(table: CommandTable) and may register
persistent defaults with state.register_defaults() at import time.  Add a new
family by importing it here and appending it to FAMILIES.
"""

from ..dispatch import CommandTable
from . import asym, config, devmgr, digest, files, pin, secure_channel, session

FAMILIES = [devmgr, secure_channel, pin, files, asym, config, session, digest]


def build_table() -> CommandTable:
    table = CommandTable()
    for family in FAMILIES:
        family.register(table)
    return table
