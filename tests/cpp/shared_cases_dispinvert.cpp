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
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
