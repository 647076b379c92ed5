// Bounded string copies and comparison. Case rules are ASCII, whatever the process's locale.
#pragma once

#include <cstddef>

// Copies at most size - 1 characters of `src` and terminates (nothing when `size` is 0).
// Returns the length of `src` (a null `src` copies as the empty text).
size_t qnb_strlcpy(char *dst, const char *src, size_t size);

// The same for UTF-16 texts; `count` and the result are in units.
size_t qnb_wstrlcpy(char16_t *dst, const char16_t *src, size_t count);

// Appends `src` so that `dst` holds at most size - 1 characters and is terminated. Returns the
// length it tried to make (old length + length of `src`); when `dst` has no terminator within
// `size`, returns `size` and changes nothing.
size_t qnb_strlcat(char *dst, const char *src, size_t size);

// Compares lower-cased characters; the difference at the first mismatch (or of the terminators).
// A null text sorts before any other.
int qnb_strcasecmp(const char *a, const char *b);

// ASCII lower case of one character.
int qnb_tolower(int c);
