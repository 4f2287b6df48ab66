// Literal model of displacement-field inversion, written loop by loop with
// the corner tables spelled out, independent of dispinvert/. T is the stored
// element type: every expression is evaluated in double and rounded to T when
// stored (nothing to round for double).
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace reference {

template <class T> T store(double v) { return static_cast<T>(v); }

// A splat point coordinate whose floor is usable as an int32.
inline bool usable_floor(double q)
{
    const double f = std::floor(q);
    return std::isfinite(q) && f >= -2147483648.0 && f <= 2147483647.0;
}

template <class T> struct VolumeResult { std::vector<T> fx, fy, fz; };
template <class T> struct PlaneResult { std::vector<T> fx, fy; };

// Volume inversion. i_outermost selects the kernel loop order i, j, k, c;
// otherwise k, j, i, c.
// Fields: std::vector or any array of values with operator[].
template <class T, class Field = std::vector<T>>
VolumeResult<T> invert_volume(const Field& bx, const Field& by, const Field& bz, int sx, int sy,
                              int sz, const std::vector<T>& h, int kx, int ky, int kz,
                              bool i_outermost)
{
    const int64_t count = int64_t(sx) * sy * sz;
    VolumeResult<T> r{std::vector<T>(count), std::vector<T>(count), std::vector<T>(count)};
    std::vector<T> s(count, T(0));
    const int hx = int(std::floor(kx / 2.0));
    const int hy = int(std::floor(ky / 2.0));
    const int hz = int(std::floor(kz / 2.0));
    static const int corner[8][3] = {{0, 0, 0}, {0, 0, 1}, {0, 1, 0}, {0, 1, 1},
                                     {1, 0, 0}, {1, 0, 1}, {1, 1, 0}, {1, 1, 1}};

    for (int z = 0; z < sz; ++z)
        for (int y = 0; y < sy; ++y)
            for (int x = 0; x < sx; ++x) {
                const int64_t n = x + int64_t(y) * sx + int64_t(z) * sx * sy;
                const T ux = -bx[n], uy = -by[n], uz = -bz[n];
                const T qx = store<T>(double(T(x)) - double(ux));
                const T qy = store<T>(double(T(y)) - double(uy));
                const T qz = store<T>(double(T(z)) - double(uz));
                if (!usable_floor(qx) || !usable_floor(qy) || !usable_floor(qz)) continue;
                const int q0x = int(std::floor(double(qx)));
                const int q0y = int(std::floor(double(qy)));
                const int q0z = int(std::floor(double(qz)));
                const T tx = store<T>(double(qx) - double(T(std::floor(double(qx)))));
                const T ty = store<T>(double(qy) - double(T(std::floor(double(qy)))));
                const T tz = store<T>(double(qz) - double(T(std::floor(double(qz)))));
                const double ax = 1 - double(tx), ay = 1 - double(ty), az = 1 - double(tz);
                const double bxw = tx, byw = ty, bzw = tz;
                const T w[8] = {store<T>((ax * ay) * az),   store<T>((ax * ay) * bzw),
                                store<T>((ax * byw) * az),  store<T>((ax * byw) * bzw),
                                store<T>((bxw * ay) * az),  store<T>((bxw * ay) * bzw),
                                store<T>((bxw * byw) * az), store<T>((bxw * byw) * bzw)};
                auto share = [&](int i, int j, int k, int c) {
                    const int64_t vx = int64_t(q0x) + corner[c][0] + i - hx;
                    const int64_t vy = int64_t(q0y) + corner[c][1] + j - hy;
                    const int64_t vz = int64_t(q0z) + corner[c][2] + k - hz;
                    const T ws = store<T>(double(w[c]) * double(h[i + j * kx + k * kx * ky]));
                    if (vx < 0 || vy < 0 || vz < 0 || vx >= sx || vy >= sy || vz >= sz) return;
                    const int64_t m = vx + vy * sx + vz * sx * sy;
                    r.fx[m] = store<T>(double(r.fx[m]) + double(ux) * double(ws));
                    r.fy[m] = store<T>(double(r.fy[m]) + double(uy) * double(ws));
                    r.fz[m] = store<T>(double(r.fz[m]) + double(uz) * double(ws));
                    s[m] = store<T>(double(s[m]) + double(ws));
                };
                if (i_outermost) {
                    for (int i = 0; i < kx; ++i)
                        for (int j = 0; j < ky; ++j)
                            for (int k = 0; k < kz; ++k)
                                for (int c = 0; c < 8; ++c) share(i, j, k, c);
                } else {
                    for (int k = 0; k < kz; ++k)
                        for (int j = 0; j < ky; ++j)
                            for (int i = 0; i < kx; ++i)
                                for (int c = 0; c < 8; ++c) share(i, j, k, c);
                }
            }

    const double eps = double(T(1e-8));
    for (int z = 0; z < sz; ++z)
        for (int y = 0; y < sy; ++y)
            for (int x = 0; x < sx; ++x) {
                const int64_t n = x + int64_t(y) * sx + int64_t(z) * sx * sy;
                r.fx[n] = store<T>(double(r.fx[n]) / (double(s[n]) + eps));
                r.fy[n] = store<T>(double(r.fy[n]) / (double(s[n]) + eps));
                r.fz[n] = store<T>(double(r.fz[n]) / (double(s[n]) + eps));
            }
    return r;
}

// Plane inversion in double; kernel loops j, i, c.
template <class Field = std::vector<double>>
PlaneResult<double> invert_plane(const Field& bx, const Field& by, int sx, int sy,
                                 const std::vector<double>& h, int kx, int ky)
{
    const int64_t count = int64_t(sx) * sy;
    PlaneResult<double> r{std::vector<double>(count), std::vector<double>(count)};
    std::vector<double> s(count, 0.0);
    const int hx = int(std::floor(kx / 2.0));
    const int hy = int(std::floor(ky / 2.0));
    static const int corner[4][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}};

    for (int y = 0; y < sy; ++y)
        for (int x = 0; x < sx; ++x) {
            const int64_t n = x + int64_t(y) * sx;
            const double ux = -bx[n], uy = -by[n];
            const double qx = x - ux, qy = y - uy;
            if (!usable_floor(qx) || !usable_floor(qy)) continue;
            const int q0x = int(std::floor(qx)), q0y = int(std::floor(qy));
            const double tx = qx - std::floor(qx), ty = qy - std::floor(qy);
            const double w[4] = {(1 - tx) * (1 - ty), (1 - tx) * ty, tx * (1 - ty), tx * ty};
            for (int j = 0; j < ky; ++j)
                for (int i = 0; i < kx; ++i)
                    for (int c = 0; c < 4; ++c) {
                        const int64_t vx = int64_t(q0x) + corner[c][0] + i - hx;
                        const int64_t vy = int64_t(q0y) + corner[c][1] + j - hy;
                        const double ws = w[c] * h[i + j * kx];
                        if (vx < 0 || vy < 0 || vx >= sx || vy >= sy) continue;
                        const int64_t m = vx + vy * sx;
                        r.fx[m] += ux * ws;
                        r.fy[m] += uy * ws;
                        s[m] += ws;
                    }
        }

    for (int y = 0; y < sy; ++y)
        for (int x = 0; x < sx; ++x) {
            const int64_t n = x + int64_t(y) * sx;
            r.fx[n] = r.fx[n] / (s[n] + 1e-8);
            r.fy[n] = r.fy[n] / (s[n] + 1e-8);
        }
    return r;
}

}  // namespace reference
