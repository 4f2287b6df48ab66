// An input array as the core sees it, whatever host it came from, and the
// checks of shape and value that every front end shares.
//
// A front end checks what only it can (argument counts, the class of each
// array) and describes every input as a PlainArray: its data, its element
// count and its extents exactly as the host reports them (all of them, so
// that the core can tell extra slices from a hollow array). The core does
// every other check, throwing a Failure (failure.h), so that each host gives
// the same identifier and message for the same call.
//
// Messages name an input as "<name> (input N)", with the name the plug-in's
// help gives it, say what the call passed and, after "; ", how to fix it:
// "bins (input 5) is 0.5; pass a whole number from 2 to 46340". They start in
// lower case (the host puts "<plug-in>: " before them) and end without a
// full stop.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "failure.h"

namespace regkern {

// An input as messages name it: its name in the plug-in's help and its
// position in the call, counted from 1 (0: an option, named alone).
struct InputName {
    const char* name;
    int number;
    bool intensities = false;  // an image: integer classes are scaled, not only converted
};

// What a front end needs to know of a plug-in's call before it reads the
// inputs: how many there are of each, the messages for a wrong count, and
// the inputs' names in call order.
struct CallSignature {
    int inputs;
    const char* input_count_message;
    int outputs;
    const char* output_count_message;
    const InputName* names;
    // The last outputs a caller may leave off (a refinement's residual and
    // step count): a call asks for outputs - optional_outputs to outputs.
    int optional_outputs = 0;
};

// The width and signedness of the host's extent type: the core reads the
// host's own list of extents, without a copy that would need freeing.
enum class ExtentType { int32, uint32, int64, uint64 };

struct PlainArray {
    const void* data;     // the first element, of the plug-in's element type
    uint64_t count;       // elements, as the host counts them
    const void* extents;  // the host's extents, ndims of them
    ExtentType extent_type;
    int64_t ndims;
};
static_assert(std::is_trivially_destructible<PlainArray>::value,
              "an input description must survive the host's error exit");

template <class Size>
PlainArray plain_array(const void* data, uint64_t count, const Size* extents, int64_t ndims)
{
    static_assert(std::is_integral<Size>::value && (sizeof(Size) == 4 || sizeof(Size) == 8),
                  "extents are 32- or 64-bit integers");
    const ExtentType type = sizeof(Size) == 4
                                ? (std::is_signed<Size>::value ? ExtentType::int32 : ExtentType::uint32)
                                : (std::is_signed<Size>::value ? ExtentType::int64 : ExtentType::uint64);
    return PlainArray{data, count, extents, type, ndims};
}

// Extent i as the host reports it (0 <= i < ndims); an unsigned extent
// beyond the int64 range reads as INT64_MAX.
int64_t extent_of(const PlainArray& array, int64_t i);

template <class T> const T* data_of(const PlainArray& array)
{
    return static_cast<const T*>(array.data);
}

// The shape of an output: the extents the host is to give it.
struct OutputShape {
    int ndims;
    int64_t extent[3];
};

// "bins (input 5)"; "tolerance" for an option (number 0).
std::string label(InputName input);

// The extents of an array as the host shows them: "4x3x0".
std::string size_text(const PlainArray& array);

// A value as short as it can be written and still read back as the same T:
// "0.1", "2.5", "NaN", "-Inf".
std::string value_text(double value, bool as_single);
template <class T> std::string value_text(T value)
{
    return value_text(static_cast<double>(value), sizeof(T) == sizeof(float));
}

// An extent as an int32; larger (or negative) values are rejected with the
// input's name.
int32_t checked_extent(int64_t value, InputName input);

// The number of elements of an array, from all of its extents, as an int32.
int32_t element_count(const PlainArray& array, InputName input);

[[noreturn]] void fail_leading_too_large(const PlainArray& array, int n, InputName input);
[[noreturn]] void fail_hollow(const PlainArray& array, int n, int64_t product, InputName input);

// The first N extents; extents the host does not report read as 1. The
// product of the N extents must fit in an int32 as well.
template <int N>
std::array<int32_t, N> leading_extents(const PlainArray& array, InputName input)
{
    std::array<int32_t, N> extents;
    int64_t product = 1;
    for (int i = 0; i < N; ++i) {
        extents[i] = i < array.ndims ? checked_extent(extent_of(array, i), input) : 1;
        product *= extents[i];
        if (product > INT32_MAX) fail_leading_too_large(array, N, input);
    }
    // A later extent 0 leaves the array without the elements its leading
    // extents promise (and without data to read).
    if (static_cast<int64_t>(array.count) < product) fail_hollow(array, N, product, input);
    return extents;
}

// True when the array has extents beyond the first N whose product is above
// 1: a plug-in that reads N extents uses only the first of its slices.
bool has_extra_slices(const PlainArray& array, int n);

// True when the array has extra slices (has_extra_slices) holding elements
// beyond the `read` ones the plug-in reads.
inline bool has_unread_slices(const PlainArray& array, int n, int64_t read)
{
    return has_extra_slices(array, n) && static_cast<int64_t>(array.count) > read;
}

// True when each of the first `count` values is zero (and when there are none).
template <class T> bool all_zero(const T* values, int64_t count)
{
    for (int64_t i = 0; i < count; ++i)
        if (values[i] != 0) return false;
    return true;
}

// Warns (extraSlices) that the listed inputs hold slices beyond the first n
// extents, of which the plug-in reads only the first.
void warn_extra_slices(GatewayWarnings& warnings, const std::vector<InputName>& inputs, int n);

[[noreturn]] void fail_empty(InputName input, const char* wanted);

// Element 0 of an input; an empty one is refused with what to pass instead
// (`wanted`, e.g. "a whole number from 2 to 46340").
template <class T>
T first_element(const PlainArray& array, InputName input, const char* wanted)
{
    if (array.count < 1) fail_empty(input, wanted);
    return data_of<T>(array)[0];
}

// Whether a partner input (one whose elements pair with those of the first
// input in its layout) has the first input's first n extents, absent
// extents reading as 1. Two vectors of one length count as the same layout.
bool same_layout(const PlainArray& first, const PlainArray& partner, int n);

// Warns (partnerShape) that the partners, which hold enough elements, have
// other extents than the first input: their elements are then paired with
// the wrong ones, most often a transposed image. arrays[k] is partners[k]'s;
// `kind` names what they are ("image", or "component" of a field).
void warn_partner_shape(GatewayWarnings& warnings, const PlainArray& first, InputName first_name,
                        const std::vector<InputName>& partners,
                        const std::vector<const PlainArray*>& arrays, const char* kind = "image");

// "A (input 1), B (input 2) and D (input 4)".
std::string image_list(const std::vector<InputName>& names);

// Rejects an input that holds fewer than the `needed` elements the plug-in
// reads; `per` says what each one stands for ("one per voxel of A (input 1)").
void check_min_elements(const PlainArray& array, int64_t needed, InputName input,
                        const std::string& per);

}  // namespace regkern
