// Firmware files: the file check over any bytes, then the compatibility flags and the device-list
// record from whatever image it accepted, for both filter modes.
#include <initializer_list>
#include <cstring>

#include "wrapper/service/wfa_fw.h"
#include "wrapper/service/wfa_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static wfa_fw_image image;
    memset(&image, 0, sizeof image);
    if (wfa_fw_check(data, size, &image) != 0)
        return 0;
    static wfa_device_info info;
    for (uint8_t mode : {0, 1}) {
        wfa_fw_filter filter;
        memset(&filter, 0, sizeof filter);
        filter.mode = mode;
        if (image.model_count > 0)
            memcpy(filter.model_id, image.models[0].model_id, sizeof filter.model_id);
        memset(&info, 0, sizeof info);
        wfa_fw_compat_flags(&image, &filter, &info);
        uint8_t record[146];
        wfa_fw_list_info(&image, &filter, record);
    }
    return 0;
}
