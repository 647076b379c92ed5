#include "netaudio/platform/qnb_printf.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/types.h>

// The format language is printf's, walked once by our own code so that it behaves the same on
// every buffer and platform:
// - A backslash before one of " ' ? \ a b f n r t v is kept with that letter, as two characters;
//   any other backslash is kept as one character. Escapes are never interpreted.
// - "%%" prints one '%'. A '%' that does not start a known conversion is printed as it stands.
// - A conversion is: flags "-+0 #", a width (digits or '*'), an optional precision ('.' then
//   digits or '*'), at most three length-modifier characters, and one of "cdeEfFgGinopsSuxX".
//   Its text may be at most 31 characters long.
// - Refused (the whole call returns -1 and the buffer holds an empty text): %n, a conversion text
//   longer than 31 characters, more than three length-modifier characters, or a length modifier
//   that does not fit its conversion.
//
// Length modifiers. Formats written for the 32-bit platform this library came from use its
// modifiers; they are translated for this 64-bit platform:
//   I64  -> a 64-bit integer (long long)        I32 -> a 32-bit integer (int)
//   I    -> a pointer-sized integer (size_t; ssize_t for d and i)
//   h, hh, l, ll keep their C meaning (l is 64 bits here), and z, j, t are accepted as in C.
// Wide text: the library's wide texts are UTF-16 (char16_t), never wchar_t. So %ws, %ls and %S
// take a `const char16_t *` (terminated, or bounded by the precision counted in UTF-16 units), and
// %wc and %lc take one UTF-16 unit (passed as int); both print as UTF-8, independent of any
// locale. Unpaired surrogates print as U+FFFD. %hs, %hS and %hc are narrow.
//
// No conversion is ever cut silently: a conversion longer than the 2052-byte scratch buffer is
// formatted again on the heap.

namespace {

constexpr size_t k_conversion_max = 31;
constexpr size_t k_scratch_size = 2052;
constexpr size_t k_modifier_max = 3;

const char k_escape_letters[] = "\"'?\\abfnrtv";
const char k_flag_chars[] = "-+0 #";
const char k_modifier_chars[] = "2346hIlwzjt";
const char k_conversion_chars[] = "cdeEfFgGinopsSuxX";

bool is_one_of(char c, const char *set)
{
    return c != '\0' && std::strchr(set, c) != nullptr;
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Where the formatted text goes: at most size - 1 characters are stored; every character counts.
struct output {
    char *buffer;
    size_t size;
    size_t used = 0;
    size_t count = 0;

    size_t room() const { return (buffer && size > 0) ? size - 1 - used : 0; }

    // Stores what fits of `stored` characters and counts `total` (>= stored).
    void put(const char *text, size_t stored, size_t total)
    {
        size_t n = std::min(stored, room());
        if (n > 0) {
            std::memcpy(buffer + used, text, n);
            used += n;
        }
        count += total;
    }
    void put(const char *text, size_t n) { put(text, n, n); }

    void finish(bool refused)
    {
        if (!buffer || size == 0)
            return;
        buffer[refused ? 0 : used] = '\0';
    }
};

enum class value_kind {
    int_value,     // int (c, and integers without a 64-bit or pointer-sized modifier)
    long_value,    // long
    llong_value,   // long long
    size_value,    // size_t / ssize_t
    intmax_value,  // intmax_t
    ptrdiff_value, // ptrdiff_t
    double_value,
    pointer_value, // p, and narrow s
    wide_string,   // const char16_t *
    wide_char      // one UTF-16 unit
};

struct conversion {
    const char *start = nullptr; // the '%'
    const char *end = nullptr;   // behind the conversion character
    std::string flags;
    std::string width;     // digits or "*"
    bool has_precision = false;
    std::string precision; // digits or "*" (empty: 0)
    std::string modifier;
    char letter = 0;
};

enum class parse_result { conversion, not_conversion, refused };

parse_result parse_conversion(const char *p, conversion *c)
{
    c->start = p;
    const char *q = p + 1;
    while (is_one_of(*q, k_flag_chars))
        c->flags += *q++;
    if (*q == '*') {
        c->width = "*";
        ++q;
    } else {
        while (is_digit(*q))
            c->width += *q++;
    }
    if (*q == '.') {
        c->has_precision = true;
        ++q;
        if (*q == '*') {
            c->precision = "*";
            ++q;
        } else {
            while (is_digit(*q))
                c->precision += *q++;
        }
    }
    while (is_one_of(*q, k_modifier_chars)) {
        c->modifier += *q++;
        if (c->modifier.size() > k_modifier_max)
            return parse_result::refused;
    }
    if (!is_one_of(*q, k_conversion_chars))
        return parse_result::not_conversion;
    c->letter = *q++;
    c->end = q;
    if (static_cast<size_t>(c->end - c->start) > k_conversion_max)
        return parse_result::refused;
    if (c->letter == 'n') // writing through an argument is never allowed
        return parse_result::refused;
    return parse_result::conversion;
}

// Decides the argument's type and the modifier text for this platform's snprintf. False when the
// modifier does not fit the conversion.
bool translate(const conversion &c, value_kind *kind, std::string *modifier)
{
    const std::string &m = c.modifier;
    switch (c.letter) {
    case 'd': case 'i': case 'o': case 'u': case 'x': case 'X':
        if (m.empty() || m == "I32") {
            *kind = value_kind::int_value;
            *modifier = "";
        } else if (m == "h" || m == "hh") {
            *kind = value_kind::int_value;
            *modifier = m;
        } else if (m == "l") {
            *kind = value_kind::long_value;
            *modifier = "l";
        } else if (m == "ll" || m == "I64") {
            *kind = value_kind::llong_value;
            *modifier = "ll";
        } else if (m == "I" || m == "z") {
            *kind = value_kind::size_value;
            *modifier = "z";
        } else if (m == "j") {
            *kind = value_kind::intmax_value;
            *modifier = "j";
        } else if (m == "t") {
            *kind = value_kind::ptrdiff_value;
            *modifier = "t";
        } else {
            return false;
        }
        return true;
    case 'e': case 'E': case 'f': case 'F': case 'g': case 'G':
        if (!m.empty() && m != "l")
            return false;
        *kind = value_kind::double_value;
        *modifier = "";
        return true;
    case 'p':
        if (!m.empty())
            return false;
        *kind = value_kind::pointer_value;
        *modifier = "";
        return true;
    case 'c':
        if (m.empty() || m == "h")
            *kind = value_kind::int_value;
        else if (m == "l" || m == "w")
            *kind = value_kind::wide_char;
        else
            return false;
        *modifier = "";
        return true;
    case 's':
    case 'S': {
        bool wide = (c.letter == 'S');
        if (m == "h")
            wide = false;
        else if (m == "l" || m == "w")
            wide = true;
        else if (!m.empty())
            return false;
        *kind = wide ? value_kind::wide_string : value_kind::pointer_value;
        *modifier = "";
        return true;
    }
    default:
        return false;
    }
}

void append_utf8(std::string *out, uint32_t cp)
{
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | (cp >> 6));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += static_cast<char>(0xE0 | (cp >> 12));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (cp >> 18));
        *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16 -> UTF-8, reading at most `limit` units (and never past a terminator).
std::string utf16_to_utf8(const char16_t *text, size_t limit)
{
    std::string out;
    size_t i = 0;
    while (i < limit && text[i] != 0) {
        uint32_t unit = text[i++];
        if (unit >= 0xD800 && unit <= 0xDBFF && i < limit && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
            uint32_t low = text[i++];
            append_utf8(&out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            append_utf8(&out, 0xFFFD);
        } else {
            append_utf8(&out, unit);
        }
    }
    return out;
}

template <typename T>
int run_snprintf(char *out, size_t n, const char *runtime_format, const int *stars, int star_count, T value)
{
    switch (star_count) {
    case 0: return std::snprintf(out, n, runtime_format, value);
    case 1: return std::snprintf(out, n, runtime_format, stars[0], value);
    default: return std::snprintf(out, n, runtime_format, stars[0], stars[1], value);
    }
}

// Formats one conversion with the runtime's snprintf and appends it. False on a runtime failure or
// when the heap buffer for a long conversion cannot be had.
template <typename T>
bool emit(output *o, const std::string &runtime_format, const int *stars, int star_count, T value)
{
    char scratch[k_scratch_size];
    int len = run_snprintf(scratch, sizeof scratch, runtime_format.c_str(), stars, star_count, value);
    if (len < 0)
        return false;
    size_t total = static_cast<size_t>(len);
    if (total < sizeof scratch) {
        o->put(scratch, total);
        return true;
    }
    // Longer than the scratch buffer: format again on the heap, as much as the output can take.
    size_t take = std::min(total, o->room());
    if (take > 0) {
        char *heap = static_cast<char *>(std::malloc(take + 1));
        if (!heap)
            return false;
        run_snprintf(heap, take + 1, runtime_format.c_str(), stars, star_count, value);
        o->put(heap, take, total);
        std::free(heap);
    } else {
        o->count += total;
    }
    return true;
}

bool convert(output *o, const conversion &c, va_list *ap)
{
    value_kind kind;
    std::string modifier;
    if (!translate(c, &kind, &modifier))
        return false;

    int stars[2];
    int star_count = 0;
    if (c.width == "*")
        stars[star_count++] = va_arg(*ap, int);
    int precision_star = -1;
    if (c.precision == "*") {
        precision_star = va_arg(*ap, int);
        stars[star_count++] = precision_star;
    }

    std::string runtime_format = "%" + c.flags + c.width;
    if (kind == value_kind::wide_string || kind == value_kind::wide_char) {
        // Printed as a narrow string of the UTF-8 text; the precision counts UTF-16 units read.
        int width_stars = c.width == "*" ? 1 : 0;
        std::string text;
        if (kind == value_kind::wide_char) {
            char16_t unit[2] = {static_cast<char16_t>(va_arg(*ap, int)), 0};
            text = unit[0] == 0 ? std::string(1, '\0') : utf16_to_utf8(unit, 1);
        } else {
            const char16_t *wide = va_arg(*ap, const char16_t *);
            size_t limit = SIZE_MAX;
            if (c.has_precision) {
                if (c.precision == "*")
                    limit = precision_star < 0 ? SIZE_MAX : static_cast<size_t>(precision_star);
                else
                    limit = static_cast<size_t>(std::strtoul(c.precision.c_str(), nullptr, 10));
            }
            text = wide ? utf16_to_utf8(wide, limit) : std::string(limit < 6 ? "" : "(null)");
        }
        if (text.size() == 1 && text[0] == '\0') // a NUL unit prints as one NUL character, like %c
            return emit(o, runtime_format + "c", stars, width_stars, 0);
        return emit(o, runtime_format + "s", stars, width_stars, text.c_str());
    }

    if (c.has_precision)
        runtime_format += "." + c.precision;
    runtime_format += modifier;
    runtime_format += (c.letter == 'S') ? 's' : c.letter;
    const bool is_signed = (c.letter == 'd' || c.letter == 'i');

    switch (kind) {
    case value_kind::int_value:
        return is_signed ? emit(o, runtime_format, stars, star_count, va_arg(*ap, int))
                         : emit(o, runtime_format, stars, star_count, va_arg(*ap, unsigned int));
    case value_kind::long_value:
        return is_signed ? emit(o, runtime_format, stars, star_count, va_arg(*ap, long))
                         : emit(o, runtime_format, stars, star_count, va_arg(*ap, unsigned long));
    case value_kind::llong_value:
        return is_signed ? emit(o, runtime_format, stars, star_count, va_arg(*ap, long long))
                         : emit(o, runtime_format, stars, star_count, va_arg(*ap, unsigned long long));
    case value_kind::size_value:
        return is_signed ? emit(o, runtime_format, stars, star_count, va_arg(*ap, ssize_t))
                         : emit(o, runtime_format, stars, star_count, va_arg(*ap, size_t));
    case value_kind::intmax_value:
        return is_signed ? emit(o, runtime_format, stars, star_count, va_arg(*ap, intmax_t))
                         : emit(o, runtime_format, stars, star_count, va_arg(*ap, uintmax_t));
    case value_kind::ptrdiff_value:
        return emit(o, runtime_format, stars, star_count, va_arg(*ap, ptrdiff_t));
    case value_kind::double_value:
        return emit(o, runtime_format, stars, star_count, va_arg(*ap, double));
    case value_kind::pointer_value:
        return emit(o, runtime_format, stars, star_count, va_arg(*ap, void *));
    default:
        return false;
    }
}

} // namespace

int qnb_vsnprintf(char *buffer, size_t size, const char *format, va_list args)
{
    output o{buffer, size};
    if (!format) {
        o.finish(true);
        return -1;
    }

    va_list ap;
    va_copy(ap, args);
    bool refused = false;
    const char *p = format;
    try {
        while (*p && !refused) {
            if (*p == '\\') {
                size_t n = is_one_of(p[1], k_escape_letters) ? 2 : 1;
                o.put(p, n);
                p += n;
            } else if (*p != '%') {
                size_t n = std::strcspn(p, "%\\");
                o.put(p, n);
                p += n;
            } else if (p[1] == '%') {
                o.put("%", 1);
                p += 2;
            } else {
                conversion c;
                switch (parse_conversion(p, &c)) {
                case parse_result::not_conversion:
                    o.put(p, 1);
                    ++p;
                    break;
                case parse_result::refused:
                    refused = true;
                    break;
                case parse_result::conversion:
                    refused = !convert(&o, c, &ap);
                    p = c.end;
                    break;
                }
            }
        }
    } catch (...) { // no memory for a conversion's text
        refused = true;
    }
    va_end(ap);

    if (!refused && o.count > static_cast<size_t>(INT_MAX))
        refused = true;
    o.finish(refused);
    return refused ? -1 : static_cast<int>(o.count);
}

int qnb_snprintf(char *buffer, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = qnb_vsnprintf(buffer, size, format, args);
    va_end(args);
    return n;
}

int qnb_vasprintf(char **out, const char *format, va_list args)
{
    if (!out)
        return -1;
    *out = nullptr;

    va_list measure;
    va_copy(measure, args);
    int len = qnb_vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (len < 0)
        return -1;

    char *text = static_cast<char *>(std::malloc(static_cast<size_t>(len) + 1));
    if (!text)
        return -1;
    va_list fill;
    va_copy(fill, args);
    int written = qnb_vsnprintf(text, static_cast<size_t>(len) + 1, format, fill);
    va_end(fill);
    if (written != len) {
        std::free(text);
        return -1;
    }
    *out = text;
    return len;
}

int qnb_asprintf(char **out, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = qnb_vasprintf(out, format, args);
    va_end(args);
    return n;
}
