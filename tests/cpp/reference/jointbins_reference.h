// Literal model of the joint histogram, written out once per precision with
// its own loops and rounding points, independent of the plug-in code. The
// tests compare the plug-ins with it bit for bit; benchmarks use it as the
// baseline.
//
// Besides the plain algorithm it models the guarded cases: a NaN position on
// either axis adds nothing (the sample still counts in N); an axis whose
// upper neighbour x0 + 1 is not exactly one above x0 (infinite or huge
// positions) gives weight 1 to x0 and 0 to x1.
#pragma once

#include <cmath>
#include <vector>

namespace jointbins_reference {

template <class T>
struct Histograms {
    std::vector<T> joint;   // B x B, cell (i, j) at i + j * B
    std::vector<T> first;   // B
    std::vector<T> second;  // B
};

// Images: std::vector or any array of samples with size() and operator[].
template <class Images = std::vector<double>>
Histograms<double> run_f64(const Images& image1, const Images& image2, double L, double U,
                           double K)
{
    const int n = static_cast<int>(image1.size());
    const int B = static_cast<int>(K);
    Histograms<double> h;
    h.joint.assign(static_cast<size_t>(B) * B, 0.0);
    h.first.assign(B, 0.0);
    h.second.assign(B, 0.0);
    const double s = K / (U - L);

    for (int k = 0; k < n; ++k) {
        const double x = image1[k];
        double px = s * (x - L);
        double x0 = std::floor(px);
        double x1 = x0 + 1;
        double gx0 = x1 - px;
        double gx1 = px - x0;

        const double y = image2[k];
        double py = s * (y - L);
        double y0 = std::floor(py);
        double y1 = y0 + 1;
        double gy0 = y1 - py;
        double gy1 = py - y0;

        if (std::isnan(px) || std::isnan(py)) continue;
        if (x1 - x0 != 1) { gx0 = 1; gx1 = 0; }
        if (y1 - y0 != 1) { gy0 = 1; gy1 = 0; }

        double* bins[4] = {&x0, &x1, &y0, &y1};
        for (double* b : bins) {
            if (*b < 0) *b = 0;
            else if (*b > B - 1) *b = B - 1;
        }
        const int i0 = static_cast<int>(x0), i1 = static_cast<int>(x1);
        const int j0 = static_cast<int>(y0), j1 = static_cast<int>(y1);

        h.joint[i0 + j0 * B] += gx0 * gy0;
        h.joint[i1 + j0 * B] += gx1 * gy0;
        h.joint[i0 + j1 * B] += gx0 * gy1;
        h.joint[i1 + j1 * B] += gx1 * gy1;

        h.first[i0] += gx0;
        h.first[i1] += gx1;
        h.second[j0] += gy0;
        h.second[j1] += gy1;
    }

    for (int i = 0; i < B; ++i) {
        h.first[i] /= n;
        h.second[i] /= n;
    }
    for (int i = 0; i < B * B; ++i) h.joint[i] /= n;
    return h;
}

// Every working value is a float; each expression is evaluated in double
// from float operands and rounded to float when stored.
template <class Images = std::vector<float>>
Histograms<float> run_f32(const Images& image1, const Images& image2, float L, float U, float K)
{
    const int n = static_cast<int>(image1.size());
    const int B = static_cast<int>(K);
    Histograms<float> h;
    h.joint.assign(static_cast<size_t>(B) * B, 0.0f);
    h.first.assign(B, 0.0f);
    h.second.assign(B, 0.0f);
    const double range = static_cast<double>(U) - static_cast<double>(L);
    const float s = static_cast<float>(static_cast<double>(K) / range);
    const float last = static_cast<float>(B - 1);

    for (int k = 0; k < n; ++k) {
        const double dx = static_cast<double>(image1[k]) - static_cast<double>(L);
        float px = static_cast<float>(static_cast<double>(s) * dx);
        float x0 = static_cast<float>(std::floor(static_cast<double>(px)));
        float x1 = static_cast<float>(static_cast<double>(x0) + 1.0);
        float gx0 = static_cast<float>(static_cast<double>(x1) - static_cast<double>(px));
        float gx1 = static_cast<float>(static_cast<double>(px) - static_cast<double>(x0));

        const double dy = static_cast<double>(image2[k]) - static_cast<double>(L);
        float py = static_cast<float>(static_cast<double>(s) * dy);
        float y0 = static_cast<float>(std::floor(static_cast<double>(py)));
        float y1 = static_cast<float>(static_cast<double>(y0) + 1.0);
        float gy0 = static_cast<float>(static_cast<double>(y1) - static_cast<double>(py));
        float gy1 = static_cast<float>(static_cast<double>(py) - static_cast<double>(y0));

        if (std::isnan(px) || std::isnan(py)) continue;
        if (static_cast<double>(x1) - static_cast<double>(x0) != 1.0) { gx0 = 1; gx1 = 0; }
        if (static_cast<double>(y1) - static_cast<double>(y0) != 1.0) { gy0 = 1; gy1 = 0; }

        float* bins[4] = {&x0, &x1, &y0, &y1};
        for (float* b : bins) {
            if (*b < 0) *b = 0;
            else if (*b > last) *b = last;
        }
        const int i0 = static_cast<int>(x0), i1 = static_cast<int>(x1);
        const int j0 = static_cast<int>(y0), j1 = static_cast<int>(y1);

        auto add = [](float& cell, double addend) {
            cell = static_cast<float>(static_cast<double>(cell) + addend);
        };
        add(h.joint[i0 + j0 * B], static_cast<double>(gx0) * static_cast<double>(gy0));
        add(h.joint[i1 + j0 * B], static_cast<double>(gx1) * static_cast<double>(gy0));
        add(h.joint[i0 + j1 * B], static_cast<double>(gx0) * static_cast<double>(gy1));
        add(h.joint[i1 + j1 * B], static_cast<double>(gx1) * static_cast<double>(gy1));

        add(h.first[i0], gx0);
        add(h.first[i1], gx1);
        add(h.second[j0], gy0);
        add(h.second[j1], gy1);
    }

    const double count = static_cast<double>(static_cast<float>(n));
    for (int i = 0; i < B; ++i) {
        h.first[i] = static_cast<float>(static_cast<double>(h.first[i]) / count);
        h.second[i] = static_cast<float>(static_cast<double>(h.second[i]) / count);
    }
    for (int i = 0; i < B * B; ++i)
        h.joint[i] = static_cast<float>(static_cast<double>(h.joint[i]) / count);
    return h;
}

}  // namespace jointbins_reference
