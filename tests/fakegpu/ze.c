/* Stand-in Level Zero loader with Sysman (libze_loader.so.1): one driver,
 * the devices of FAKEGPU_DEVICES. Every structure's type tag is checked, as
 * the real drivers do, so a caller's layout or tag mistake shows as an error. */
#include "fake.h"

typedef uint8_t ze_bool_t;
typedef struct {
    uint32_t stype;
    void *pNext;
    uint32_t type;
    uint32_t vendorId;
    uint32_t deviceId;
    uint32_t flags;
    uint32_t subdeviceId;
    uint32_t coreClockRate;
    uint64_t maxMemAllocSize;
    uint32_t maxHardwareContexts;
    uint32_t maxCommandQueuePriority;
    uint32_t numThreadsPerEU;
    uint32_t physicalEUSimdWidth;
    uint32_t numEUsPerSubslice;
    uint32_t numSubslicesPerSlice;
    uint32_t numSlices;
    uint64_t timerResolution;
    uint32_t timestampValidBits;
    uint32_t kernelTimestampValidBits;
    uint8_t uuid[16];
    char name[256];
} ze_device_properties_t;

typedef struct {
    uint32_t stype;
    void *pNext;
    uint32_t flags;
    uint32_t maxClockRate;
    uint32_t maxBusWidth;
    uint64_t totalSize;
    char name[256];
} ze_device_memory_properties_t;

typedef struct {
    uint32_t stype;
    void *pNext;
    ze_device_properties_t core;
    uint32_t numSubdevices;
    char serialNumber[64];
    char boardNumber[64];
    char brandName[64];
    char modelName[64];
    char vendorName[64];
    char driverVersion[64];
} zes_device_properties_t;

typedef struct {
    uint32_t stype;
    void *pNext;
    uint32_t type;
    ze_bool_t onSubdevice;
    uint32_t subdeviceId;
    uint32_t location;
    uint64_t physicalSize;
    int32_t busWidth;
    int32_t numChannels;
} zes_mem_properties_t;

typedef struct {
    uint32_t stype;
    void *pNext;
    uint32_t health;
    uint64_t free;
    uint64_t size;
} zes_mem_state_t;

enum {
    SUCCESS = 0,
    UNINITIALIZED = 0x78000001,
    INVALID_ARGUMENT = 0x78000004,
    INVALID_NULL_HANDLE = 0x78000005,
};
enum { ZE_DEVICE_PROPERTIES = 0x3, ZE_DEVICE_MEMORY_PROPERTIES = 0x7 };
enum { ZES_DEVICE_PROPERTIES = 0x1, ZES_MEM_PROPERTIES = 0xB, ZES_MEM_STATE = 0x1E };
enum { GPU = 1, CPU = 2 };
enum { LOC_SYSTEM = 0, LOC_DEVICE = 1 };
enum { HEALTH_OK = 1 };

static int core_ready, sysman_ready;
static int driver_token; /* the one driver's handle points here */

/* A memory module: device d, module m (0 or 1). */
typedef struct {
    int device, module;
} module_t;
static module_t modules[FAKE_MAX][2];

static int listing(uint32_t *count, void **items, int total, void *(*item)(int, void *), void *arg) {
    if (!count)
        return INVALID_ARGUMENT;
    if (*count == 0 || !items) {
        *count = (uint32_t)total;
        return SUCCESS;
    }
    uint32_t n = *count < (uint32_t)total ? *count : (uint32_t)total;
    for (uint32_t i = 0; i < n; i++)
        items[i] = item((int)i, arg);
    *count = n;
    return SUCCESS;
}

static void *driver_item(int i, void *arg) { return (void)i, (void)arg, &driver_token; }
static void *device_item(int i, void *arg) { return (void)arg, &fake_devs[i]; }
static void *module_item(int i, void *arg) { return &modules[(fake_device *)arg - fake_devs][i]; }

static void fill_core(ze_device_properties_t *p, const fake_device *d) {
    p->type = fake_has(d, 'c') ? CPU : GPU;
    p->vendorId = 0x8086;
    p->deviceId = 0x56a0;
    p->maxMemAllocSize = d->total / 2;
    fake_name(p->name, sizeof p->name, d);
}

/* --- core --- */

int zeInit(uint32_t flags) {
    FAKE_ENTER();
    (void)flags;
    fake_load();
    core_ready = 1;
    return SUCCESS;
}

int zeDriverGet(uint32_t *count, void **drivers) {
    FAKE_ENTER();
    if (!core_ready)
        return UNINITIALIZED;
    return listing(count, drivers, 1, driver_item, NULL);
}

int zeDriverGetApiVersion(void *driver, uint32_t *version) {
    FAKE_ENTER();
    if (driver != &driver_token)
        return INVALID_NULL_HANDLE;
    *version = (uint32_t)fake_version();
    return SUCCESS;
}

int zeDeviceGet(void *driver, uint32_t *count, void **devices) {
    FAKE_ENTER();
    if (!core_ready)
        return UNINITIALIZED;
    if (driver != &driver_token)
        return INVALID_NULL_HANDLE;
    return listing(count, devices, fake_count, device_item, NULL);
}

int zeDeviceGetProperties(void *device, ze_device_properties_t *p) {
    FAKE_ENTER();
    const fake_device *d = fake_handle(device);
    if (!d)
        return INVALID_NULL_HANDLE;
    if (!p || p->stype != ZE_DEVICE_PROPERTIES)
        return INVALID_ARGUMENT;
    fill_core(p, d);
    return SUCCESS;
}

int zeDeviceGetMemoryProperties(void *device, uint32_t *count, ze_device_memory_properties_t *p) {
    FAKE_ENTER();
    const fake_device *d = fake_handle(device);
    if (!d)
        return INVALID_NULL_HANDLE;
    if (!count)
        return INVALID_ARGUMENT;
    if (*count == 0 || !p) {
        *count = 1;
        return SUCCESS;
    }
    if (p[0].stype != ZE_DEVICE_MEMORY_PROPERTIES)
        return INVALID_ARGUMENT;
    p[0].totalSize = d->total;
    snprintf(p[0].name, sizeof p[0].name, "HBM");
    *count = 1;
    return SUCCESS;
}

/* --- Sysman --- */

int zesInit(uint32_t flags) {
    FAKE_ENTER();
    if (flags != 0)
        return INVALID_ARGUMENT;
    fake_load();
    for (int d = 0; d < fake_count; d++)
        for (int m = 0; m < 2; m++)
            modules[d][m] = (module_t){d, m};
    sysman_ready = 1;
    return SUCCESS;
}

int zesDriverGet(uint32_t *count, void **drivers) {
    FAKE_ENTER();
    if (!sysman_ready)
        return UNINITIALIZED;
    return listing(count, drivers, 1, driver_item, NULL);
}

int zesDeviceGet(void *driver, uint32_t *count, void **devices) {
    FAKE_ENTER();
    if (!sysman_ready)
        return UNINITIALIZED;
    if (driver != &driver_token)
        return INVALID_NULL_HANDLE;
    return listing(count, devices, fake_count, device_item, NULL);
}

int zesDeviceGetProperties(void *device, zes_device_properties_t *p) {
    FAKE_ENTER();
    const fake_device *d = fake_handle(device);
    if (!d)
        return INVALID_NULL_HANDLE;
    if (!p || p->stype != ZES_DEVICE_PROPERTIES)
        return INVALID_ARGUMENT;
    p->core.stype = ZE_DEVICE_PROPERTIES;
    fill_core(&p->core, d);
    p->numSubdevices = fake_has(d, 't') ? 2 : 0;
    snprintf(p->modelName, sizeof p->modelName, "%.50s", d->name);
    snprintf(p->driverVersion, sizeof p->driverVersion, "%d", fake_version());
    return SUCCESS;
}

int zesDeviceEnumMemoryModules(void *device, uint32_t *count, void **memories) {
    FAKE_ENTER();
    fake_device *d = fake_handle(device);
    if (!d)
        return INVALID_NULL_HANDLE;
    return listing(count, memories, fake_has(d, 't') ? 2 : 1, module_item, d);
}

static module_t *module_handle(void *handle) {
    module_t *m = handle;
    if (m < &modules[0][0] || m >= &modules[0][0] + fake_count * 2)
        return NULL;
    return m;
}

int zesMemoryGetProperties(void *memory, zes_mem_properties_t *p) {
    FAKE_ENTER();
    module_t *m = module_handle(memory);
    if (!m)
        return INVALID_NULL_HANDLE;
    if (!p || p->stype != ZES_MEM_PROPERTIES)
        return INVALID_ARGUMENT;
    const fake_device *d = &fake_devs[m->device];
    int tiles = fake_has(d, 't') ? 2 : 1;
    p->type = 0;
    p->onSubdevice = tiles > 1;
    p->subdeviceId = (uint32_t)m->module;
    p->location = fake_has(d, 's') ? LOC_SYSTEM : LOC_DEVICE;
    p->physicalSize = d->total / (uint64_t)tiles;
    p->busWidth = -1;
    p->numChannels = -1;
    return SUCCESS;
}

int zesMemoryGetState(void *memory, zes_mem_state_t *s) {
    FAKE_ENTER();
    module_t *m = module_handle(memory);
    if (!m)
        return INVALID_NULL_HANDLE;
    if (!s || s->stype != ZES_MEM_STATE)
        return INVALID_ARGUMENT;
    const fake_device *d = &fake_devs[m->device];
    uint64_t tiles = fake_has(d, 't') ? 2 : 1;
    s->health = HEALTH_OK;
    s->size = d->total / tiles;
    s->free = (d->total - d->used) / tiles;
    return SUCCESS;
}
