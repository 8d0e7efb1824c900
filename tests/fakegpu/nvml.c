/* Stand-in management library (libnvidia-ml.so.1). */
#include "fake.h"

typedef struct nvmlDevice_st *nvmlDevice_t;
typedef struct {
    unsigned long long total, free, used;
} nvmlMemory_t;

enum { OK = 0, UNINITIALIZED = 1, INVALID_ARGUMENT = 2, NOT_SUPPORTED = 3, NOT_FOUND = 6 };

static int initialised;

int nvmlInit_v2(void) {
    FAKE_ENTER();
    fake_load();
    initialised++;
    return OK;
}

int nvmlShutdown(void) {
    FAKE_ENTER();
    if (!initialised)
        return UNINITIALIZED;
    initialised--;
    return OK;
}

int nvmlDeviceGetCount_v2(unsigned int *count) {
    FAKE_ENTER();
    if (!initialised)
        return UNINITIALIZED;
    if (!count)
        return INVALID_ARGUMENT;
    *count = (unsigned int)fake_count;
    return OK;
}

int nvmlDeviceGetHandleByIndex_v2(unsigned int index, nvmlDevice_t *device) {
    FAKE_ENTER();
    if (!initialised)
        return UNINITIALIZED;
    if (!device || index >= (unsigned int)fake_count)
        return INVALID_ARGUMENT;
    *device = (nvmlDevice_t)&fake_devs[index];
    return OK;
}

/* UUIDs are "GPU-fake-<index>". */
int nvmlDeviceGetHandleByUUID(const char *uuid, nvmlDevice_t *device) {
    FAKE_ENTER();
    if (!initialised)
        return UNINITIALIZED;
    if (!uuid || !device)
        return INVALID_ARGUMENT;
    for (int i = 0; i < fake_count; i++) {
        char mine[32];
        snprintf(mine, sizeof mine, "GPU-fake-%d", i);
        if (strcmp(uuid, mine) == 0) {
            *device = (nvmlDevice_t)&fake_devs[i];
            return OK;
        }
    }
    return NOT_FOUND;
}

/* Device i sits on bus i + 1; any domain width is accepted. */
int nvmlDeviceGetHandleByPciBusId_v2(const char *bus_id, nvmlDevice_t *device) {
    FAKE_ENTER();
    unsigned int domain, bus, slot, function;
    if (!initialised)
        return UNINITIALIZED;
    if (!bus_id || !device || sscanf(bus_id, "%x:%x:%x.%x", &domain, &bus, &slot, &function) != 4)
        return INVALID_ARGUMENT;
    if (bus < 1 || bus > (unsigned int)fake_count)
        return NOT_FOUND;
    *device = (nvmlDevice_t)&fake_devs[bus - 1];
    return OK;
}

int nvmlDeviceGetMemoryInfo(nvmlDevice_t device, nvmlMemory_t *memory) {
    FAKE_ENTER();
    fake_device *d = fake_handle(device);
    if (!initialised)
        return UNINITIALIZED;
    if (!d || !memory)
        return INVALID_ARGUMENT;
    if (fake_has(d, 's'))
        return NOT_SUPPORTED;
    memory->total = d->total;
    memory->used = d->used;
    memory->free = d->total - d->used;
    return OK;
}

int nvmlDeviceGetName(nvmlDevice_t device, char *name, unsigned int length) {
    FAKE_ENTER();
    fake_device *d = fake_handle(device);
    if (!initialised)
        return UNINITIALIZED;
    if (!d || !name)
        return INVALID_ARGUMENT;
    fake_name(name, length, d);
    return OK;
}
