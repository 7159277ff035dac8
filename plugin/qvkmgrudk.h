/*
 * SPDX-License-Identifier: BSD-3-Clause
 * libqvkmgrudk: the device-family plug-in for tokens that the kernel driver
 * exposes as /dev/QVUsbKey0 .. /dev/QVUsbKey31.
 *
 * Public C interface. All integers are 32 bits wide unless a width is given.
 * Status words are SW1 * 256 + SW2; 0x9000 is success and 0xFFFF means bad
 * arguments or no answer from the device.
 */
#ifndef QVKMGRUDK_H
#define QVKMGRUDK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- family entry points (bound by qvkserver) ---- */

/* The four entry points with the types of the family contract, qvk_family.h
 * (the plug-in's build checks them against it). */

/* Probes every node; fills slot k (128 bytes) of path_list with the k-th node
 * that opened. Returns 1 and sets *count when any opened, else 0 (and leaves
 * *count alone). */
uint16_t EnumQvDevPath(uint8_t *count, char *path_list);
/* Descriptor of the opened node, or 0xFFFFFFFF (-1). */
uint32_t OpenQvDev(const char *path);
/* 1 when closed, 0 when closing failed. */
uint16_t CloseQvDev(uint32_t descriptor);
/* Same as ICC_tsi_api. */
uint32_t Icc_tsi_apiQvDev(uint32_t descriptor, int32_t command_length,
                          const uint8_t *command, int32_t *response_length,
                          uint8_t *response);
/* The optional fifth entry point: how long ICC_tsi_api waits for a device's
 * answer, in milliseconds; 0 (the default) waits as long as the driver
 * takes. qvkserver sets it once after binding. */
void SetQvDevTimeout(uint32_t milliseconds);

/* ---- device primitives and the APDU exchange ---- */

/* open(path, O_RDWR), or -1 for a null path. */
int CT_open(const char *path);
/* 0 when closed, -1 when closing failed. */
int CT_close(int descriptor);
/* Writes the command in one write, reads the answer in one read (at most
 * 2038 bytes), places the data before SW1 SW2 in response (up to 2036 bytes)
 * and its length in *response_length, and returns SW1 * 256 + SW2.
 * *response_length is output only. Bad arguments: 0xFFFF, nothing written.
 * Transport failure: 0xFFFF, *response_length = 0, response[0] = 0.
 * With a timeout set (SetQvDevTimeout), it waits that long for the answer
 * to become readable (poll); when none comes, it is a transport failure and
 * the descriptor is dead from then on: it stays open, but refers to the
 * device no more (every later exchange on it fails at once), since a late
 * answer would be read as the next command's. Close it as any other. A
 * driver that does not support poll counts as readable at once: the read
 * then waits as long as the driver takes (qvkserver bounds that itself). */
uint32_t ICC_tsi_api(int descriptor, int command_length, const uint8_t *command,
                     int32_t *response_length, uint8_t *response);

/* ---- card file commands (on a descriptor the caller opened) ---- */

/* Sends 00 19 00 00 00, then 00 12 00 00 00, each answer into response /
 * *response_length (the second replaces the first). A card error on the
 * first is ignored. Returns the second status; 0xFFFF with
 * *response_length = 0 and response[0] = 0 when either exchange fails.
 * Null pointers: 0xFFFF, nothing sent. response needs room for 2036 bytes. */
uint32_t ICC_reset(int descriptor, int32_t *response_length, uint8_t *response);
/* Reads length bytes of a transparent file from offset into buffer, after
 * SELECT of file_id unless it is 0xFFFF, in READ BINARY pieces of at most
 * 128 bytes; only the low 16 bits of the offset reach the card. Returns
 * 0x9000, the first other status, or 0xFFFF for bad arguments (nothing
 * sent), a failed exchange, an answer longer than asked for (nothing of it
 * is stored) or an empty 90 00 answer. Never writes past buffer[length - 1]. */
uint32_t ICC_Read_binary(int descriptor, int file_id, int offset, int length,
                         uint8_t *buffer);
/* Writes length bytes from data at offset, after SELECT of file_id unless it
 * is 0xFFFF, in UPDATE BINARY pieces of at most 128 bytes. Results as for
 * ICC_Read_binary; pieces before a refused one stay written. data is only
 * read. */
uint32_t ICC_Write_binary(int descriptor, int file_id, int offset, int length,
                          const uint8_t *data);
/* Accepts a node address and ignores it. */
void ICC_set_NAD(uint8_t node_address);

/* ---- DES toolkit ---- */

/* Bit-per-byte form: a bit vector is 64 bytes of 0 or 1, element 8i + k is
 * bit 7 - k of byte i. A key schedule is 768 bytes: 16 round keys of 48 bits. */
void Byte8_Bit64(uint8_t *bits, const uint8_t *data);
/* 2 to the power n in 8-bit arithmetic: 0 from n = 8 on. */
uint8_t power2(uint8_t n);
/* Key schedule of an 8-byte key (parity bits ignored). */
void DESsubkey(uint8_t *schedule, const uint8_t *key);
/* One block; output may be the input block. */
void DESencrypt(const uint8_t *schedule, uint8_t *output, const uint8_t *input);
void DESdecrypt(const uint8_t *schedule, uint8_t *output, const uint8_t *input);
/* CBC-MAC with a zero initial value; a final partial block is taken as if
 * completed with zero bytes. Length 0 gives eight zero bytes. */
void DESmac(const uint8_t *schedule, uint16_t length, const uint8_t *data, uint8_t *mac);
/* ECB over a byte string. mode 1 encrypts, 2 decrypts. The last block is
 * completed in input with 80 00 .. (so input needs room for the length
 * rounded up to a multiple of 8, and 8 bytes for length 0). Returns that
 * rounded-up length, or 0 (nothing written) for a null pointer, another
 * mode or a negative length. output may be input. */
int SingleDES(uint8_t mode, const uint8_t *key, int length, uint8_t *input,
              uint8_t *output);
/* Two-key triple DES (EDE), key = K1 then K2, ECB with the same completion
 * and results as SingleDES. Afterwards input holds the middle pass's result. */
int TripleDES(uint8_t mode, const uint8_t *key, int length, uint8_t *input,
              uint8_t *output);

/* ---- APDU trace ---- */

/* Appends a readable dump of one exchange (command, status, and the response
 * when the status is 0x9000 and it has bytes) to //tmp/crw//pkcs11.log.
 * Does nothing when the file cannot be opened. */
void _LOG_Message_FILE(uint32_t command_length, const uint8_t *command, int32_t status,
                       uint32_t response_length, const uint8_t *response);
/* The same dump on standard output, between _DEBUG_Start and _DEBUG_End. */
void _Print_Debug(uint32_t command_length, const uint8_t *command, int32_t status,
                  uint32_t response_length, const uint8_t *response);

#ifdef __cplusplus
}
#endif

#endif /* QVKMGRUDK_H */
