// Paths put into a shell line or into a sanitizer runtime's options, quoted so that the checkout,
// its build and the tests' directories may lie anywhere (a space or a quote in a path).
#pragma once

#include <string>

namespace qz_test {

// `text` as one word of a shell line: in single quotes, each single quote written '\''.
inline std::string shellQuoted(const std::string &text)
{
    std::string out = "'";
    for (const char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// `value` as the value of an option in ASAN_OPTIONS, LSAN_OPTIONS or TSAN_OPTIONS. The runtimes split
// their options at spaces, commas and colons except inside single or double quotes, and know no
// escape: the value goes in the quotes it does not hold.
inline std::string sanitizerQuoted(const std::string &value)
{
    const char quote = value.find('\'') == std::string::npos ? '\'' : '"';
    return quote + value + quote;
}

} // namespace qz_test
