/*
 * Status integers of the card library with a name of their own; what each
 * means is told in ZervikSolvanta.h. This is the one place the values are
 * written: the public header and the library's own code both take them from
 * here. Any other positive status is the card's status word SW1SW2.
 */
#ifndef ZERVIK_STATUS_H
#define ZERVIK_STATUS_H

#define ZERVIK_OK 0
#define ZERVIK_ERR_DEVICE 1
#define ZERVIK_ERR_REPLY 2
#define ZERVIK_ERR_SIZE 3
#define ZERVIK_ERR_FILE_INFO 4
#define ZERVIK_ERR_SECURE_MESSAGING 0x8005

#endif
