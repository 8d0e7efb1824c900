/* Shared by the stand-in driver libraries of the GPU memory tests. The test
 * chooses the devices through the environment:
 *   FAKEGPU_DEVICES  "name|total|used|flags;..." (bytes); flags:
 *                    s  no memory figures of its own (shares the host's)
 *                    u  a name that fills the caller's buffer, unterminated
 *                    c  a CPU, not a GPU (Level Zero)
 *                    t  two device-local memory modules, half each (Level Zero)
 *   FAKEGPU_FAIL     "function=status,...": that function fails with status
 *   FAKEGPU_VERSION  the driver version number
 *   FAKEGPU_LOG      a file every call appends its function name to
 */
#ifndef FAKEGPU_FAKE_H
#define FAKEGPU_FAKE_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define FAKE_MAX 8

typedef struct {
    char name[128];
    unsigned long long total, used;
    char flags[8];
} fake_device;

static fake_device fake_devs[FAKE_MAX];
static int fake_count;

static void fake_load(void) {
    const char *spec = getenv("FAKEGPU_DEVICES");
    char copy[2048], *save = NULL;
    fake_count = 0;
    if (!spec)
        return;
    snprintf(copy, sizeof copy, "%s", spec);
    for (char *item = strtok_r(copy, ";", &save); item && fake_count < FAKE_MAX;
         item = strtok_r(NULL, ";", &save)) {
        fake_device *d = &fake_devs[fake_count++];
        char *fields[4] = {item, "", "", ""};
        memset(d, 0, sizeof *d);
        for (int i = 1; i < 4; i++) {
            char *bar = strchr(fields[i - 1], '|');
            if (!bar)
                break;
            *bar = '\0';
            fields[i] = bar + 1;
        }
        snprintf(d->name, sizeof d->name, "%s", fields[0]);
        d->total = strtoull(fields[1], NULL, 10);
        d->used = strtoull(fields[2], NULL, 10);
        snprintf(d->flags, sizeof d->flags, "%s", fields[3]);
    }
}

static inline int fake_has(const fake_device *d, char flag) { return strchr(d->flags, flag) != NULL; }

static void fake_log(const char *function) {
    const char *path = getenv("FAKEGPU_LOG");
    FILE *f = path ? fopen(path, "a") : NULL;
    if (f) {
        fprintf(f, "%s\n", function);
        fclose(f);
    }
}

/* The status FAKEGPU_FAIL gives `function`, else 0. */
static int fake_status(const char *function) {
    const char *spec = getenv("FAKEGPU_FAIL");
    size_t len = strlen(function);
    while (spec && *spec) {
        if (strncmp(spec, function, len) == 0 && spec[len] == '=')
            return (int)strtol(spec + len + 1, NULL, 0);
        spec = strchr(spec, ',');
        spec = spec ? spec + 1 : NULL;
    }
    return 0;
}

#define FAKE_ENTER()                          \
    do {                                      \
        fake_log(__func__);                   \
        int status_ = fake_status(__func__);  \
        if (status_ != 0)                     \
            return status_;                   \
    } while (0)

/* The device a handle points at, or NULL for a handle this library never gave. */
static inline fake_device *fake_handle(const void *handle) {
    const fake_device *d = handle;
    if (d < fake_devs || d >= fake_devs + fake_count)
        return NULL;
    return (fake_device *)d;
}

static inline void fake_name(char *buffer, size_t length, const fake_device *d) {
    if (length == 0)
        return;
    if (fake_has(d, 'u')) {
        size_t n = strlen(d->name);
        for (size_t i = 0; i < length; i++)
            buffer[i] = n ? d->name[i % n] : 'x';
        return;
    }
    snprintf(buffer, length, "%s", d->name);
}

static inline int fake_version(void) {
    const char *v = getenv("FAKEGPU_VERSION");
    return v ? atoi(v) : 0;
}

#endif
