// Local-link messages of the control-and-monitoring server: validation, the head and every
// response and event reader, for a link of the current and of older protocol versions; a channel
// message carried by a channel event is read down to its body.
#include <initializer_list>
#include <vector>

#include "netaudio/conmon/conmon_channel.h"
#include "netaudio/conmon/conmon_local.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    conmon_local_head head;
    if (conmon_local_read_head(data, size, &head) == 0) {
        conmon_local_opcode_name(head.opcode);
        conmon_local_kind_name(head.kind);
        conmon_local_kind_error(head.kind);
    }
    for (uint16_t version : {uint16_t(CONMON_LOCAL_DEFAULT_VERSION), uint16_t(0x1400), uint16_t(0x1300),
                             uint16_t(0x1100), uint16_t(0x1000)}) {
        conmon_local_validate(data, size, version);
        static conmon_connection_data connection;
        conmon_local_read_connect_response(data, size, version, &connection);
        static conmon_networks networks;
        conmon_local_read_networks_changed(data, size, version, &networks);
        uint16_t count = 0;
        bool subscriptions = false;
        if (conmon_local_read_subscription_list(data, size, version, &count, &subscriptions) == 0) {
            for (unsigned i = 0; i <= count && i < 128; ++i) {
                static conmon_subscription_record record;
                conmon_local_read_subscription_record(data, size, version, i, &record);
            }
        }
    }
    static char name[CONMON_NAME_SIZE];
    conmon_local_read_device_name(data, size, name);
    static char domain[CONMON_DNS_NAME_SIZE];
    conmon_local_read_dns_domain_name(data, size, domain);
    static conmon_local_channel_event event;
    if (conmon_local_read_channel_event(data, size, &event) == 0 && event.message) {
        // The carried message, copied to a buffer of exactly its size for the sanitizers.
        std::vector<uint8_t> message(event.message, event.message + event.message_length);
        conmon_channel_message m;
        if (conmon_channel_message_view(message.data(), message.size(), true, &m) == 0) {
            uint16_t type = 0;
            conmon_msg_get_type(m.body, m.body_length, &type);
            conmon_msg_type_name(type);
        }
    }
    return 0;
}
