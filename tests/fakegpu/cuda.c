/* Stand-in CUDA driver (libcuda.so.1). Honours CUDA_VISIBLE_DEVICES' index
 * entries, as the real driver does; the context and allocation calls exist
 * only to be logged: memory figures must never need them. */
#include <stddef.h>
#include "fake.h"

enum { SUCCESS = 0, INVALID_VALUE = 1, NOT_INITIALIZED = 3, INVALID_DEVICE = 101 };

static int initialised, visible[FAKE_MAX], visible_count;

int cuInit(unsigned int flags) {
    FAKE_ENTER();
    if (flags != 0)
        return INVALID_VALUE;
    fake_load();
    /* Ordinals: fastest first (here: the most memory first, ties in bus
     * order) unless CUDA_DEVICE_ORDER asks for bus order. */
    const char *order = getenv("CUDA_DEVICE_ORDER");
    int ordinal[FAKE_MAX];
    for (int i = 0; i < fake_count; i++) {
        int at = i;
        if (!order || strcmp(order, "PCI_BUS_ID") != 0)
            while (at > 0 && fake_devs[ordinal[at - 1]].total < fake_devs[i].total) {
                ordinal[at] = ordinal[at - 1];
                at--;
            }
        ordinal[at] = i;
    }
    const char *list = getenv("CUDA_VISIBLE_DEVICES");
    visible_count = 0;
    for (int i = 0; i < fake_count && !list; i++)
        visible[visible_count++] = ordinal[i];
    while (list && *list >= '0' && *list <= '9' && visible_count < FAKE_MAX) {
        char *end;
        long index = strtol(list, &end, 10);
        if (index >= fake_count)
            break;
        visible[visible_count++] = ordinal[index];
        list = *end == ',' ? end + 1 : NULL;
    }
    initialised = 1;
    return SUCCESS;
}

int cuDriverGetVersion(int *version) {
    FAKE_ENTER();
    if (!version)
        return INVALID_VALUE;
    *version = fake_version();
    return SUCCESS;
}

int cuDeviceGetCount(int *count) {
    FAKE_ENTER();
    if (!initialised)
        return NOT_INITIALIZED;
    *count = visible_count;
    return SUCCESS;
}

int cuDeviceGet(int *device, int ordinal) {
    FAKE_ENTER();
    if (!initialised)
        return NOT_INITIALIZED;
    if (ordinal < 0 || ordinal >= visible_count)
        return INVALID_DEVICE;
    *device = ordinal;
    return SUCCESS;
}

int cuDeviceTotalMem_v2(size_t *bytes, int device) {
    FAKE_ENTER();
    if (!initialised)
        return NOT_INITIALIZED;
    if (device < 0 || device >= visible_count)
        return INVALID_DEVICE;
    *bytes = fake_devs[visible[device]].total;
    return SUCCESS;
}

int cuDeviceGetName(char *name, int length, int device) {
    FAKE_ENTER();
    if (!initialised)
        return NOT_INITIALIZED;
    if (device < 0 || device >= visible_count || length < 0)
        return INVALID_DEVICE;
    fake_name(name, (size_t)length, &fake_devs[visible[device]]);
    return SUCCESS;
}

/* Device i of FAKEGPU_DEVICES sits on bus i + 1. */
int cuDeviceGetPCIBusId(char *bus_id, int length, int device) {
    FAKE_ENTER();
    if (!initialised)
        return NOT_INITIALIZED;
    if (device < 0 || device >= visible_count || !bus_id || length < 13)
        return INVALID_VALUE;
    snprintf(bus_id, (size_t)length, "0000:%02x:00.0", visible[device] + 1);
    return SUCCESS;
}

int cuCtxCreate_v2(void **context, unsigned int flags, int device) {
    (void)context, (void)flags, (void)device;
    FAKE_ENTER();
    return SUCCESS;
}

int cuDevicePrimaryCtxRetain(void **context, int device) {
    (void)context, (void)device;
    FAKE_ENTER();
    return SUCCESS;
}

int cuMemGetInfo_v2(size_t *free, size_t *total) {
    (void)free, (void)total;
    FAKE_ENTER();
    return SUCCESS;
}

int cuMemAlloc_v2(void **pointer, size_t bytes) {
    (void)pointer, (void)bytes;
    FAKE_ENTER();
    return SUCCESS;
}
