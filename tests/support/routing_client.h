// What the routing client's tests do again and again: open a device that listens on a loopback
// port, and make the items of a batch subscription.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "netaudio/routing/wr_device.h"

namespace qz_test {

// Opens a routing device reached at 127.0.0.1:`port` (by its address; it starts RESOLVED).
qnb_error open_loopback_device(wr_devices *devices, uint16_t port, wr_device **out);

// Batch items for receive channels 1..`count`: channel i subscribed to transmit channel
// "01".."08" (i % 8 + 1) of `tx_device`, or cleared when `tx_device` is null.
std::vector<wr_batch_item> batch_items(size_t count, const char *tx_device);

} // namespace qz_test
