#include "netaudio/platform/encoding_set.h"

qnb_error encoding_set_add(encoding_set *set, uint16_t encoding)
{
    if (!set)
        return QNB_ERR_INVALIDPARAMETER;
    if (set->first_encoding == 0)
        set->first_encoding = encoding;
    if (encoding >= 1 && encoding <= ENCODING_SET_PCM_MAX_BITS) {
        set->pcm_width_mask = static_cast<uint16_t>(set->pcm_width_mask | 1u << ((encoding + 7) / 8 - 1));
        if (set->first_pcm_width == 0)
            set->first_pcm_width = encoding;
        return QNB_ERR_SUCCESS;
    }
    if (set->count >= ENCODING_SET_MAX)
        return QNB_ERR_TRUNCATED;
    unsigned i = set->count;
    while (i > 0 && set->encodings[i - 1] > encoding) {
        set->encodings[i] = set->encodings[i - 1];
        --i;
    }
    set->encodings[i] = encoding;
    ++set->count;
    return QNB_ERR_SUCCESS;
}

bool encoding_set_equal(const encoding_set *a, const encoding_set *b)
{
    if (a == b)
        return true;
    if (!a || !b)
        return false;
    if (a->count != b->count || a->value != b->value || a->first_encoding != b->first_encoding ||
        a->first_pcm_width != b->first_pcm_width || a->pcm_width_mask != b->pcm_width_mask)
        return false;
    for (unsigned i = 0; i < a->count && i < ENCODING_SET_MAX; ++i) {
        if (a->encodings[i] != b->encodings[i])
            return false;
    }
    return true;
}

qnb_error encoding_set_to_array(const encoding_set *set, uint16_t *out)
{
    if (!set || !out)
        return QNB_ERR_INVALIDPARAMETER;
    unsigned n = 0;
    if (set->pcm_width_mask != 0)
        out[1 + n++] = ENCODING_SET_PCM_ENTRY;
    for (unsigned i = 0; i < set->count && i < ENCODING_SET_MAX && n < ENCODING_SET_MAX; ++i)
        out[1 + n++] = set->encodings[i];
    out[0] = static_cast<uint16_t>(n);
    return QNB_ERR_SUCCESS;
}
