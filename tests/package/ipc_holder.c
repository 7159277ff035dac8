/* SPDX-License-Identifier: BSD-3-Clause */
/* What the package test needs of qvkserver's segment (key 2222) beside the
 * daemon:
 *   ipc_holder attach   attaches it, as a requester does, and stays until
 *                       killed;
 *   ipc_holder foreign  makes a segment with the key that is too small for
 *                       the daemon, as another program could, and ends. */
#include <stdio.h>
#include <string.h>
#include <sys/shm.h>
#include <unistd.h>

int main(int argc, char **argv) {
    const char *what = argc == 2 ? argv[1] : "";
    if (strcmp(what, "attach") == 0) {
        const int id = shmget(2222, 0, 0);
        if (id == -1 || shmat(id, NULL, 0) == (void *)-1) {
            perror("ipc_holder: segment 2222");
            return 1;
        }
        for (;;) pause();
    }
    if (strcmp(what, "foreign") == 0) {
        if (shmget(2222, 100, IPC_CREAT | IPC_EXCL | 0600) == -1) {
            perror("ipc_holder: segment 2222");
            return 1;
        }
        return 0;
    }
    fprintf(stderr, "usage: ipc_holder attach|foreign\n");
    return 2;
}
