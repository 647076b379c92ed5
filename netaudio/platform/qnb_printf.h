// The library's own formatted printing: works on any buffer, always counts the characters the
// whole output needs, and keeps backslash escapes as they stand.
#pragma once

#include <cstdarg>
#include <cstddef>

// Writes at most size - 1 characters and a terminator (nothing when `buffer` is null or `size` 0).
// Returns the length the whole output needs, or -1 for a format it refuses (%n, a conversion of
// more than 31 characters, more than 3 length-modifier characters, a modifier that does not fit
// its conversion); a refused format leaves an empty text. Formats may use the length modifiers
// I64, I32, I and w; qnb_printf.cpp describes what they and the wide forms mean here.
int qnb_vsnprintf(char *buffer, size_t size, const char *format, va_list args);
int qnb_snprintf(char *buffer, size_t size, const char *format, ...);

// Formats into a new heap text (free with free()). Returns its length, or -1 on a null `out`,
// a refused format or no memory.
int qnb_vasprintf(char **out, const char *format, va_list args);
int qnb_asprintf(char **out, const char *format, ...);
