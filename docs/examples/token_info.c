/*
 * SPDX-License-Identifier: BSD-3-Clause
 * token_info: lists the tokens that qvkserver serves, opens one (the path
 * given on the command line, else the first one listed) and asks it for
 * eight random bytes with GET CHALLENGE. Every result is checked, and the
 * answer buffer has the room that libqvkclient(3) advises.
 *
 *     cc token_info.c $(pkg-config --cflags --libs qvkclient)
 *
 * Exit status: 0 the token answered 9000, 1 a call failed, 2 bad command
 * line or no token, 3 the token answered with another status word.
 */
#include <qvkclient.h>

#include <stdio.h>
#include <string.h>

/* One line on standard error for a failed call; the errno behind
 * QVK_ERR_SYSTEM (and a few others) when a system call gave the result. */
static void report(const char *call, const qvk_client *client, qvk_result result)
{
    int error = qvk_last_system_error(client);
    if (error != 0)
        fprintf(stderr, "token_info: %s: %s (%s)\n", call, qvk_result_text(result), strerror(error));
    else
        fprintf(stderr, "token_info: %s: %s\n", call, qvk_result_text(result));
}

/* Opens the token at `path`, exchanges one APDU and closes it again. */
static int ask_challenge(qvk_client *client, const char *path)
{
    uint32_t handle;
    qvk_result result = qvk_open(client, path, &handle);
    if (result != QVK_OK) {
        report("qvk_open", client, result);
        return 1;
    }

    static const uint8_t get_challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    /* The daemon offers at most QVK_RESP_MAX_DATA (8188) bytes of answer
     * data: with that much room no answer is ever cut. */
    static uint8_t answer[QVK_RESP_MAX_DATA];
    size_t length = sizeof answer;
    uint32_t status = 0;
    int outcome = 0;
    result = qvk_transmit(client, handle, get_challenge, sizeof get_challenge, answer, &length,
                          &status);
    if (result != QVK_OK) {
        /* Among others QVK_ERR_NO_ANSWER (status FFFF: the token gave no
         * answer; the handle is of no further use), QVK_ERR_TIMEOUT and
         * QVK_ERR_HANDLE_NOT_OPEN (the daemon restarted meanwhile). */
        report("qvk_transmit", client, result);
        outcome = 1;
    } else {
        printf("%s:", path);
        for (size_t i = 0; i < length; i++)
            printf(" %02X", answer[i]);
        printf(" -> %04X\n", (unsigned)status);
        if (status != 0x9000)
            outcome = 3;  /* answered, but not with success */
    }

    /* Closed whatever the exchange gave: an open handle holds the device in
     * the daemon until this process ends. */
    result = qvk_close(client, handle);
    if (result != QVK_OK) {
        report("qvk_close", client, result);
        if (outcome == 0)
            outcome = 1;
    }
    return outcome;
}

int main(int argc, char **argv)
{
    if (argc > 2) {
        fprintf(stderr, "usage: token_info [DEVICE-PATH]\n");
        return 2;
    }
    printf("libqvkclient %s (header %d.%d.%d)\n", qvk_version(), QVK_CLIENT_VERSION_MAJOR,
           QVK_CLIENT_VERSION_MINOR, QVK_CLIENT_VERSION_PATCH);

    qvk_client *client = NULL;
    qvk_result result = qvk_connect(&client);
    if (result != QVK_OK) {
        /* QVK_ERR_NOT_RUNNING, or QVK_ERR_ACCESS_DENIED when the daemon
         * serves one group only and this user is not in it. */
        report("qvk_connect", NULL, result);
        return 1;
    }

    /* Each call may take this long, waiting for the turn included. */
    int outcome = 0;
    result = qvk_set_timeout(client, 10000);
    if (result != QVK_OK) {
        report("qvk_set_timeout", client, result);
        outcome = 1;
    }

    qvk_device_list devices;
    if (outcome == 0) {
        result = qvk_list(client, &devices);
        if (result != QVK_OK) {
            report("qvk_list", client, result);
            outcome = 1;
        }
    }
    if (outcome == 0) {
        for (unsigned i = 0; i < devices.count; i++)
            printf("token %u: %s\n", i, devices.paths[i]);
        if (argc == 2) {
            outcome = ask_challenge(client, argv[1]);
        } else if (devices.count == 0) {
            fprintf(stderr, "token_info: qvkserver serves no token\n");
            outcome = 2;
        } else {
            outcome = ask_challenge(client, devices.paths[0]);
        }
    }

    qvk_disconnect(client);
    return outcome;
}
