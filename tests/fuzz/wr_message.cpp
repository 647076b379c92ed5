// Routing message readers over any datagram: the header, entry lists of every stride the client
// reads, and every record reader on every entry.
#include <initializer_list>
#include "netaudio/routing/wr_message.h"

namespace {

void read_entries(const wr_msg_response *m, uint16_t stride)
{
    wr_msg_entries l;
    if (wr_msg_read_list(m, stride, &l) != 0)
        return;
    for (uint16_t i = 0; i <= l.count; ++i) {
        uint16_t v;
        for (uint16_t field = 0; field < stride + 2u; field += 2)
            wr_msg_entry_u16(m, &l, i, field, &v);
        wr_msg_range range;
        if (wr_msg_read_range(m, &l, i, &range) == 0) {
            uint16_t first, last;
            wr_msg_range_clamp(range, 64, &first, &last);
        }
        static wr_msg_tx_entry tx;
        wr_msg_read_tx_entry(m, &l, i, &tx);
        static wr_msg_rx_entry rx;
        wr_msg_read_rx_entry(m, &l, i, &rx);
        static wr_msg_label label;
        wr_msg_read_label(m, &l, i, &label);
        static wr_msg_subscribe_record subscribe;
        wr_msg_read_subscribe_record(m, &l, i, &subscribe);
        static wr_msg_rename_record rename;
        wr_msg_read_rename_record(m, &l, i, &rename);
        wr_msg_value_record value;
        wr_msg_read_value_record(m, &l, i, &value);
        wr_msg_property p;
        if (wr_msg_read_property(m, &l, i, &p) == 0) {
            uint32_t u32;
            wr_msg_property_u32(m, &l, &p, &u32);
            char text[WR_PROPERTY_TEXT_SIZE];
            wr_msg_property_text(m, &l, &p, text);
            wr_msg_find_property(m, &l, p.id, &p);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    wr_msg_response m;
    if (wr_msg_response_init(&m, data, size) != 0)
        return 0;
    wr_msg_result_to_error(m.header.status);
    for (uint16_t stride : {2, 4, 6, 8, 10, 12, 16, 20, 24})
        read_entries(&m, stride);
    wr_msg_capabilities caps;
    if (wr_msg_read_capabilities(&m, &caps) == 0) {
        bool again = false;
        wr_msg_capability_flags(&caps, &again);
        wr_msg_capabilities_array_size(&caps);
    }
    static char name[WR_NAME_SIZE];
    wr_msg_read_names(&m, name);
    static wr_msg_names_ext names;
    wr_msg_read_names_ext(&m, &names);
    uint16_t first, second;
    wr_msg_read_performance(&m, &first, &second);
    for (bool wide : {false, true}) {
        wr_msg_device_array a;
        if (wr_msg_read_device_array(&m, wide, &a) == 0) {
            uint32_t v;
            for (uint32_t i = 0; i <= a.count && i < 4096; ++i)
                wr_msg_device_array_value(&m, &a, i, &v);
        }
    }
    for (uint32_t at = 10; at + 2 <= m.size && at < 512; at += 2) {
        uint16_t offset = uint16_t(data[at] << 8 | data[at + 1]);
        wr_msg_read_name(&m, offset, 10, name);
        wr_msg_format f;
        wr_msg_read_format(&m, offset, 12, &f);
    }
    return 0;
}
