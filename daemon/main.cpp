// qvkserver: detaches, binds the device-family plug-ins, creates its IPC
// objects and serves requests until it is killed. It prints nothing unless
// it cannot start.
#include <cstdio>

#include "daemonize.h"
#include "dev_families.h"
#include "srv_mutex.h"
#include "srv_request_loop.h"
#include "srv_semaphores.h"

int main() {
    if (daemonize() == -1) {
        std::fputs("can't fork self\n", stdout);
        return 0;
    }
    if (load_dev_families() != 1) return 0;
    if (semCreate() == 0) return 1;
    if (semReset(semServerId) == 0 || semReset(semClientId) == 0) return 1;
    if (srv_mutex_init() != 0) {
        std::fputs("CreateMutex error!\n", stdout);
        return 0;
    }

    srv_request_loop();

    // The loop gave up on the segment: remove what this run set up. The
    // segment, if it was got, stays.
    srv_mutex_destroy();
    semRemove(semServerId);
    semRemove(semClientId);
    return 0;
}
