#include "plain_array.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace regkern {

namespace {

const char* const extent_words[] = {"", "first extent", "first two extents",
                                    "first three extents"};

const char* leading_words(int n) { return n >= 1 && n <= 3 ? extent_words[n] : "leading extents"; }

template <class Size> int64_t read_extent(const void* extents, int64_t i)
{
    Size value;
    std::memcpy(&value, static_cast<const char*>(extents) + i * sizeof(Size), sizeof value);
    if (!std::is_signed<Size>::value && static_cast<uint64_t>(value) > static_cast<uint64_t>(INT64_MAX))
        return INT64_MAX;
    return static_cast<int64_t>(value);
}

}  // namespace

int64_t extent_of(const PlainArray& array, int64_t i)
{
    switch (array.extent_type) {
    case ExtentType::int32: return read_extent<int32_t>(array.extents, i);
    case ExtentType::uint32: return read_extent<uint32_t>(array.extents, i);
    case ExtentType::int64: return read_extent<int64_t>(array.extents, i);
    case ExtentType::uint64: return read_extent<uint64_t>(array.extents, i);
    }
    return 0;
}

std::string label(InputName input)
{
    return std::string(input.name) + " (input " + std::to_string(input.number) + ")";
}

std::string size_text(const PlainArray& array)
{
    std::string text;
    for (int64_t i = 0; i < array.ndims; ++i) {
        if (i > 0) text += "x";
        text += std::to_string(static_cast<unsigned long long>(extent_of(array, i)));
    }
    return text.empty() ? "0x0" : text;
}

std::string value_text(double value, bool as_single)
{
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Inf" : "-Inf";
    char text[40];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        const double back = std::strtod(text, nullptr);
        if (as_single ? static_cast<float>(back) == static_cast<float>(value) : back == value)
            break;
    }
    return text;
}

int32_t checked_extent(int64_t value, InputName input)
{
    if (value < 0 || value > INT32_MAX) {
        const std::string extent = value < 0 ? "a negative extent"
                                             : "an extent of " + std::to_string(value);
        fail("tooLarge", label(input) + " has " + extent +
                             "; pass an array whose extents are at most 2^31 - 1");
    }
    return static_cast<int32_t>(value);
}

int32_t element_count(const PlainArray& array, InputName input)
{
    // An array with an extent 0 holds nothing, however large its other extents.
    for (int64_t i = 0; i < array.ndims; ++i)
        if (checked_extent(extent_of(array, i), input) == 0) return 0;
    int64_t count = 1;
    for (int64_t i = 0; i < array.ndims; ++i) {
        count *= checked_extent(extent_of(array, i), input);
        if (count > INT32_MAX)
            fail("tooLarge", label(input) + " is " + size_text(array) +
                                 ", more than 2^31 - 1 elements; pass a smaller array");
    }
    return static_cast<int32_t>(count);
}

void fail_leading_too_large(const PlainArray& array, int n, InputName input)
{
    fail("tooLarge", label(input) + " is " + size_text(array) + ": its " + leading_words(n) +
                         " give more than 2^31 - 1 elements; pass a smaller array");
}

void fail_hollow(const PlainArray& array, int n, int64_t product, InputName input)
{
    std::string wanted;
    for (int i = 0; i < n; ++i) {
        if (i > 0) wanted += "x";
        wanted += std::to_string(i < array.ndims
                                     ? static_cast<unsigned long long>(extent_of(array, i))
                                     : 1ULL);
    }
    fail("sizeMismatch", label(input) + " is " + size_text(array) + " and holds " +
                             std::to_string(array.count) + " elements, not the " +
                             std::to_string(product) + " its " + leading_words(n) +
                             " give; pass a " + wanted + " array");
}

bool has_extra_slices(const PlainArray& array, int n)
{
    for (int64_t i = n; i < array.ndims; ++i)
        if (extent_of(array, i) == 0) return false;  // no elements at all
    for (int64_t i = n; i < array.ndims; ++i)
        if (extent_of(array, i) > 1) return true;
    return false;
}

void warn_extra_slices(GatewayWarnings& warnings, const std::vector<InputName>& inputs, int n)
{
    if (inputs.empty()) return;
    std::string names;
    for (size_t k = 0; k < inputs.size(); ++k) {
        if (k > 0) names += k + 1 == inputs.size() ? " and " : ", ";
        names += label(inputs[k]);
    }
    const bool one = inputs.size() == 1;
    const char* unit = n == 2 ? "slice" : "volume";
    std::string fix = n == 2 ? (one ? "a 2-D array" : "2-D arrays") : (one ? "a 3-D array" : "3-D arrays");
    if (n == 2) fix += " (the volume plug-ins take volumes)";
    warn(warnings, "extraSlices",
         names + (one ? " has" : " have") + " more than one " + unit + (one ? "" : " each") +
             ": only the first" + (one ? "" : " of each") + " is used; pass " + fix);
}

void fail_empty(InputName input, const char* wanted)
{
    fail("empty", label(input) + " is empty; pass " + wanted);
}

void check_min_elements(const PlainArray& array, int64_t needed, InputName input,
                        const std::string& per)
{
    const int64_t held = static_cast<int64_t>(array.count);
    if (held < needed)
        fail("sizeMismatch", label(input) + " has " + std::to_string(held) +
                                 (held == 1 ? " element" : " elements") + "; pass at least " +
                                 std::to_string(needed) + ", " + per);
}

}  // namespace regkern
