// A literal model of the remapping: one worker visits every block in
// (bz, by, bx) order, clears both histograms cell by cell, gathers them over
// the block's window and scans a whole histogram line for every voxel. It
// shares no code with the plug-ins. Out-of-range positions follow the same
// rules as the plug-ins: NaN pairs are skipped, positions are clamped into
// the bins, a NaN voxel maps to NaN.
#pragma once

#include <cmath>
#include <vector>

namespace reference {

template <class T>
struct RemapCase {
    int dims = 3;  // 3 for a volume, 2 for a plane (sz and wz are then 1)
    int sx = 1, sy = 1, sz = 1;
    int wx = 1, wy = 1, wz = 1;
    std::vector<T> a, b, c, d, weights;
    T min = 0, max = 1, bins = 2, spacing = 1;
};

template <class T>
struct RemapResult {
    std::vector<T> out_a, out_b;
};

template <class T>
T position(T v, T bin_scale, T min)
{
    return (T)((double)bin_scale * ((double)v - (double)min));
}

// Adds one sample pair (first, second) to hist, cell (i, j) at i + j * nb.
template <class T>
void gather(std::vector<T>& hist, int nb, T bins, T bin_scale, T min, T first, T second, T w)
{
    T pa = position(first, bin_scale, min);
    T pd = position(second, bin_scale, min);
    if (std::isnan(pa) || std::isnan(pd)) return;
    if (pa < 0) pa = 0; else if (std::floor((double)pa) > (double)bins - 1) pa = (T)((double)bins - 1);
    if (pd < 0) pd = 0; else if (std::floor((double)pd) > (double)bins - 1) pd = (T)((double)bins - 1);
    int a0 = (int)std::floor((double)pa);
    int d0 = (int)std::floor((double)pd);
    int a1 = a0 + 1;
    if ((double)bins - 1 < (double)(a0 + 1)) a1 = (int)((double)bins - 1);
    int d1 = d0 + 1;
    if ((double)bins - 1 < (double)(d0 + 1)) d1 = (int)((double)bins - 1);
    T fa = (T)((double)pa - (double)(T)std::floor((double)pa));
    T fd = (T)((double)pd - (double)(T)std::floor((double)pd));
    T w00 = (T)((1.0 - fa) * (1.0 - fd));
    T w01 = (T)((1.0 - fa) * (double)fd);
    T w10 = (T)((double)fa * (1.0 - fd));
    T w11 = (T)((double)fa * (double)fd);
    hist[a0 + d0 * nb] = (T)((double)hist[a0 + d0 * nb] + (double)w00 * (double)w);
    hist[a0 + d1 * nb] = (T)((double)hist[a0 + d1 * nb] + (double)w01 * (double)w);
    hist[a1 + d0 * nb] = (T)((double)hist[a1 + d0 * nb] + (double)w10 * (double)w);
    hist[a1 + d1 * nb] = (T)((double)hist[a1 + d1 * nb] + (double)w11 * (double)w);
}

// Row index of a voxel value: round_half_up of its bin position, clamped.
template <class T>
bool map_index(T v, T bin_scale, T min, int nb, int* index)
{
    T r = (T)std::floor((double)position(v, bin_scale, min) + 0.5);
    if (std::isnan(r)) return false;
    if (r < 0) r = 0;
    if (r > (T)(nb - 1)) r = (T)(nb - 1);
    *index = (int)r;
    return true;
}

// The images and outputs of one run, as the host hands them over.
template <class T>
struct RemapData {
    const T *a, *b, *c, *d, *weights;
    T *out_a, *out_b;
};

// Remaps into data.out_a and data.out_b, which hold zeros where no block
// writes; sizes and settings come from `in` (its image vectors are not read).
// slab_lo..slab_hi-1 restricts the block layers (z for a volume, block rows y
// for a plane) that are processed, as one worker of a split would.
template <class T>
void remap_into(const RemapCase<T>& in, const RemapData<T>& data, int slab_lo = 0,
                int slab_hi = 1 << 30)
{
    const int sx = in.sx, sy = in.sy, sz = in.dims == 3 ? in.sz : 1;
    const int wx = in.wx, wy = in.wy, wz = in.dims == 3 ? in.wz : 1;
    const int nb = (int)in.bins;
    const T bin_scale = (T)(((double)in.bins - 1) / ((double)in.max - (double)in.min));
    const int hx = (wx - 1) / 2, hy = (wy - 1) / 2, hz = (wz - 1) / 2;
    const T half_span = (T)(((double)in.spacing - 1) / 2.0);
    const int gx = (int)std::ceil((double)(T)sx / (double)in.spacing);
    const int gy = (int)std::ceil((double)(T)sy / (double)in.spacing);
    const int gz = in.dims == 3 ? (int)std::ceil((double)(T)sz / (double)in.spacing) : 1;

    std::vector<T> hist_ad((size_t)nb * nb), hist_cb((size_t)nb * nb);

    for (int bz = 0; bz < gz; ++bz)
        for (int by = 0; by < gy; ++by)
            for (int bx = 0; bx < gx; ++bx) {
                const int slab = in.dims == 3 ? bz : by;
                if (slab < slab_lo || slab >= slab_hi) continue;
                T cx = (T)((double)(T)bx * in.spacing + half_span);
                T cy = (T)((double)(T)by * in.spacing + half_span);
                T cz = (T)((double)(T)bz * in.spacing + half_span);
                if ((double)(sx - 1) < (double)cx) cx = (T)(sx - 1);
                if ((double)(sy - 1) < (double)cy) cy = (T)(sy - 1);
                if ((double)(sz - 1) < (double)cz) cz = (T)(sz - 1);
                int kx_lo = (int)(hx - (double)cx), kx_hi = (int)((sx - 1 + hx) - (double)cx);
                int ky_lo = (int)(hy - (double)cy), ky_hi = (int)((sy - 1 + hy) - (double)cy);
                int kz_lo = (int)(hz - (double)cz), kz_hi = (int)((sz - 1 + hz) - (double)cz);
                if (kx_lo < 0) kx_lo = 0;
                if (ky_lo < 0) ky_lo = 0;
                if (kz_lo < 0) kz_lo = 0;
                if (kx_hi > wx - 1) kx_hi = wx - 1;
                if (ky_hi > wy - 1) ky_hi = wy - 1;
                if (kz_hi > wz - 1) kz_hi = wz - 1;
                int x_lo = (int)((double)cx - half_span), x_hi = (int)((double)cx + half_span);
                int y_lo = (int)((double)cy - half_span), y_hi = (int)((double)cy + half_span);
                int z_lo = (int)((double)cz - half_span), z_hi = (int)((double)cz + half_span);
                if (x_lo < 0) x_lo = 0;
                if (y_lo < 0) y_lo = 0;
                if (z_lo < 0) z_lo = 0;
                if (x_hi > sx - 1) x_hi = sx - 1;
                if (y_hi > sy - 1) y_hi = sy - 1;
                if (z_hi > sz - 1) z_hi = sz - 1;
                if (in.dims == 2) { kz_lo = kz_hi = 0; z_lo = z_hi = 0; cz = 0; }

                for (double i = 0; i < (double)in.bins * (double)in.bins; ++i) {
                    hist_ad[(size_t)i] = 0;
                    hist_cb[(size_t)i] = 0;
                }
                for (int kz = kz_lo; kz <= kz_hi; ++kz)
                    for (int ky = ky_lo; ky <= ky_hi; ++ky)
                        for (int kx = kx_lo; kx <= kx_hi; ++kx) {
                            int px = (int)((double)cx + kx - hx);
                            int py = (int)((double)cy + ky - hy);
                            int pz = (int)((double)cz + kz - hz);
                            int q = px + py * sx + pz * sx * sy;
                            T w = data.weights[kx + ky * wx + kz * wx * wy];
                            gather(hist_ad, nb, in.bins, bin_scale, in.min, data.a[q], data.d[q], w);
                            gather(hist_cb, nb, in.bins, bin_scale, in.min, data.c[q], data.b[q], w);
                        }
                for (int z = z_lo; z <= z_hi; ++z)
                    for (int y = y_lo; y <= y_hi; ++y)
                        for (int x = x_lo; x <= x_hi; ++x) {
                            int q = x + y * sx + z * sx * sy;
                            int r;
                            if (map_index(data.a[q], bin_scale, in.min, nb, &r)) {
                                int best = 0;
                                T m = hist_ad[r + 0 * nb];
                                for (double k = 0; k < (double)in.bins; ++k)
                                    if (m < hist_ad[r + (int)k * nb]) { m = hist_ad[r + (int)k * nb]; best = (int)k; }
                                data.out_a[q] = (T)((double)(T)best / (double)bin_scale + (double)in.min);
                            } else {
                                data.out_a[q] = (T)NAN;
                            }
                            if (map_index(data.b[q], bin_scale, in.min, nb, &r)) {
                                int best = 0;
                                T m = hist_cb[0 + r * nb];
                                for (double k = 0; k < (double)in.bins; ++k)
                                    if (m < hist_cb[(int)k + r * nb]) { m = hist_cb[(int)k + r * nb]; best = (int)k; }
                                data.out_b[q] = (T)((double)(T)best / (double)bin_scale + (double)in.min);
                            } else {
                                data.out_b[q] = (T)NAN;
                            }
                        }
            }
}

template <class T>
RemapResult<T> remap(const RemapCase<T>& in, int slab_lo = 0, int slab_hi = 1 << 30)
{
    const size_t count = (size_t)in.sx * in.sy * (in.dims == 3 ? in.sz : 1);
    RemapResult<T> out;
    out.out_a.assign(count, T(0));
    out.out_b.assign(count, T(0));
    remap_into(in, RemapData<T>{in.a.data(), in.b.data(), in.c.data(), in.d.data(),
                                in.weights.data(), out.out_a.data(), out.out_b.data()},
               slab_lo, slab_hi);
    return out;
}

}  // namespace reference
