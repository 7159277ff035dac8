// SPDX-License-Identifier: BSD-3-Clause
/* The inih side of the INI benchmarks. inih's header is named ini.h like the
 * engine's, so this side is compiled on its own. */
#include <ini.h>
#include <string.h>

#include "inih_baseline.h"

static int countKey(void *user, const char *section, const char *name, const char *value) {
    (void)section;
    (void)name;
    (void)value;
    ++*(long *)user;
    return 1;
}

long inih_countKeys(const char *path) {
    long keys = 0;
    return ini_parse(path, countKey, &keys) == 0 ? keys : -1;
}

struct copy {
    long values;
    char buffer[256];
};

static int copyValue(void *user, const char *section, const char *name, const char *value) {
    struct copy *copy = user;
    (void)section;
    (void)name;
    strncpy(copy->buffer, value, sizeof copy->buffer - 1);
    copy->buffer[sizeof copy->buffer - 1] = '\0';
    copy->values += copy->buffer[0] != '\0';
    return 1;
}

long inih_copyValues(const char *path) {
    struct copy copy = {0, {0}};
    return ini_parse(path, copyValue, &copy) == 0 ? copy.values : -1;
}
