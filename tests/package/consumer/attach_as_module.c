/*
 * SPDX-License-Identifier: BSD-3-Clause
 * Gets qvkserver's IPC objects directly, the way a PKCS#11 module that does
 * not use libqvkclient does, asking for the access given on the command line
 * (octal, e.g. 666 or 1777 for IPC_CREAT | 0777), and attaches the segment.
 * Prints "attached" or the first refusal with its errno name.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: attach_as_module OCTAL-FLAGS\n");
        return 2;
    }
    const int flags = (int)strtol(argv[1], NULL, 8);
    const int segment = shmget(2222, 16384, flags);
    if (segment == -1 || shmat(segment, NULL, 0) == (void *)-1) {
        printf("segment: %s\n", errno == EACCES ? "EACCES" : strerror(errno));
        return 1;
    }
    const int keys[] = {3350, 4450};
    for (int i = 0; i < 2; i++) {
        if (semget(keys[i], 1, flags) == -1) {
            printf("semaphore set %d: %s\n", keys[i], errno == EACCES ? "EACCES" : strerror(errno));
            return 1;
        }
    }
    printf("attached\n");
    return 0;
}
