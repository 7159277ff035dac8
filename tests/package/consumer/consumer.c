/*
 * SPDX-License-Identifier: BSD-3-Clause
 * A program outside the tree, built against the installed libqvkclient-dev
 * package by the package test: once with pkg-config, once with CMake's
 * find_package(QvkClient).
 *
 * It lists the tokens, then SELECTs file 0015 of the token named on the
 * command line and prints the first bytes of it as text. It also uses, as its
 * own, the short names that the daemon's source tree gives the protocol's
 * numbers: the installed header must not define any of them.
 */
#include <qvkclient.h>

#include <stdio.h>
#include <string.h>

/* Names that only the source tree may define (qvk_segment.h). */
static const int SHM_KEY = 1, SHM_SIZE = 2, SEM_SERVER_KEY = 3, SEM_CLIENT_KEY = 4;
static const int CMD_OPEN_DEV = 5, CMD_ICC_TSI_API = 6, CMD_BUF_SIZE = 7;
static const int DEV_MAX_COUNT = 8, DEV_PATH_SLOT_SIZE = 9, RESP_MAX_DATA = 10;

static int own_names_sum(void)
{
    return SHM_KEY + SHM_SIZE + SEM_SERVER_KEY + SEM_CLIENT_KEY + CMD_OPEN_DEV +
           CMD_ICC_TSI_API + CMD_BUF_SIZE + DEV_MAX_COUNT + DEV_PATH_SLOT_SIZE + RESP_MAX_DATA;
}

static int fail(const char *what, qvk_result result)
{
    fprintf(stderr, "consumer: %s: %s\n", what, qvk_result_text(result));
    return 1;
}

int main(int argc, char **argv)
{
    if (argc != 2 || own_names_sum() != 55) {
        fprintf(stderr, "usage: consumer DEVICE-PATH\n");
        return 2;
    }
    /* The protocol's layout, under its installed names. */
    if (QVK_SHM_KEY != 2222 || QVK_DEV_MAX_COUNT != 32 || QVK_RESP_MAX_DATA != 8188) {
        fprintf(stderr, "consumer: unexpected protocol numbers\n");
        return 1;
    }

    qvk_client *client;
    qvk_result result = qvk_connect(&client);
    if (result != QVK_OK)
        return fail("connect", result);

    qvk_device_list devices;
    result = qvk_list(client, &devices);
    if (result != QVK_OK)
        return fail("list", result);
    printf("devices: %u\n", devices.count);

    uint32_t handle;
    result = qvk_open(client, argv[1], &handle);
    if (result != QVK_OK)
        return fail("open", result);

    static const uint8_t select_0015[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x15};
    static const uint8_t read_16[] = {0x00, 0xB0, 0x00, 0x00, 0x10};
    uint8_t answer[QVK_RESP_MAX_DATA];
    size_t length = sizeof answer;
    uint32_t status = 0;
    result = qvk_transmit(client, handle, select_0015, sizeof select_0015, answer, &length, &status);
    if (result != QVK_OK || status != 0x9000)
        return fail("select", result);
    length = sizeof answer;
    result = qvk_transmit(client, handle, read_16, sizeof read_16, answer, &length, &status);
    if (result != QVK_OK || status != 0x9000)
        return fail("read binary", result);
    printf("file 0015: %.*s\n", (int)length, (const char *)answer);

    result = qvk_close(client, handle);
    if (result != QVK_OK)
        return fail("close", result);
    qvk_disconnect(client);
    return 0;
}
