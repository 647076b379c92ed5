#include "tests/support/routing_client.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace qz_test {

qnb_error open_loopback_device(wr_devices *devices, uint16_t port, wr_device **out)
{
    wr_device_config cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.flags = WR_CONFIG_ADDRESSES;
    cfg.count = 1;
    cfg.addresses[0].address = htonl(INADDR_LOOPBACK);
    cfg.addresses[0].port = port;
    return wr_device_open_with_config(devices, &cfg, out);
}

std::vector<wr_batch_item> batch_items(size_t count, const char *tx_device)
{
    std::vector<wr_batch_item> items(count);
    memset(items.data(), 0, count * sizeof(wr_batch_item));
    for (size_t i = 0; i < count; ++i) {
        items[i].rx_channel = uint16_t(i + 1);
        if (!tx_device)
            continue;
        snprintf(items[i].tx_channel, sizeof items[i].tx_channel, "%02d", int(i % 8 + 1));
        snprintf(items[i].tx_device, sizeof items[i].tx_device, "%s", tx_device);
    }
    return items;
}

} // namespace qz_test
