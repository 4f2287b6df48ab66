// The field inversion's checks, shared by every front end: the inputs'
// shapes, the warnings about calls that can only be a mistake, and the plan
// that the run (dispinvert_core.h) carries out. Nothing here calls a host.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "dispinvert_field.h"
#include "plain_array.h"

namespace regkern {

// The inputs as messages name them (the names of the plug-ins' help): the
// components of the backward field, one per axis, then the kernel H (input
// N + 1 of an N-D field).
constexpr InputName dispinvert_volume_input_names[4] = {{"bx", 1}, {"by", 2}, {"bz", 3}, {"H", 4}};
constexpr InputName dispinvert_plane_input_names[3] = {{"bx", 1}, {"by", 2}, {"H", 3}};

constexpr CallSignature dispinvert_volume_signature = {
    4, "Four inputs are required.", 3, "Three outputs are required", dispinvert_volume_input_names};
constexpr CallSignature dispinvert_plane_signature = {
    3, "Three inputs are required.", 2, "Two outputs are required", dispinvert_plane_input_names};

template <int N>
constexpr const CallSignature& dispinvert_signature =
    N == 3 ? dispinvert_volume_signature : dispinvert_plane_signature;

// A checked call: the inversion to carry out (its forward field still
// unset), the outputs' shape, and whether the outputs must start at zero
// (the run writes every point unless the kernel is empty). Plain data: a
// front end may leave through its host's error exit while it holds one.
template <class T, int N>
struct InversionPlan {
    FieldInversion<T, N> job;
    OutputShape output[N];
    bool zero_fill;
};
static_assert(std::is_trivially_destructible<InversionPlan<float, 3>>::value &&
                  std::is_trivially_destructible<InversionPlan<double, 2>>::value,
              "a plan must survive the host's error exit");

// Calls that are carried out but can only be a mistake: inputs with slices
// beyond the N extents read, and a kernel that spreads nothing (every output
// is then 0).
template <class T, int N>
void warn_inversion_call(const PlainArray* in, int32_t grid_count, int32_t kernel_count,
                         const T* kernel, GatewayWarnings& warnings)
{
    const InputName* names = dispinvert_signature<N>.names;
    std::vector<InputName> sliced;
    for (int a = 0; a <= N; ++a)
        if (has_unread_slices(in[a], N, a == N ? kernel_count : grid_count))
            sliced.push_back(names[a]);
    warn_extra_slices(warnings, sliced, N);

    if (grid_count > 0 && all_zero(kernel, kernel_count))
        warn(warnings, "zeroKernel",
             label(names[N]) + " is " +
                 (kernel_count == 0 ? "empty (" + size_text(in[N]) + ")" : "all zero") +
                 ": no share is spread and every output is 0; pass a kernel with a nonzero "
                 "element, e.g. 1 (no spreading)");
}

// Checks a call of the N-D field inversion on its N + 1 inputs (of element
// type T, in call order) and plans it.
template <class T, int N>
InversionPlan<T, N> check_inversion(const PlainArray* in, GatewayWarnings& warnings)
{
    const InputName* names = dispinvert_signature<N>.names;
    InversionPlan<T, N> plan = {};
    FieldInversion<T, N>& job = plan.job;
    for (int a = 0; a < N; ++a) job.backward[a] = data_of<T>(in[a]);
    job.kernel = data_of<T>(in[N]);

    // Extents a volume input does not report read as 1, so a plane field or
    // a 2-D kernel is a single slice. leading_extents also refuses an input
    // that holds fewer elements than its own leading extents promise.
    job.grid = leading_extents<N>(in[0], names[0]);
    job.box_hi = job.grid;  // the whole grid: origin and box_lo stay 0
    job.kernel_extent = leading_extents<N>(in[N], names[N]);
    const int32_t grid_count = extent_product<N>(job.grid);
    const int32_t kernel_count = extent_product<N>(job.kernel_extent);
    const std::string per = "one per point of the grid of " + label(names[0]);
    for (int a = 1; a < N; ++a) check_min_elements(in[a], grid_count, names[a], per);
    warn_inversion_call<T, N>(in, grid_count, kernel_count, job.kernel, warnings);

    OutputShape shape = {N, {0, 0, 0}};
    for (int a = 0; a < N; ++a) shape.extent[a] = job.grid[a];
    for (int a = 0; a < N; ++a) plan.output[a] = shape;
    plan.zero_fill = kernel_count == 0;
    return plan;
}

}  // namespace regkern
