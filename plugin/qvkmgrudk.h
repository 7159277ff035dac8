/*
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

/* Probes every node; fills slot k (128 bytes) of path_list with the k-th node
 * that opened. Returns 1 and sets *count when any opened, else 0 (and leaves
 * *count alone). */
uint16_t EnumQvDevPath(uint8_t *count, char *path_list);
/* Descriptor of the opened node, or -1. */
int OpenQvDev(const char *path);
/* 1 when closed, 0 when closing failed. */
uint16_t CloseQvDev(int descriptor);
/* Same as ICC_tsi_api. */
uint32_t Icc_tsi_apiQvDev(int descriptor, int command_length,
                          const uint8_t *command, int32_t *response_length,
                          uint8_t *response);

/* ---- device primitives and the APDU exchange ---- */

/* open(path, O_RDWR), or -1 for a null path. */
int CT_open(const char *path);
/* 0 when closed, -1 when closing failed. */
int CT_close(int descriptor);
/* Writes the command in one write, reads the answer in one read (at most
 * 2038 bytes), places the data before SW1 SW2 in response (up to 2036 bytes)
 * and its length in *response_length, and returns SW1 * 256 + SW2.
 * *response_length is output only. Bad arguments: 0xFFFF, nothing written.
 * Transport failure: 0xFFFF, *response_length = 0, response[0] = 0. */
uint32_t ICC_tsi_api(int descriptor, int command_length, const uint8_t *command,
                     int32_t *response_length, uint8_t *response);

#ifdef __cplusplus
}
#endif

#endif /* QVKMGRUDK_H */
