/* Stand-in HIP runtime (libamdhip64.so). */
#include <stddef.h>
#include "fake.h"

enum { SUCCESS = 0, INVALID_VALUE = 1, INVALID_DEVICE = 101 };

static int loaded;

static void load(void) {
    if (!loaded)
        fake_load();
    loaded = 1;
}

int hipGetDeviceCount(int *count) {
    FAKE_ENTER();
    load();
    if (!count)
        return INVALID_VALUE;
    *count = fake_count;
    return SUCCESS;
}

int hipRuntimeGetVersion(int *version) {
    FAKE_ENTER();
    *version = fake_version();
    return SUCCESS;
}

int hipDeviceGet(int *device, int ordinal) {
    FAKE_ENTER();
    load();
    if (ordinal < 0 || ordinal >= fake_count)
        return INVALID_DEVICE;
    *device = ordinal;
    return SUCCESS;
}

int hipDeviceTotalMem(size_t *bytes, int device) {
    FAKE_ENTER();
    load();
    if (device < 0 || device >= fake_count)
        return INVALID_DEVICE;
    *bytes = fake_devs[device].total;
    return SUCCESS;
}

int hipDeviceGetName(char *name, int length, int device) {
    FAKE_ENTER();
    load();
    if (device < 0 || device >= fake_count || length < 0)
        return INVALID_DEVICE;
    fake_name(name, (size_t)length, &fake_devs[device]);
    return SUCCESS;
}

int hipMemGetInfo(size_t *free, size_t *total) {
    (void)free, (void)total;
    FAKE_ENTER();
    return SUCCESS;
}
