// Writes field-inversion cases for the Octave suite to replay bit for bit.
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "fixed_random.h"
#include "shared_case_io.h"

namespace {

std::mt19937 rng(5150);

// Fractional displacements of either sign, some beyond the grid.
template <class T> std::vector<T> field(int count)
{
    std::vector<T> values(static_cast<size_t>(count));
    for (T& v : values) v = static_cast<T>(fixed_random::uniform(rng, -4.0, 4.0));
    return values;
}

template <class T> std::vector<T> kernel(int count)
{
    std::vector<T> values(static_cast<size_t>(count));
    for (T& v : values) v = static_cast<T>(fixed_random::uniform(rng, -0.2, 1.0));
    return values;
}

int product(const std::vector<int>& dims)
{
    int n = 1;
    for (int d : dims) n *= d;
    return n;
}

template <class T>
void write_volume(const std::string& dir, const std::string& file, const std::string& plugin,
                  const std::vector<int>& grid, const std::vector<int>& kdims,
                  bool hostile = false)
{
    const int n = product(grid);
    auto bx = field<T>(n), by = field<T>(n), bz = field<T>(n);
    if (hostile) {
        bx[0] = std::numeric_limits<T>::quiet_NaN();
        by[1] = std::numeric_limits<T>::infinity();
        bz[2] = T(-2147483648.0);
        bx[3] = T(1e30);
    }
    auto ax = standin::make_filled<T>(grid, bx);
    auto ay = standin::make_filled<T>(grid, by);
    auto az = standin::make_filled<T>(grid, bz);
    auto ak = standin::make_filled<T>(kdims, kernel<T>(product(kdims)));
    shared_case::write(dir, file, plugin, 3, {ax.get(), ay.get(), az.get(), ak.get()});
}

void write_plane(const std::string& dir, const std::string& file, const std::vector<int>& grid,
                 const std::vector<int>& kdims)
{
    const int n = product(grid);
    auto ax = standin::make_filled<double>(grid, field<double>(n));
    auto ay = standin::make_filled<double>(grid, field<double>(n));
    auto ak = standin::make_filled<double>(kdims, kernel<double>(product(kdims)));
    shared_case::write(dir, file, "dispinvert_plane_f64", 2, {ax.get(), ay.get(), ak.get()});
}

// A refinement: b, a start field near -b, the steps and the tolerance; all
// N + 2 outputs (field, residual, steps done) are compared.
template <class T>
void write_refinement(const std::string& dir, const std::string& file, const std::string& plugin,
                      const std::vector<int>& grid, T steps, T tol, bool hostile = false)
{
    const int axes = static_cast<int>(grid.size());
    const int n = product(grid);
    std::vector<std::vector<T>> b, start;
    for (int a = 0; a < axes; ++a) {
        b.push_back(field<T>(n));
        start.push_back(field<T>(n));
        for (int k = 0; k < n; ++k) start[a][k] = static_cast<T>(-0.25 * start[a][k] - b[a][k]);
    }
    if (hostile) {
        b[0][0] = std::numeric_limits<T>::quiet_NaN();
        b[1][n - 1] = -std::numeric_limits<T>::infinity();
        start[0][2] = std::numeric_limits<T>::infinity();
        start[1][3] = T(1e30);
    }
    std::vector<standin::Array> arrays;
    for (const auto& component : b) arrays.push_back(standin::make_filled<T>(grid, component));
    for (const auto& component : start) arrays.push_back(standin::make_filled<T>(grid, component));
    arrays.push_back(standin::make_filled<T>({1, 1}, {steps}));
    arrays.push_back(standin::make_filled<T>({1, 1}, {tol}));
    std::vector<const mxArray*> inputs;
    for (const auto& array : arrays) inputs.push_back(array.get());
    shared_case::write(dir, file, plugin, axes + 2, inputs);
}

// invert_field's compiled call: b of moderate displacements (NaN and Inf
// in the hostile case), a kernel, steps, tolerance, method and threads; F
// and the summary are compared.
template <class T>
void write_invert(const std::string& dir, const std::string& file, const std::string& plugin,
                  const std::vector<int>& grid, const std::vector<int>& kdims, T steps, T tol,
                  T method, bool hostile = false)
{
    const int axes = static_cast<int>(grid.size());
    const int n = product(grid);
    std::vector<standin::Array> arrays;
    for (int a = 0; a < axes; ++a) {
        std::vector<T> b = field<T>(n);
        for (T& v : b) v = static_cast<T>(0.2 * v);
        if (hostile) b[(a * 5) % n] = a == 1 ? -std::numeric_limits<T>::infinity()
                                             : std::numeric_limits<T>::quiet_NaN();
        arrays.push_back(standin::make_filled<T>(grid, b));
    }
    arrays.push_back(standin::make_filled<T>(kdims, kernel<T>(product(kdims))));
    for (T setting : {steps, tol, method, T(2)})
        arrays.push_back(standin::make_filled<T>({1, 1}, {setting}));
    std::vector<const mxArray*> inputs;
    for (const auto& array : arrays) inputs.push_back(array.get());
    shared_case::write(dir, file, plugin, axes + 1, inputs);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <case folder>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    try {
        std::filesystem::create_directories(dir);
        write_volume<double>(dir, "dispinvert_vol_f64_random", "dispinvert_vol_f64", {7, 5, 4},
                             {3, 2, 4});
        write_volume<double>(dir, "dispinvert_vol_f64_hostile", "dispinvert_vol_f64", {4, 4, 3},
                             {5, 5, 5}, true);
        write_volume<float>(dir, "dispinvert_vol_f32_random", "dispinvert_vol_f32", {6, 5, 4},
                            {4, 3, 2});
        write_volume<float>(dir, "dispinvert_vol_f32_kernel_2d", "dispinvert_vol_f32", {5, 6, 3},
                            {3, 3}, true);
        write_plane(dir, "dispinvert_plane_f64_random", {9, 7}, {3, 4});
        write_plane(dir, "dispinvert_plane_f64_first_plane", {5, 4, 2}, {3, 3, 2});
        write_refinement<double>(dir, "dispinvert_refine_vol_f64_random",
                                 "dispinvert_refine_vol_f64", {7, 5, 4}, 3.0, 0.0);
        write_refinement<double>(dir, "dispinvert_refine_vol_f64_hostile",
                                 "dispinvert_refine_vol_f64", {4, 4, 3}, 4.0, 0.5, true);
        write_refinement<float>(dir, "dispinvert_refine_vol_f32_hostile",
                                "dispinvert_refine_vol_f32", {6, 5, 4}, 3.0f, 0.0f, true);
        write_refinement<double>(dir, "dispinvert_refine_plane_f64_random",
                                 "dispinvert_refine_plane_f64", {9, 7}, 5.0, 0.0);
        write_invert<double>(dir, "invert_field_vol_f64_hostile", "invert_field_vol_f64",
                             {7, 5, 4}, {2, 2, 2}, 4.0, 1e-6, 0.0, true);
        write_invert<double>(dir, "invert_field_vol_f64_newton", "invert_field_vol_f64",
                             {6, 5, 4}, {1, 1}, 3.0, 0.0, 1.0);
        write_invert<float>(dir, "invert_field_vol_f32_hostile", "invert_field_vol_f32",
                            {6, 5, 4}, {3, 1, 2}, 5.0f, 1e-4f, 0.0f, true);
        write_invert<double>(dir, "invert_field_plane_f64_random", "invert_field_plane_f64",
                             {9, 7}, {3, 3}, 6.0, 1e-5, 0.0);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
