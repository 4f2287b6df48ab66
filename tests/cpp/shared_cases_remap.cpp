// Writes remapping cases for the Octave suite to replay bit for bit.
#include <random>

#include "fixed_random.h"
#include "shared_case_io.h"

namespace {

template <class T>
void write_case(const std::string& dir, const std::string& plugin, int dims, unsigned seed)
{
    std::mt19937 rng(seed);
    const std::vector<int> image = dims == 3 ? std::vector<int>{9, 7, 6} : std::vector<int>{23, 17};
    const std::vector<int> window = dims == 3 ? std::vector<int>{5, 4, 3} : std::vector<int>{7, 6};
    const size_t n = dims == 3 ? 9 * 7 * 6 : 23 * 17;
    const size_t nw = dims == 3 ? 60 : 42;
    std::vector<standin::Array> inputs;
    for (int k = 0; k < 4; ++k) {
        std::vector<T> values(n);
        for (T& v : values) v = static_cast<T>(-2 + 5 * fixed_random::unit(rng));
        inputs.push_back(standin::make_filled<T>(image, values));
    }
    inputs.push_back(standin::make_filled<T>({1, 2}, {T(-2), T(3)}));
    inputs.push_back(standin::make_scalar<T>(T(24)));
    std::vector<T> weights(nw);
    for (T& w : weights) w = static_cast<T>(fixed_random::unit(rng));
    inputs.push_back(standin::make_filled<T>(window, weights));
    inputs.push_back(standin::make_scalar<T>(T(4)));
    std::vector<const mxArray*> pointers;
    for (const standin::Array& a : inputs) pointers.push_back(a.get());
    standin::set_thread_count(3);
    shared_case::write(dir, plugin, plugin, 2, pointers);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return 2;
    const std::string dir = argv[1];
    write_case<double>(dir, "remap_vol_f64", 3, 1);
    write_case<float>(dir, "remap_vol_f32", 3, 2);
    write_case<double>(dir, "remap_plane_f64", 2, 3);
    return 0;
}
