#include "wrapper/service/wfa_fw.h"

#include <cstring>

#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_records.h"

// The file reader is not built yet. Nothing writes the firmware settings, so no file is ever
// configured: the record stays zero and the status is "no file".

uint32_t wfa_fw_settings_init(void)
{
    return 0;
}

void wfa_fw_settings_close(void)
{
}

uint16_t wfa_get_device_list_info(uint8_t *record)
{
    if (record)
        std::memset(record, 0, WFA_DEVICE_LIST_INFO_SIZE);
    return ERR_VLT_NOT_FOUND;
}
