/*
 * SPDX-License-Identifier: BSD-3-Clause
 * libqvkmgrccid: the device-family plug-in for smart cards in PC/SC readers
 * (every CCID reader, through pcsc-lite's pcscd), family 2 of qvkserver.
 *
 * Its only exports are the four family entry points:
 *
 * EnumQvDevPath(count, path_list): the readers that hold a card (present and
 *   not mute), at most 32, each by its PC/SC reader name ("Virtual PCD 00 00")
 *   in a 128-byte slot filled with zero bytes; names over 127 characters are
 *   left out. *count is always written; the result is 1 when it is above 0.
 *   Without pcscd, or without readers: count 0, at once.
 * OpenQvDev(reader): connects to the card in that reader (shared, T=0 or
 *   T=1), in a PC/SC context of that card's own, and returns a non-zero
 *   handle of this plug-in's own; 0 when there is no such reader, no card or
 *   no service.
 * Icc_tsi_apiQvDev(handle, n, command, response_length, response): one
 *   exchange, passed through unchanged (no GET RESPONSE of its own). The
 *   result is SW1 * 256 + SW2, the data before them goes to response and its
 *   length to *response_length. *response_length is in: the room in
 *   response; an answer with more data than that gives 0xFFFF and length 0,
 *   and nothing is written. 0xFFFF with length 0 also for a command length
 *   outside 4 .. MAX_BUFFER_SIZE_EXTENDED (an ISO 7816 command has at least
 *   CLA INS P1 P2; nothing shorter reaches the reader), an unknown handle, a
 *   removed card or reader, a restarted pcscd, or any other PC/SC failure.
 *   When another application has reset the card, the handle is connected
 *   again and that one exchange answers 0xFFFF (the card's state was lost).
 *   The exchange waits as long as the card takes: it holds only that card's
 *   context, so the other cards, listing and opening are served meanwhile,
 *   and qvkserver bounds the call (its --exchange-timeout).
 * CloseQvDev(handle): disconnects, leaving the card as it is, and forgets
 *   the handle: 1 for a handle that was open (also when its card is gone),
 *   0 for an unknown one. A card in an exchange is disconnected when that
 *   exchange returns.
 *
 * Readers are listed in one PC/SC context of the plug-in, established when
 * first needed and again after pcscd was restarted; each open card has its
 * own. The plug-in starts no thread and prints nothing. Calls may come from
 * several threads.
 */
#ifndef QVKMGRCCID_H
#define QVKMGRCCID_H

#include <stdint.h>

#include "qvk_family.h"

#ifdef __cplusplus
extern "C" {
#endif

QVK_FAMILY_DECLARE_ENTRY_POINTS();

#ifdef __cplusplus
}
#endif

#endif /* QVKMGRCCID_H */
