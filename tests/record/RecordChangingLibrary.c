/* A storage library that writes into the command record it is handed, as a
 * vendor library may: SL_INIT_LIB lists one controller and sets the record's
 * data size to the bytes it filled. Anything else is an unknown command. */
#include <stdint.h>
#include <string.h>

__attribute__((visibility("default"))) uint32_t ProcessLibCommandIT(void* pCmdParam)
{
    uint8_t* rec = (uint8_t*)pCmdParam;
    if (rec == NULL || rec[0] != 0 || rec[1] != 0) {
        return 0x8001;
    }
    uint8_t* list = NULL;
    memcpy(&list, rec + 32, sizeof(list));
    const uint32_t size = (uint32_t)rec[28] | (uint32_t)rec[29] << 8 | (uint32_t)rec[30] << 16 |
                          (uint32_t)rec[31] << 24;
    if (list == NULL || size < 8) {
        return 0x8001;
    }
    list[0] = 1;    /* one controller */
    list[7] = 0x05; /* 0x05000000 */
    rec[28] = 8;
    rec[29] = rec[30] = rec[31] = 0;
    return 0;
}
