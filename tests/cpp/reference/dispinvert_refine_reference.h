// Literal model of the refinement of a forward field, written loop by loop,
// independent of dispinvert/: repeat F <- -b(q + F(q)), b sampled
// (bi/tri)linearly with every coordinate clamped to the grid, until the
// largest finite residual |F(q) + b(q + F(q))| is at most the tolerance or
// the steps run out. T is the stored element type: the sample, the new F and
// the residual are stored as T, everything between is evaluated in double.
// With newton set, the step is F <- F - J^-1 (F + b(q + F)), J = I + the
// interpolant's gradient (zero along an axis whose coordinate was clamped),
// solved by cofactors; where det J < 1/16 (or is not finite) the plain step.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdint>
#include <vector>

namespace reference {

template <class T> struct Refined {
    std::vector<std::vector<T>> field;  // the field returned, one vector per component
    std::vector<T> residual;            // its residual
    int steps_done = 0;
    std::vector<double> largest;        // the largest finite residual of F_0, F_1, ...
};

// The Newton step at point n from J and g: by cofactors, each sum left to
// right; the plain step (already in next) where det J < 1/16 or is not
// finite, and the point's F kept where a new value is not finite in T.
template <class T>
void newton_step(const double (&J)[3][3], const double (&g)[3], int n_axes,
                 const std::vector<std::vector<T>>& f, int64_t n, std::vector<std::vector<T>>& next)
{
    double C[3][3], det;
    if (n_axes == 2) {
        C[0][0] = J[1][1], C[0][1] = -J[1][0], C[1][0] = -J[0][1], C[1][1] = J[0][0];
        det = J[0][0] * J[1][1] - J[0][1] * J[1][0];
    } else {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                C[i][j] = J[(i + 1) % 3][(j + 1) % 3] * J[(i + 2) % 3][(j + 2) % 3] -
                          J[(i + 1) % 3][(j + 2) % 3] * J[(i + 2) % 3][(j + 1) % 3];
        det = J[0][0] * C[0][0] + J[0][1] * C[0][1];
        det = det + J[0][2] * C[0][2];
    }
    if (!(det >= 1.0 / 16 && std::isfinite(det))) return;
    std::vector<T> stepped(n_axes);
    for (int a = 0; a < n_axes; ++a) {
        double numerator;
        if (n_axes == 2) {
            // (-x) * y + z is z - x * y exactly; written as the difference.
            numerator = a == 0 ? J[1][1] * g[0] - J[0][1] * g[1] : J[0][0] * g[1] - J[1][0] * g[0];
        } else {
            numerator = C[0][a] * g[0] + C[1][a] * g[1];
            numerator = numerator + C[2][a] * g[2];
        }
        stepped[a] = static_cast<T>(double(f[a][n]) - numerator / det);
        if (!std::isfinite(stepped[a])) {
            for (int i = 0; i < n_axes; ++i) next[i][n] = f[i][n];  // keeps its value
            return;
        }
    }
    for (int a = 0; a < n_axes; ++a) next[a][n] = stepped[a];
}

// grid: 2 or 3 extents; b and start: one vector per component.
template <class T>
Refined<T> refine_field(const std::vector<std::vector<T>>& b,
                        const std::vector<std::vector<T>>& start, const std::vector<int>& grid,
                        int steps, double tolerance, bool newton = false)
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
            bool clamped[3] = {false, false, false};
            for (int a = 0; a < n_axes; ++a) {
                const int p = static_cast<int>(rest % grid[a]);
                rest /= grid[a];
                double x = double(p) + double(f[a][n]);
                clamped[a] = !(x >= 0 && x <= grid[a] - 1);
                if (!(x > 0)) x = 0;  // NaN too
                if (!(x < grid[a] - 1)) x = grid[a] - 1;
                lo[a] = static_cast<int>(std::floor(x));
                hi[a] = std::min(lo[a] + 1, grid[a] - 1);
                t[a] = x - lo[a];
            }
            double squares = 0;
            std::vector<T> sample(n_axes);
            double J[3][3] = {}, g[3] = {};
            // Element of corner c: axis i's upper index where bit i is set.
            const auto value_at = [&](const std::vector<T>& component, int corner) {
                int64_t index = 0, stride = 1;
                for (int i = 0; i < n_axes; ++i) {
                    index += (((corner >> i) & 1) ? hi[i] : lo[i]) * stride;
                    stride *= grid[i];
                }
                return double(component[index]);
            };
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
                g[a] = d;
                // Derivative along axis j: the differences across the cell's
                // pairs of corners (c without bit j, c with it) in order of
                // c, each weighed by the other axes' factors, summed in pairs.
                for (int j = 0; j < n_axes; ++j) {
                    double term[4];
                    int m = 0;
                    for (int corner = 0; corner < (1 << n_axes); ++corner) {
                        if ((corner >> j) & 1) continue;
                        const int top = corner | (1 << j);
                        double w = 1;
                        bool first = true;
                        for (int i = 0; i < n_axes; ++i) {
                            if (i == j) continue;
                            const double factor = ((corner >> i) & 1) ? t[i] : 1 - t[i];
                            w = first ? factor : w * factor;
                            first = false;
                        }
                        term[m++] = w * (value_at(b[a], top) - value_at(b[a], corner));
                    }
                    const double slope = n_axes == 2 ? term[0] + term[1]
                                                     : (term[0] + term[1]) + (term[2] + term[3]);
                    const double along = clamped[j] ? 0.0 : slope;
                    J[a][j] = a == j ? 1.0 + along : along;
                }
            }
            r[n] = static_cast<T>(std::sqrt(squares));
            if (std::isnan(r[n])) r[n] = std::numeric_limits<T>::quiet_NaN();  // one NaN on every processor
            if (std::isfinite(r[n])) {
                largest = std::max(largest, double(r[n]));
                for (int a = 0; a < n_axes; ++a) next[a][n] = static_cast<T>(-sample[a]);
                if (newton) newton_step(J, g, n_axes, f, n, next);
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
