// "QZSetting.json": the pacing of Apply read from any bytes.
#include <initializer_list>
#include "QzJsonManager.h"
#include "qz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QzJsonManager manager;
    int sendInterval = 500;
    manager.loadSetting(qz_fuzz_write_file("json", data, size), sendInterval);
    return 0;
}
