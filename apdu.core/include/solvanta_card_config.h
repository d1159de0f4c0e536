/* Build constants that the host and the token share.
 *
 * The format-enable marker opens every FormatDevice record; the device key is
 * the key that a format installs for device authentication (ExternalAuth) and
 * that the module answers the token's challenge with.  The virtual token reads
 * this file (vtoken/card/config.py), so the two never drift apart.
 * Keep each value a single string literal on its own #define line. */
#ifndef SOLVANTA_CARD_CONFIG_H
#define SOLVANTA_CARD_CONFIG_H

#define SOLVANTA_FORMAT_ENABLE_MARKER "SOLVANTA_FORMAT_1"
#define SOLVANTA_DEVICE_KEY "0123456789abcdef0123456789abcdef"

#endif
