/* Key blocks of the token's key files, as the host hands them to the card
 * (AsymImportPub, AsymImportPri) and the card hands public blocks back
 * (AsymExportPub).
 *
 * Every block starts with the key size in bits, a u32 (big-endian on the
 * wire; the library's export turns it to host order for its callers). Every
 * value after it is a big-endian integer right-aligned in its fixed field
 * (leading zero bytes fill the field). A private block travels wrapped with
 * the RFC 3394 key wrap under a session key, so its size is a multiple of 8.
 *
 * The virtual token reads this file (vtoken/card/key_blocks.py): keep every
 * value a plain decimal number on its own #define line. */
#ifndef SOLVANTA_KEY_BLOCKS_H
#define SOLVANTA_KEY_BLOCKS_H

/* RSA public block: bits, the modulus, the public exponent. */
#define SOLVANTA_RSA_PUBLIC_BLOCK_SIZE 264
#define SOLVANTA_RSA_PUBLIC_N_OFFSET 4
#define SOLVANTA_RSA_PUBLIC_N_SIZE 256
#define SOLVANTA_RSA_PUBLIC_E_OFFSET 260
#define SOLVANTA_RSA_PUBLIC_E_SIZE 4

/* RSA private block: bits, the private exponent, the public exponent, the
 * primes and the CRT values. */
#define SOLVANTA_RSA_PRIVATE_BLOCK_SIZE 904
#define SOLVANTA_RSA_PRIVATE_D_OFFSET 4
#define SOLVANTA_RSA_PRIVATE_D_SIZE 256
#define SOLVANTA_RSA_PRIVATE_E_OFFSET 260
#define SOLVANTA_RSA_PRIVATE_E_SIZE 4
#define SOLVANTA_RSA_PRIVATE_P_OFFSET 264
#define SOLVANTA_RSA_PRIVATE_Q_OFFSET 392
#define SOLVANTA_RSA_PRIVATE_DP_OFFSET 520
#define SOLVANTA_RSA_PRIVATE_DQ_OFFSET 648
#define SOLVANTA_RSA_PRIVATE_QINV_OFFSET 776
#define SOLVANTA_RSA_PRIVATE_CRT_SIZE 128

/* EC public block: bits (256 or 521), X, Y, then 4 zero bytes. */
#define SOLVANTA_EC_PUBLIC_BLOCK_SIZE 144
#define SOLVANTA_EC_PUBLIC_X_OFFSET 4
#define SOLVANTA_EC_PUBLIC_Y_OFFSET 72
#define SOLVANTA_EC_COORDINATE_SIZE 68

/* EC private block: bits, the private scalar. */
#define SOLVANTA_EC_PRIVATE_BLOCK_SIZE 72
#define SOLVANTA_EC_PRIVATE_D_OFFSET 4
#define SOLVANTA_EC_PRIVATE_D_SIZE 68

#endif
