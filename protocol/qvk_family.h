/*
 * SPDX-License-Identifier: BSD-3-Clause
 * The contract between qvkserver and a device-family plug-in, as the daemon
 * calls it. Every family plug-in (libqvkmgrudk.so, libqvkmgrccid.so,
 * libqvkmgrhid.so, and the stand-ins the tests build) exports these four
 * names with C linkage and the platform's standard calling convention, and
 * may export a fifth, SetQvDevTimeout.
 *
 * Every buffer belongs to the caller and lives only for the call.
 */
#ifndef QVK_FAMILY_H
#define QVK_FAMILY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The entry points as function types, so that a plug-in declares its own
 * from them (see QVK_FAMILY_DECLARE_ENTRY_POINTS) and the compiler holds its
 * definitions to this contract. */

/* Fills *count and up to 32 slots of 128 bytes (4096 in all); result unused. */
typedef uint16_t qvk_enum_entry(uint8_t *count, char *path_list);
/* Opens a listed path; 0 (or QVK_HANDLE_FAILED, -1, from the kernel-driver
 * family; see qvk_segment.h) = failed. */
typedef uint32_t qvk_open_entry(const char *path);
/* Non-zero: closed. */
typedef uint16_t qvk_close_entry(uint32_t handle);
/* One APDU exchange; *response_length is in: capacity, out: bytes placed.
 * The response buffer holds 8192 bytes. Result: SW1 * 256 + SW2. */
typedef uint32_t qvk_transmit_entry(uint32_t handle, int32_t command_length,
                                    const uint8_t *command,
                                    int32_t *response_length, uint8_t *response);

/* Optional: the daemon's bound on one call, in milliseconds (0: none),
 * told once after binding. A family that exports it gives up on a call
 * (above all an exchange with a card that does not answer) after that long:
 * the exchange answers 0xFFFF, and its handle answers 0xFFFF from then on,
 * since a late answer would be taken for the next command's. A family
 * without it is bounded by the daemon alone, which abandons a call a second
 * after the bound, at the cost of the thread that stays in the call. */
typedef void qvk_set_timeout_entry(uint32_t milliseconds);

typedef qvk_enum_entry *qvk_enum_fn;
typedef qvk_open_entry *qvk_open_fn;
typedef qvk_close_entry *qvk_close_fn;
typedef qvk_transmit_entry *qvk_transmit_fn;
typedef qvk_set_timeout_entry *qvk_set_timeout_fn;

/* A family plug-in's public header declares its four entry points with this
 * one line; a definition that strays from the contract then fails to compile. */
#define QVK_FAMILY_DECLARE_ENTRY_POINTS()      \
    qvk_enum_entry EnumQvDevPath;              \
    qvk_open_entry OpenQvDev;                  \
    qvk_close_entry CloseQvDev;                \
    qvk_transmit_entry Icc_tsi_apiQvDev

/* Device family numbers. 0 marks an empty registry entry; 1, 2, 3 is also
 * the order of loading, binding and enumeration. */
enum {
    DEV_FAMILY_NONE = 0,
    DEV_FAMILY_UDK = 1,    /* the kernel-driver family, libqvkmgrudk.so */
    DEV_FAMILY_CCID = 2,
    DEV_FAMILY_HID = 3,
    DEV_FAMILY_COUNT = 3
};

/* Where the daemon looks for each family's file: first the installed
 * directory, then its working directory ("./<file>"). */
#define QVK_PLUGIN_DIR "/usr/lib/kestrane/qvkserver"
#define QVK_PLUGIN_FILE_UDK "libqvkmgrudk.so"
#define QVK_PLUGIN_FILE_CCID "libqvkmgrccid.so"
#define QVK_PLUGIN_FILE_HID "libqvkmgrhid.so"

#define QVK_FAMILY_SYM_ENUM "EnumQvDevPath"
#define QVK_FAMILY_SYM_OPEN "OpenQvDev"
#define QVK_FAMILY_SYM_CLOSE "CloseQvDev"
#define QVK_FAMILY_SYM_TRANSMIT "Icc_tsi_apiQvDev"
#define QVK_FAMILY_SYM_SET_TIMEOUT "SetQvDevTimeout" /* optional */

#ifdef __cplusplus
}
#endif

#endif /* QVK_FAMILY_H */
