"""The main job: drives the built card library against the token.

Loads libZervikSolvanta.so, lists the token readers through the library's
transport (Zervik_EnumDev with the filter "Solvanta"), connects to the first
one that holds a card, reads its device information, and opens the secure
channel (P-521 key agreement) to read it again wrapped.
Usage: demo.py LIBRARY
"""
import ctypes
import sys


def main() -> int:
    lib = ctypes.CDLL(sys.argv[1])
    c_int_p = ctypes.POINTER(ctypes.c_int)
    lib.Zervik_EnumDev.argtypes = [ctypes.c_char_p, ctypes.c_char_p, c_int_p]
    lib.Zervik_ConnectDev.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p)]
    lib.Zervik_GetFSMaxSpace.argtypes = [ctypes.c_void_p, c_int_p]
    lib.Zervik_GetChipID.argtypes = [ctypes.c_void_p, ctypes.c_char_p, c_int_p]
    lib.Zervik_GetHealthStatus.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint64)]
    lib.Zervik_SetupSecureMessageChannel.argtypes = [ctypes.c_void_p]
    lib.Zervik_UseSecureChannel.argtypes = [ctypes.c_int]
    lib.Zervik_DisconnectDev.argtypes = [ctypes.c_void_p]

    size = ctypes.c_int(0)
    rc = lib.Zervik_EnumDev(b"Solvanta", None, ctypes.byref(size))
    if rc not in (0, 2):
        print(f"Zervik_EnumDev failed: {rc}")
        return 1
    buf = ctypes.create_string_buffer(max(size.value, 1))
    rc = lib.Zervik_EnumDev(b"Solvanta", buf, ctypes.byref(size))
    if rc != 0:
        print(f"Zervik_EnumDev failed: {rc}")
        return 1
    readers = [n.decode() for n in buf.raw[: size.value].split(b"\0") if n]
    print(f"token readers: {len(readers)}")
    for name in readers:
        print(f"  {name}")

    for name in readers:
        handle = ctypes.c_void_p()
        rc = lib.Zervik_ConnectDev(name.encode(), ctypes.byref(handle))
        if rc != 0:
            print(f"{name}: no card ({rc & 0xFFFFFFFF:#010x})")
            continue
        space = ctypes.c_int(0)
        rc = lib.Zervik_GetFSMaxSpace(handle, ctypes.byref(space))
        print(f"{name}: file system space {space.value} bytes" if rc == 0
              else f"{name}: GetFSMaxSpace status {rc:#x}")
        chip = ctypes.create_string_buffer(64)
        length = ctypes.c_int(len(chip))
        rc = lib.Zervik_GetChipID(handle, chip, ctypes.byref(length))
        print(f"{name}: chip id {chip.raw[: length.value].hex()}" if rc == 0
              else f"{name}: GetChipID status {rc:#x}")
        health = ctypes.c_uint64(0)
        rc = lib.Zervik_GetHealthStatus(handle, ctypes.byref(health))
        print(f"{name}: health status {health.value:#018x}" if rc == 0
              else f"{name}: GetHealthStatus status {rc:#x}")
        rc = lib.Zervik_SetupSecureMessageChannel(handle)
        if rc != 0:
            print(f"{name}: secure channel set-up failed: {rc:#x}")
            lib.Zervik_DisconnectDev(handle)
            return 1
        lib.Zervik_UseSecureChannel(1)
        length = ctypes.c_int(len(chip))
        rc = lib.Zervik_GetChipID(handle, chip, ctypes.byref(length))
        print(f"{name}: secure channel open; chip id read wrapped: {chip.raw[: length.value].hex()}"
              if rc == 0 else f"{name}: wrapped GetChipID status {rc:#x}")
        lib.Zervik_UseSecureChannel(0)
        lib.Zervik_DisconnectDev(handle)
        return 0 if rc == 0 else 1
    print("no token card found")
    return 1


if __name__ == "__main__":
    sys.exit(main())
