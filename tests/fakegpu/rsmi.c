/* Stand-in ROCm SMI library (librocm_smi64.so). */
#include "fake.h"

enum { SUCCESS = 0, INVALID_ARGS = 1, NOT_SUPPORTED = 2, INIT_ERROR = 8 };
enum { MEM_TYPE_VRAM = 0, MEM_TYPE_VIS_VRAM = 1, MEM_TYPE_GTT = 2 };

static int initialised;

int rsmi_init(uint64_t flags) {
    FAKE_ENTER();
    (void)flags;
    fake_load();
    initialised++;
    return SUCCESS;
}

int rsmi_shut_down(void) {
    FAKE_ENTER();
    if (!initialised)
        return INIT_ERROR;
    initialised--;
    return SUCCESS;
}

int rsmi_num_monitor_devices(uint32_t *count) {
    FAKE_ENTER();
    if (!initialised)
        return INIT_ERROR;
    *count = (uint32_t)fake_count;
    return SUCCESS;
}

static int memory(uint32_t index, int type, uint64_t *out, int used) {
    if (!initialised)
        return INIT_ERROR;
    if (index >= (uint32_t)fake_count || !out)
        return INVALID_ARGS;
    if (type != MEM_TYPE_VRAM) /* other pools answer with figures of their own */
        return NOT_SUPPORTED;
    *out = used ? fake_devs[index].used : fake_devs[index].total;
    return SUCCESS;
}

int rsmi_dev_memory_total_get(uint32_t index, int type, uint64_t *total) {
    FAKE_ENTER();
    return memory(index, type, total, 0);
}

int rsmi_dev_memory_usage_get(uint32_t index, int type, uint64_t *used) {
    FAKE_ENTER();
    return memory(index, type, used, 1);
}

int rsmi_dev_name_get(uint32_t index, char *name, size_t length) {
    FAKE_ENTER();
    if (!initialised)
        return INIT_ERROR;
    if (index >= (uint32_t)fake_count || !name)
        return INVALID_ARGS;
    fake_name(name, length, &fake_devs[index]);
    return SUCCESS;
}
