"""Security state of the card and the optional strict access mode.

The verified PINs and the device authentication are volatile (a reset, power
cycle or removal clears them).  Access bytes are kept on every file and PIN;
they are enforced only while the test hook `access_mode` is "strict":

    0xFF  always
    0x00  never
    0x10  the SO PIN (reference 1) verified
    0x11  the SO or the user PIN (reference 2) verified
    other values: always (their meaning is not the card's concern)

A violation answers 6982.
"""

from .apdu import SW_SECURITY_NOT_SATISFIED, SwError

VERIFIED = "pin_verified"                 # volatile: set of verified references
DEVICE_AUTH = "device_authenticated"      # volatile: the device key reference used
SO_REFERENCE = 1
USER_REFERENCE = 2

ALWAYS = 0xFF
NEVER = 0x00
SO_ONLY = 0x10
SO_OR_USER = 0x11

MODES = ("off", "strict")


def verified(card) -> set:
    return card.volatile.extra.setdefault(VERIFIED, set())


def device_authenticated(card) -> bool:
    return DEVICE_AUTH in card.volatile.extra


def clear_security_state(card) -> None:
    verified(card).clear()
    card.volatile.extra.pop(DEVICE_AUTH, None)


def formatted(card) -> bool:
    """The card has been formatted once (GetData 0109 is then non-zero)."""
    return card.state["format_count"] > 0


def strict(card) -> bool:
    return card.hooks.get("access_mode") == "strict"


def allowed(card, condition: int) -> bool:
    refs = verified(card)
    if condition == NEVER:
        return False
    if condition == SO_ONLY:
        return SO_REFERENCE in refs
    if condition == SO_OR_USER:
        return bool(refs & {SO_REFERENCE, USER_REFERENCE})
    return True


def require(card, condition: int, what: str) -> None:
    """In strict mode, 6982 unless the access condition holds."""
    if strict(card) and not allowed(card, condition):
        raise SwError(SW_SECURITY_NOT_SATISFIED, "access %02X refused: %s" % (condition, what))


def require_device_auth(card, what: str) -> None:
    """In strict mode, 6982 unless the device is authenticated or the card
    was never formatted."""
    if strict(card) and formatted(card) and not device_authenticated(card):
        raise SwError(SW_SECURITY_NOT_SATISFIED, "device authentication needed: %s" % what)
