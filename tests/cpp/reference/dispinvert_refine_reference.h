// Literal model of the refinement of a forward field, written loop by loop,
// independent of dispinvert/: repeat F <- -b(q + F(q)), b sampled
// (bi/tri)linearly with every coordinate clamped to the grid, until the
// largest finite residual |F(q) + b(q + F(q))| is at most the tolerance or
// the steps run out. T is the stored element type: the sample, the new F and
// the residual are stored as T, everything between is evaluated in double.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace reference {

template <class T> struct Refined {
    std::vector<std::vector<T>> field;  // the field returned, one vector per component
    std::vector<T> residual;            // its residual
    int steps_done = 0;
    std::vector<double> largest;        // the largest finite residual of F_0, F_1, ...
};

// grid: 2 or 3 extents; b and start: one vector per component.
template <class T>
Refined<T> refine_field(const std::vector<std::vector<T>>& b,
                        const std::vector<std::vector<T>>& start, const std::vector<int>& grid,
                        int steps, double tolerance)
{
    const int n_axes = static_cast<int>(grid.size());
    int64_t count = 1;
    for (int e : grid) count *= e;
    Refined<T> out;
    std::vector<std::vector<T>> f = start;
    for (int k = 0;; ++k) {
        std::vector<std::vector<T>> next = f;
        std::vector<T> r(static_cast<size_t>(count));
        double largest = 0;
        for (int64_t n = 0; n < count; ++n) {
            // Grid coordinates of point n, and the corners around q + F(q).
            int64_t rest = n;
            int lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
            double t[3] = {0, 0, 0};
            for (int a = 0; a < n_axes; ++a) {
                const int p = static_cast<int>(rest % grid[a]);
                rest /= grid[a];
                double x = double(p) + double(f[a][n]);
                if (!(x > 0)) x = 0;  // NaN too
                if (!(x < grid[a] - 1)) x = grid[a] - 1;
                lo[a] = static_cast<int>(std::floor(x));
                hi[a] = std::min(lo[a] + 1, grid[a] - 1);
                t[a] = x - lo[a];
            }
            double squares = 0;
            std::vector<T> sample(n_axes);
            for (int a = 0; a < n_axes; ++a) {
                // Products per corner, corner c taking axis i's upper index
                // where bit i of c is set (x the lowest bit).
                double c[8];
                for (int corner = 0; corner < (1 << n_axes); ++corner) {
                    int64_t index = 0, stride = 1;
                    double w = 1;
                    for (int i = 0; i < n_axes; ++i) {
                        const bool upper = (corner >> i) & 1;
                        index += (upper ? hi[i] : lo[i]) * stride;
                        stride *= grid[i];
                        const double factor = upper ? t[i] : 1 - t[i];
                        w = i == 0 ? factor : w * factor;
                    }
                    c[corner] = w * double(b[a][index]);
                }
                // Summed in pairs along x, then y, then z.
                double sum = (c[0] + c[1]) + (c[2] + c[3]);
                if (n_axes == 3) sum = sum + ((c[4] + c[5]) + (c[6] + c[7]));
                sample[a] = static_cast<T>(sum);
                const double d = double(f[a][n]) + double(sample[a]);
                squares = a == 0 ? d * d : squares + d * d;
            }
            r[n] = static_cast<T>(std::sqrt(squares));
            if (std::isfinite(r[n])) {
                largest = std::max(largest, double(r[n]));
                for (int a = 0; a < n_axes; ++a) next[a][n] = static_cast<T>(-sample[a]);
            }
        }
        out.largest.push_back(largest);
        if (largest <= tolerance || k == steps) {
            out.field = f;
            out.residual = r;
            out.steps_done = k;
            return out;
        }
        f = next;
    }
}

}  // namespace reference
