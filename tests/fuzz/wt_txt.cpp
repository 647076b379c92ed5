// TXT records: the iterator, the key lookup, the three record parsers and the value parsers over
// every value of the record.
#include <initializer_list>
#include <cstring>
#include <string>

#include "netaudio/discovery/wt_txt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0xFFFF)
        return 0;
    uint16_t length = uint16_t(size);
    wt_txt_iterator it;
    wt_txt_iterator_init(&it, data, length);
    wt_txt_entry entry;
    for (int guard = 0; guard < 1000 && wt_txt_next(&it, &entry) > 0; ++guard) {
        size_t n = 0;
        const char *value = wt_txt_value(&entry, &n);
        if (!value)
            continue;
        std::string text(value, n); // terminated, as the parsers expect their values
        wt_version v;
        uint16_t u16;
        uint32_t u32;
        uint8_t bytes[8];
        wt_txt_parse_version(text.c_str(), &v);
        wt_txt_parse_via_version(text.c_str(), &v);
        wt_txt_parse_u16(text.c_str(), &u16);
        wt_txt_parse_u32(text.c_str(), &u32);
        wt_txt_parse_hex_u32(text.c_str(), &u32);
        wt_txt_parse_address(text.c_str(), bytes);
        wt_txt_parse_id_text(text.c_str(), bytes);
        wt_txt_parse_id_hex(text.c_str(), bytes);
        wt_txt_parse_id16(text.c_str(), bytes);
    }
    const uint8_t *value = nullptr;
    uint8_t value_length = 0;
    wt_txt_find(data, length, "id", &value, &value_length);

    wt_txt_media_device media;
    parse_media_device_txt_record(&media, data, length);
    wt_txt_conmon_device conmon;
    parse_conmon_device_txt_record(&conmon, data, length);
    wt_device_id id;
    wt_version minimum, current;
    parse_via_txt_record(nullptr, "fuzz", length, data, &id, &minimum, &current);
    return 0;
}
