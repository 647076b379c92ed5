#include "netaudio/discovery/wb_device_table.h"

#include <cstdlib>
#include <cstring>

// The stored service data is compared with memcmp, so it must hold no padding.
static_assert(sizeof(wt_version) == 4, "wt_version has padding");
static_assert(sizeof(wt_device_id) == 10, "wt_device_id has padding");
static_assert(sizeof(wb_media_device_data) == 2 + 3 * 4 + WB_ROUTER_INFO_SIZE + 16, "media data has padding");
static_assert(sizeof(wb_conmon_device_data) == 2 + 10 + 8 + 4 + 8 + 8, "conmon data has padding");
static_assert(sizeof(wb_via_device_data) == 2 + 10 + 4 + 4, "via data has padding");
static_assert(sizeof(wb_mode_device_data) == 12, "mode data has padding");

namespace {

enum { k_initial_devices = 8, k_initial_channels = 2, k_initial_labels = 1 };

const uint32_t k_device_services = WB_BROWSE_MEDIA_DEVICE | WB_BROWSE_CONMON_DEVICE | WB_BROWSE_SAFE_MODE |
                                   WB_BROWSE_UPGRADE_MODE | WB_BROWSE_VIA_DEVICE;

// Inserts `item` at `index` of a pointer array that grows by doubling from `initial`.
template <typename T>
bool array_insert(T ***array, uint32_t *count, uint32_t *capacity, uint32_t initial, uint32_t index, T *item)
{
    if (*count == *capacity || *array == nullptr) {
        uint32_t wanted = *capacity == 0 || *array == nullptr ? initial : *capacity * 2;
        if (wanted < *count + 1) {
            wanted = *count + 1;
        }
        T **grown = static_cast<T **>(std::realloc(*array, sizeof(T *) * wanted));
        if (grown == nullptr) {
            return false;
        }
        *array = grown;
        *capacity = wanted;
    }
    std::memmove(&(*array)[index + 1], &(*array)[index], sizeof(T *) * (*count - index));
    (*array)[index] = item;
    (*count)++;
    return true;
}

template <typename T>
void array_erase(T **array, uint32_t *count, uint32_t index)
{
    std::memmove(&array[index], &array[index + 1], sizeof(T *) * (*count - index - 1));
    (*count)--;
}

template <typename T>
bool array_find(T **array, uint32_t count, const T *item, uint32_t *index)
{
    for (uint32_t i = 0; i < count; i++) {
        if (array[i] == item) {
            *index = i;
            return true;
        }
    }
    return false;
}

bool name_fits(const char *name)
{
    return name != nullptr && strnlen(name, WB_NAME_SIZE) < WB_NAME_SIZE;
}

void copy_name(char *dst, const char *src)
{
    size_t n = strnlen(src, WB_NAME_SIZE - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

uint32_t *flag_word(wb_service_flags *flags, const wb_device_table *table, uint32_t network)
{
    uint32_t count = table->config != nullptr ? table->config->network_count : 1;
    if (network < count && network < 2) {
        return &flags->network[network];
    }
    return &flags->other;
}

void recompute(wb_service_flags *flags)
{
    flags->combined = flags->network[0] | flags->network[1] | flags->other;
}

void emit(wb_device_table *table, uint32_t kind, const void *record, uint32_t action)
{
    if (table->event_callback != nullptr) {
        wb_browse_event event;
        event.kind = kind;
        event.record = record;
        table->event_callback(table->owner, &event, action);
    }
}

void free_channel(wb_channel *channel)
{
    for (uint32_t i = 0; i < channel->label_count; i++) {
        std::free(channel->labels[i]);
    }
    std::free(channel->labels);
    std::free(channel);
}

void free_device(wb_device *device)
{
    for (uint32_t i = 0; i < device->channel_count; i++) {
        free_channel(device->channels[i]);
    }
    std::free(device->channels);
    std::free(device);
}

void *service_slot(wb_device *device, uint32_t bit, size_t *size)
{
    switch (bit) {
    case WB_BROWSE_MEDIA_DEVICE: *size = sizeof device->media; return &device->media;
    case WB_BROWSE_CONMON_DEVICE: *size = sizeof device->conmon; return &device->conmon;
    case WB_BROWSE_SAFE_MODE: *size = sizeof device->safe; return &device->safe;
    case WB_BROWSE_UPGRADE_MODE: *size = sizeof device->upgrade; return &device->upgrade;
    case WB_BROWSE_VIA_DEVICE: *size = sizeof device->via; return &device->via;
    default: *size = 0; return nullptr;
    }
}

bool formats_equal(const wb_format &a, const wb_format &b)
{
    if (a.sample_rate != b.sample_rate || a.encoding_count != b.encoding_count) {
        return false;
    }
    for (uint32_t i = 0; i < WB_MAX_ENCODINGS; i++) {
        if (a.encodings[i] != b.encodings[i]) {
            return false;
        }
    }
    return true;
}

bool device_is_empty(const wb_device *device)
{
    return device->flags.combined == 0 && device->channel_count == 0;
}

// Takes an empty device out of the table, reports its removal and frees it.
void drop_device(wb_device_table *table, wb_device *device)
{
    uint32_t index;
    if (array_find(table->devices, table->count, device, &index)) {
        array_erase(table->devices, &table->count, index);
    }
    emit(table, WB_EVENT_DEVICE, device, WB_ACTION_REMOVED);
    free_device(device);
}

void drop_channel(wb_device_table *table, wb_device *device, wb_channel *channel)
{
    uint32_t index;
    if (array_find(device->channels, device->channel_count, channel, &index)) {
        array_erase(device->channels, &device->channel_count, index);
    }
    emit(table, WB_EVENT_CHANNEL, channel, WB_ACTION_REMOVED);
    free_channel(channel);
}

qnb_error update_service(wb_device_table *table, uint32_t network, uint32_t bit, const char *name,
                         const char *host_label, const void *data, bool *changed)
{
    if (changed != nullptr) {
        *changed = false;
    }
    if (table == nullptr || data == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    wb_device *device = nullptr;
    bool inserted = false;
    qnb_error err = wb_device_find_or_add(table, name, &device, &inserted);
    if (err != QNB_ERR_SUCCESS) {
        return err;
    }
    bool change = false;
    uint32_t *word = flag_word(&device->flags, table, network);
    if ((*word & bit) == 0) {
        *word |= bit;
        recompute(&device->flags);
        change = true;
    }
    if (host_label != nullptr && std::strncmp(device->host_label, host_label, WB_NAME_SIZE - 1) != 0) {
        copy_name(device->host_label, host_label);
        change = true;
    }
    size_t size = 0;
    void *slot = service_slot(device, bit, &size);
    if (slot != nullptr && std::memcmp(slot, data, size) != 0) {
        std::memcpy(slot, data, size);
        change = true;
    }
    if (change) {
        emit(table, WB_EVENT_DEVICE, device, inserted ? WB_ACTION_ADDED : WB_ACTION_CHANGED);
    }
    if (changed != nullptr) {
        *changed = change;
    }
    return QNB_ERR_SUCCESS;
}

} // namespace

qnb_error wb_device_table_new(wb_device_table **out, wb_browse *owner, const wb_browse_config *config, uint32_t types)
{
    if (out == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    *out = nullptr;
    wb_device_table *table = static_cast<wb_device_table *>(std::calloc(1, sizeof(wb_device_table)));
    if (table == nullptr) {
        return QNB_ERR_NOMEMORY;
    }
    table->devices = static_cast<wb_device **>(std::calloc(k_initial_devices, sizeof(wb_device *)));
    if (table->devices == nullptr) {
        std::free(table);
        return QNB_ERR_NOMEMORY;
    }
    table->capacity = k_initial_devices;
    table->owner = owner;
    table->config = config;
    table->types = types;
    *out = table;
    return QNB_ERR_SUCCESS;
}

void wb_device_table_delete(wb_device_table *table)
{
    if (table == nullptr) {
        return;
    }
    wb_device_table_clear(table, false);
    std::free(table->devices);
    std::free(table);
}

void wb_device_table_clear(wb_device_table *table, bool events)
{
    if (table == nullptr) {
        return;
    }
    // Detach first, so a callback sees a consistent (empty) table.
    while (table->count > 0) {
        wb_device *device = table->devices[0];
        array_erase(table->devices, &table->count, 0);
        if (events) {
            emit(table, WB_EVENT_DEVICE, device, WB_ACTION_REMOVED);
        }
        free_device(device);
    }
}

wb_device *wb_device_table_find(const wb_device_table *table, const char *name)
{
    if (table == nullptr || name == nullptr) {
        return nullptr;
    }
    for (uint32_t i = 0; i < table->count; i++) {
        int order = std::strcmp(table->devices[i]->name, name);
        if (order == 0) {
            return table->devices[i];
        }
        if (order > 0) {
            break;
        }
    }
    return nullptr;
}

qnb_error wb_device_find_or_add(wb_device_table *table, const char *name, wb_device **out, bool *inserted)
{
    if (inserted != nullptr) {
        *inserted = false;
    }
    if (table == nullptr || out == nullptr || !name_fits(name)) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    uint32_t index = 0;
    while (index < table->count) {
        int order = std::strcmp(table->devices[index]->name, name);
        if (order == 0) {
            *out = table->devices[index];
            return QNB_ERR_SUCCESS;
        }
        if (order > 0) {
            break;
        }
        index++;
    }
    wb_device *device = static_cast<wb_device *>(std::calloc(1, sizeof(wb_device)));
    if (device == nullptr) {
        return QNB_ERR_NOMEMORY;
    }
    device->table = table;
    copy_name(device->name, name);
    if (!array_insert(&table->devices, &table->count, &table->capacity, k_initial_devices, index, device)) {
        std::free(device);
        return QNB_ERR_NOMEMORY;
    }
    *out = device;
    if (inserted != nullptr) {
        *inserted = true;
    }
    return QNB_ERR_SUCCESS;
}

qnb_error wb_device_table_update_media(wb_device_table *table, uint32_t network, const char *name,
                                       const char *host_label, const wb_media_device_data *data, bool *changed)
{
    return update_service(table, network, WB_BROWSE_MEDIA_DEVICE, name, host_label, data, changed);
}

qnb_error wb_device_table_update_conmon(wb_device_table *table, uint32_t network, const char *name,
                                        const char *host_label, const wb_conmon_device_data *data, bool *changed)
{
    return update_service(table, network, WB_BROWSE_CONMON_DEVICE, name, host_label, data, changed);
}

qnb_error wb_device_table_update_via(wb_device_table *table, uint32_t network, const char *name,
                                     const char *host_label, const wb_via_device_data *data, bool *changed)
{
    return update_service(table, network, WB_BROWSE_VIA_DEVICE, name, host_label, data, changed);
}

qnb_error wb_device_table_update_mode(wb_device_table *table, uint32_t service_bit, uint32_t network,
                                      const char *name, const char *host_label, const wb_mode_device_data *data,
                                      bool *changed)
{
    if (service_bit != WB_BROWSE_SAFE_MODE && service_bit != WB_BROWSE_UPGRADE_MODE) {
        if (changed != nullptr) {
            *changed = false;
        }
        return QNB_ERR_INVALIDPARAMETER;
    }
    return update_service(table, network, service_bit, name, host_label, data, changed);
}

qnb_error wb_device_table_update_channel(wb_device_table *table, uint32_t network, const char *device_name,
                                         const char *channel_name, uint16_t channel_id, bool is_default,
                                         const wb_format *format, bool *changed)
{
    if (changed != nullptr) {
        *changed = false;
    }
    if (table == nullptr || !name_fits(channel_name) || channel_name[0] == '\0') {
        return QNB_ERR_INVALIDPARAMETER;
    }
    wb_device *device = nullptr;
    bool device_inserted = false;
    qnb_error err = wb_device_find_or_add(table, device_name, &device, &device_inserted);
    if (err != QNB_ERR_SUCCESS) {
        return err;
    }
    if (device_inserted) {
        emit(table, WB_EVENT_DEVICE, device, WB_ACTION_ADDED);
    }

    uint32_t index = 0;
    wb_channel *channel = nullptr;
    while (index < device->channel_count) {
        if (device->channels[index]->id == channel_id) {
            channel = device->channels[index];
            break;
        }
        if (device->channels[index]->id > channel_id) {
            break;
        }
        index++;
    }
    bool channel_inserted = false;
    if (channel == nullptr) {
        channel = static_cast<wb_channel *>(std::calloc(1, sizeof(wb_channel)));
        if (channel == nullptr ||
            !array_insert(&device->channels, &device->channel_count, &device->channel_capacity,
                          k_initial_channels, index, channel)) {
            std::free(channel);
            if (device_is_empty(device)) {
                drop_device(table, device);
            }
            return QNB_ERR_NOMEMORY;
        }
        channel->device = device;
        channel->id = channel_id;
        channel_inserted = true;
    }

    bool change = device_inserted || channel_inserted;
    if (is_default) {
        bool channel_change = channel_inserted;
        uint32_t *word = flag_word(&channel->flags, table, network);
        if ((*word & WB_BROWSE_MEDIA_CHANNEL) == 0) {
            *word |= WB_BROWSE_MEDIA_CHANNEL;
            recompute(&channel->flags);
            channel_change = true;
        }
        if (std::strcmp(channel->name, channel_name) != 0) {
            copy_name(channel->name, channel_name);
            channel_change = true;
        }
        if (format != nullptr && !formats_equal(channel->format, *format)) {
            channel->format = *format;
            channel_change = true;
        }
        if (channel_change) {
            emit(table, WB_EVENT_CHANNEL, channel, channel_inserted ? WB_ACTION_ADDED : WB_ACTION_CHANGED);
        }
        change = change || channel_change;
    } else {
        if (channel_inserted) {
            emit(table, WB_EVENT_CHANNEL, channel, WB_ACTION_ADDED);
        }
        uint32_t at = 0;
        wb_channel_label *label = nullptr;
        while (at < channel->label_count) {
            int order = std::strcmp(channel->labels[at]->name, channel_name);
            if (order == 0) {
                label = channel->labels[at];
                break;
            }
            if (order > 0) {
                break;
            }
            at++;
        }
        bool label_inserted = false;
        if (label == nullptr) {
            label = static_cast<wb_channel_label *>(std::calloc(1, sizeof(wb_channel_label)));
            if (label == nullptr || !array_insert(&channel->labels, &channel->label_count, &channel->label_capacity,
                                                  k_initial_labels, at, label)) {
                std::free(label);
                if (channel_inserted) {
                    drop_channel(table, device, channel);
                }
                if (device_is_empty(device)) {
                    drop_device(table, device);
                }
                return QNB_ERR_NOMEMORY;
            }
            label->channel = channel;
            copy_name(label->name, channel_name);
            label_inserted = true;
        }
        uint32_t *word = flag_word(&label->flags, table, network);
        bool label_change = label_inserted;
        if ((*word & WB_BROWSE_MEDIA_CHANNEL) == 0) {
            *word |= WB_BROWSE_MEDIA_CHANNEL;
            recompute(&label->flags);
            label_change = true;
        }
        if (label_change) {
            emit(table, WB_EVENT_LABEL, label, label_inserted ? WB_ACTION_ADDED : WB_ACTION_CHANGED);
        }
        change = change || label_change;
    }
    if (changed != nullptr) {
        *changed = change;
    }
    return QNB_ERR_SUCCESS;
}

int wb_device_table_remove_service(wb_device_table *table, uint32_t network, const char *name, uint32_t service_bit,
                                   bool *changed)
{
    if (changed != nullptr) {
        *changed = false;
    }
    wb_device *device = wb_device_table_find(table, name);
    if (device == nullptr) {
        return WB_DEVICE_NOT_FOUND;
    }
    uint32_t *word = flag_word(&device->flags, table, network);
    if ((*word & service_bit) == 0) {
        return QNB_ERR_SUCCESS; // not advertised on that network: nothing changes
    }
    *word &= ~service_bit;
    recompute(&device->flags);
    if ((device->flags.combined & service_bit) == 0) {
        size_t size = 0;
        void *slot = service_slot(device, service_bit, &size);
        if (slot != nullptr) {
            std::memset(slot, 0, size);
        }
    }
    if ((device->flags.combined & k_device_services) == 0) {
        std::memset(device->host_label, 0, sizeof device->host_label);
    }
    if (changed != nullptr) {
        *changed = true;
    }
    if (!device_is_empty(device)) {
        emit(table, WB_EVENT_DEVICE, device, WB_ACTION_CHANGED);
    } else {
        drop_device(table, device);
    }
    return QNB_ERR_SUCCESS;
}

int wb_device_table_remove_channel(wb_device_table *table, uint32_t network, const char *device_name,
                                   const char *channel_name, bool *changed)
{
    if (changed != nullptr) {
        *changed = false;
    }
    wb_device *device = wb_device_table_find(table, device_name);
    if (device == nullptr) {
        return WB_DEVICE_NOT_FOUND;
    }
    if (channel_name == nullptr || channel_name[0] == '\0') {
        return WB_CHANNEL_NOT_FOUND;
    }
    wb_channel *channel = nullptr;
    for (uint32_t i = 0; i < device->channel_count && channel == nullptr; i++) {
        if (std::strcmp(device->channels[i]->name, channel_name) == 0) {
            channel = device->channels[i];
        }
    }
    if (channel != nullptr) {
        uint32_t *word = flag_word(&channel->flags, table, network);
        if ((*word & WB_BROWSE_MEDIA_CHANNEL) == 0) {
            return QNB_ERR_SUCCESS;
        }
        *word &= ~WB_BROWSE_MEDIA_CHANNEL;
        recompute(&channel->flags);
        if (changed != nullptr) {
            *changed = true;
        }
        if (channel->flags.combined != 0 || channel->label_count > 0) {
            emit(table, WB_EVENT_CHANNEL, channel, WB_ACTION_CHANGED);
            return QNB_ERR_SUCCESS;
        }
        drop_channel(table, device, channel);
        if (device_is_empty(device)) {
            drop_device(table, device);
        }
        return QNB_ERR_SUCCESS;
    }

    for (uint32_t c = 0; c < device->channel_count; c++) {
        wb_channel *owner = device->channels[c];
        for (uint32_t l = 0; l < owner->label_count; l++) {
            wb_channel_label *label = owner->labels[l];
            if (std::strcmp(label->name, channel_name) != 0) {
                continue;
            }
            uint32_t *word = flag_word(&label->flags, table, network);
            if ((*word & WB_BROWSE_MEDIA_CHANNEL) == 0) {
                return QNB_ERR_SUCCESS;
            }
            *word &= ~WB_BROWSE_MEDIA_CHANNEL;
            recompute(&label->flags);
            if (changed != nullptr) {
                *changed = true;
            }
            if (label->flags.combined != 0) {
                emit(table, WB_EVENT_LABEL, label, WB_ACTION_CHANGED);
                return QNB_ERR_SUCCESS;
            }
            array_erase(owner->labels, &owner->label_count, l);
            emit(table, WB_EVENT_LABEL, label, WB_ACTION_REMOVED);
            std::free(label);
            if (owner->flags.combined == 0 && owner->label_count == 0) {
                drop_channel(table, device, owner);
            } else {
                emit(table, WB_EVENT_CHANNEL, owner, WB_ACTION_CHANGED);
            }
            if (device_is_empty(device)) {
                drop_device(table, device);
            }
            return QNB_ERR_SUCCESS;
        }
    }
    return WB_CHANNEL_NOT_FOUND;
}

const wt_device_id *wb_browse_record_get_id(const wb_device *device)
{
    if (device == nullptr) {
        return nullptr;
    }
    if ((device->flags.combined & WB_BROWSE_CONMON_DEVICE) != 0) {
        return &device->conmon.id;
    }
    if ((device->flags.combined & WB_BROWSE_VIA_DEVICE) != 0) {
        return &device->via.id;
    }
    return nullptr;
}
