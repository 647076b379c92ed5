// Typed-record messages: the checked view, the id options, every record parser and the device
// record at every offset the first record names.
#include <initializer_list>
#include "netaudio/messaging/tlv_message.h"
#include "netaudio/messaging/wgcp_buffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    tlv_ids ids;
    tlv_msg_parse_ids(data, size, &ids);
    tlv_view view;
    if (tlv_view_init(&view, data, size) != 0)
        return 0;
    tlv_0x2003 a;
    tlv_parse_0x2003(&view, &a);
    tlv_0x2011 b;
    tlv_parse_0x2011(&view, &b);
    tlv_parse_0x2013(&view, &b);
    tlv_0x2004 c;
    tlv_parse_0x2004(&view, &c);
    tlv_domain_result d;
    if (tlv_parse_domain_result(&view, &d) == 0) {
        static tlv_device_record record;
        tlv_parse_device_record(&view, d.device_offset, &record);
    }
    if (view.head) {
        // Every u16 of the first record read as the offset of a device record.
        size_t available = size - size_t(view.head - data);
        for (size_t at = 0; at + 2 <= available && at < view.record_length && at < 256; at += 2) {
            static tlv_device_record record;
            tlv_parse_device_record(&view, wgcp_load_be16(view.head + at), &record);
        }
    }
    return 0;
}
