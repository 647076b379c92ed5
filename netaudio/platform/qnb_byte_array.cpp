#include "netaudio/platform/qnb_byte_array.h"

#include <cstdlib>
#include <cstring>

namespace {

bool set_capacity(qnb_byte_array *array, uint32_t capacity)
{
    if (capacity == 0) {
        std::free(array->data);
        array->data = nullptr;
        array->capacity = 0;
        return true;
    }
    uint8_t *data = static_cast<uint8_t *>(std::realloc(array->data, capacity));
    if (!data)
        return false;
    array->data = data;
    array->capacity = capacity;
    return true;
}

// Grows the capacity by doubling (from at least 1) until it holds `needed` bytes.
bool grow_for(qnb_byte_array *array, uint64_t needed)
{
    if (needed > UINT32_MAX)
        return false;
    if (needed <= array->capacity)
        return true;
    uint64_t capacity = array->capacity ? array->capacity : 1;
    while (capacity < needed)
        capacity *= 2;
    if (capacity > UINT32_MAX)
        capacity = UINT32_MAX;
    return set_capacity(array, static_cast<uint32_t>(capacity));
}

} // namespace

qnb_byte_array *qnb_byte_array_new(void)
{
    return static_cast<qnb_byte_array *>(std::calloc(1, sizeof(qnb_byte_array)));
}

void qnb_byte_array_free(qnb_byte_array *array)
{
    if (!array)
        return;
    std::free(array->data);
    std::free(array);
}

bool qnb_byte_array_is_empty(const qnb_byte_array *array)
{
    return !array || array->size == 0;
}

uint8_t *qnb_byte_array_at(qnb_byte_array *array, uint32_t offset)
{
    if (!array || offset >= array->size)
        return nullptr;
    return array->data + offset;
}

uint8_t *qnb_byte_array_insert(qnb_byte_array *array, uint32_t position, const void *bytes, uint32_t n)
{
    if (!array)
        return nullptr;
    // Bytes taken from the array itself are copied first: growing may move the data.
    const uint8_t *source = static_cast<const uint8_t *>(bytes);
    if (source && n > 0 && array->data && source >= array->data && source < array->data + array->capacity) {
        uint8_t *copy = static_cast<uint8_t *>(std::malloc(n));
        if (!copy)
            return nullptr;
        std::memcpy(copy, source, n);
        uint8_t *result = qnb_byte_array_insert(array, position, copy, n);
        std::free(copy);
        return result;
    }
    if (position > array->size)
        position = array->size;
    if (!grow_for(array, static_cast<uint64_t>(array->size) + n))
        return nullptr;
    if (n == 0)
        return array->data ? array->data + position : nullptr;
    std::memmove(array->data + position + n, array->data + position, array->size - position);
    if (bytes)
        std::memcpy(array->data + position, bytes, n);
    else
        std::memset(array->data + position, 0, n);
    array->size += n;
    return array->data + position;
}

uint8_t *qnb_byte_array_insert_byte(qnb_byte_array *array, uint32_t position, uint8_t byte)
{
    return qnb_byte_array_insert(array, position, &byte, 1);
}

void qnb_byte_array_erase(qnb_byte_array *array, uint32_t position, uint32_t n)
{
    if (!array || position >= array->size)
        return;
    uint32_t available = array->size - position;
    if (n > available)
        n = available;
    std::memmove(array->data + position, array->data + position + n, available - n);
    array->size -= n;
}

void qnb_byte_array_erase_byte(qnb_byte_array *array, uint32_t position)
{
    qnb_byte_array_erase(array, position, 1);
}

qnb_error qnb_byte_array_reserve(qnb_byte_array *array, uint32_t capacity)
{
    if (!array)
        return QNB_ERR_INVALIDPARAMETER;
    if (capacity <= array->capacity)
        return QNB_ERR_SUCCESS;
    return set_capacity(array, capacity) ? QNB_ERR_SUCCESS : QNB_ERR_NOMEMORY;
}

qnb_error qnb_byte_array_resize(qnb_byte_array *array, uint32_t size)
{
    if (!array)
        return QNB_ERR_INVALIDPARAMETER;
    if (size > array->size) {
        if (!grow_for(array, size))
            return QNB_ERR_NOMEMORY;
        std::memset(array->data + array->size, 0, size - array->size);
    }
    array->size = size;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_byte_array_shrink_to_fit(qnb_byte_array *array)
{
    if (!array)
        return QNB_ERR_INVALIDPARAMETER;
    if (array->size == array->capacity)
        return QNB_ERR_SUCCESS;
    return set_capacity(array, array->size) ? QNB_ERR_SUCCESS : QNB_ERR_NOMEMORY;
}

void qnb_byte_array_clear(qnb_byte_array *array)
{
    if (!array)
        return;
    set_capacity(array, 0);
    array->size = 0;
}

uint8_t *qnb_byte_array_assign(qnb_byte_array *array, const void *bytes, uint32_t n)
{
    if (!array)
        return nullptr;
    const uint8_t *source = static_cast<const uint8_t *>(bytes);
    if (source && n > 0 && array->data && source >= array->data && source < array->data + array->capacity) {
        // Assigning a part of the array to itself.
        std::memmove(array->data, source, n);
        array->size = n;
        return array->data;
    }
    if (n != array->capacity)
        set_capacity(array, 0);
    array->size = 0;
    return qnb_byte_array_insert(array, 0, bytes, n);
}
