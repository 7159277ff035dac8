/*
 * SPDX-License-Identifier: BSD-3-Clause
 * The kernel-driver token nodes, as the kernel-driver family probes them and
 * as the virtual token offers them: "/dev/QVUsbKey0" .. "/dev/QVUsbKey31",
 * each carrying one command APDU per write and its whole answer per read, at
 * most QVK_NODE_TRANSFER_SIZE bytes either way. Valid C and C++.
 */
#ifndef QVK_TOKEN_NODE_H
#define QVK_TOKEN_NODE_H

#define QVK_NODE_DIR "/dev/"
#define QVK_NODE_NAME_PREFIX "QVUsbKey"
#define QVK_NODE_PATH_PREFIX QVK_NODE_DIR QVK_NODE_NAME_PREFIX

enum {
    QVK_NODE_COUNT = 32,           /* indices 0 .. 31 */
    QVK_NODE_TRANSFER_SIZE = 2038  /* largest command, and largest answer with SW1 SW2 */
};

#endif /* QVK_TOKEN_NODE_H */
