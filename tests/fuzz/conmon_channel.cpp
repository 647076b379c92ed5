// Channel messages as they arrive on a channel socket or inside a local message: the head, the
// view (exact and embedded) and the body's common fields.
#include <initializer_list>
#include <vector>

#include "netaudio/conmon/conmon_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    conmon_message_head head;
    if (conmon_message_read_head(data, size, &head) == 0) {
        conmon_message_head_body_length(&head);
        conmon_source_id source;
        conmon_message_head_get_source(&head, &source);
    }
    for (bool exact : {true, false}) {
        conmon_channel_message m;
        if (conmon_channel_message_view(data, size, exact, &m) != 0)
            continue;
        std::vector<uint8_t> body(m.body, m.body + m.body_length);
        uint16_t u16;
        uint32_t u32;
        bool flag;
        conmon_msg_get_version(body.data(), body.size(), &u16);
        conmon_msg_get_type(body.data(), body.size(), &u16);
        conmon_msg_get_parameter(body.data(), body.size(), &u32);
        conmon_msg_get_flag0(body.data(), body.size(), &flag);
        uint16_t count = 0;
        conmon_msg_interface_status_get_count(body.data(), body.size(), &count);
        for (unsigned i = 0; i <= count && i < 64; ++i) {
            conmon_interface_info info;
            conmon_msg_interface_status_get_interface(body.data(), body.size(), i, &info);
        }
    }
    return 0;
}
