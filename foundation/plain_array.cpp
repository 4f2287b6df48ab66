#include "plain_array.h"
#include "value_census.h"

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
    // An option of a name-value call (invert_field's 'tolerance') has no
    // position the caller could count: it is named as the caller wrote it.
    if (input.number == 0) return input.name;
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
    // Plain digits for magnitudes from 1e-4 to 1e6 ("210", not "2.1e+02").
    const double magnitude = std::fabs(value);
    const bool plain = magnitude >= 1e-4 && magnitude < 1e6;
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        const double back = std::strtod(text, nullptr);
        const bool exact =
            as_single ? static_cast<float>(back) == static_cast<float>(value) : back == value;
        if (exact && !(plain && std::strchr(text, 'e'))) break;
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

std::string image_list(const std::vector<InputName>& names)
{
    std::string text;
    for (size_t k = 0; k < names.size(); ++k) {
        if (k > 0) text += k + 1 == names.size() ? " and " : ", ";
        text += label(names[k]);
    }
    return text;
}

void warn_outside(GatewayWarnings& warnings, const char* condition,
                  const std::vector<OutsideImage>& images, const std::string& interval,
                  const std::string& spanning, bool as_single)
{
    if (images.empty()) return;
    std::string message;
    for (size_t k = 0; k < images.size(); ++k) {
        const OutsideImage& image = images[k];
        const long long percent = static_cast<long long>(
            std::floor(100.0 * static_cast<double>(image.census.outside) /
                       static_cast<double>(image.census.finite)));
        if (k > 0) message += k + 1 == images.size() ? " and " : ", ";
        message += label(image.name) + (k == 0 ? " has " : " ") + std::to_string(percent) + " %" +
                   (k == 0 ? " of its finite values" : "") + " (" +
                   value_text(image.least, as_single) + " to " +
                   value_text(image.greatest, as_single) + ")";
    }
    const char* scale = as_single ? "single(im2double(" : "im2double(";
    const char* close = as_single ? "))" : ")";
    message += " outside " + interval + ", where they count in the edge bins; scale the images to it (" +
               scale + images[0].name.name + close +
               " for integer intensities, e.g. from imread) or pass an interval that spans them, " +
               spanning;
    warn(warnings, condition, message);
}

void warn_sliver(GatewayWarnings& warnings, const char* condition,
                 const std::vector<SliverImage>& images, const std::string& interval,
                 const std::string& fitting, bool as_single)
{
    if (images.empty()) return;
    std::string message;
    for (size_t k = 0; k < images.size(); ++k) {
        const SliverImage& image = images[k];
        char share[32];
        std::snprintf(share, sizeof share, "%.2g", 100.0 * image.share);
        if (k > 0) message += k + 1 == images.size() ? " and " : ", ";
        message += label(image.name) + (k == 0 ? " spans " : " ") + share + " %" +
                   (k == 0 ? " of " + interval + " (values from " : " (") +
                   value_text(image.least, as_single) + " to " +
                   value_text(image.greatest, as_single) + ")";
    }
    const bool one = images.size() == 1;
    message += std::string(": ") + (one ? "its" : "their") +
               " samples fall in a sliver of the bins and the results are nearly constant; " +
               (fitting.empty() ? std::string("scale ") + (one ? "it" : "them") + " to the interval"
                                : "pass " + fitting + ", or scale the images to the interval");
    warn(warnings, condition, message);
}

void warn_partner_shape(GatewayWarnings& warnings, const PlainArray& first, InputName first_name,
                        const std::vector<InputName>& partners,
                        const std::vector<const PlainArray*>& arrays, const char* kind)
{
    if (partners.empty()) return;
    const bool one = partners.size() == 1;
    std::string sizes;
    bool alike = true;
    for (size_t k = 0; k < partners.size(); ++k) {
        if (k > 0) sizes += k + 1 == partners.size() ? " and " : ", ";
        sizes += size_text(*arrays[k]);
        alike = alike && size_text(*arrays[k]) == size_text(*arrays[0]);
    }
    if (!one && alike) sizes = "each " + size_text(*arrays[0]);
    warn(warnings, "partnerShape",
         image_list(partners) + (one ? " is " : " are ") + sizes + " but " + label(first_name) +
             " is " + size_text(first) + ": " + (one ? "its" : "their") +
             " elements pair with " + first_name.name +
             "'s in column-major order, so the " + kind + "s do not line up; pass " +
             (one ? "it" : "them") + " with the extents of " + first_name.name + " (a transposed " +
             kind + ": its transpose)");
}

bool same_layout(const PlainArray& first, const PlainArray& partner, int n)
{
    bool same = true;
    for (int i = 0; i < n; ++i) {
        const int64_t a = i < first.ndims ? extent_of(first, i) : 1;
        const int64_t b = i < partner.ndims ? extent_of(partner, i) : 1;
        same = same && a == b;
    }
    if (same) return true;
    // Two vectors of one length pair element for element whatever their
    // orientation, such as a(mask) with b(mask)', or a(:)' with b(:).
    const auto is_vector = [n](const PlainArray& array) {
        int long_axes = 0;
        for (int i = 0; i < n && i < array.ndims; ++i) long_axes += extent_of(array, i) != 1;
        return long_axes <= 1;
    };
    return is_vector(first) && is_vector(partner) && first.count == partner.count;
}

}  // namespace regkern
