// Writes joint-histogram cases for the Octave suite to replay bit for bit:
// a 3-D first image paired with a 2-D second image holding extra elements,
// a fractional bin count, samples beyond both bounds, and samples that are
// NaN, infinite or huge.
#include <limits>
#include <random>

#include "fixed_random.h"
#include "shared_case_io.h"

namespace {

template <class T>
void write_case(const std::string& dir, const std::string& plugin, unsigned seed)
{
    std::mt19937 rng(seed);
    const int n = 7 * 6 * 5;
    std::vector<T> first(n), second(n + 3);
    for (T& v : first) v = static_cast<T>(-3 + 16 * fixed_random::unit(rng));
    for (T& v : second) {
        const double a = fixed_random::unit(rng);
        v = static_cast<T>(-1 + 12 * a * fixed_random::unit(rng));
    }
    first[0] = std::numeric_limits<T>::quiet_NaN();
    first[1] = std::numeric_limits<T>::infinity();
    second[2] = -std::numeric_limits<T>::infinity();
    second[3] = std::numeric_limits<T>::max();
    first[4] = static_cast<T>(1e30);

    std::vector<standin::Array> inputs;
    inputs.push_back(standin::make_filled<T>({7, 6, 5}, first));
    inputs.push_back(standin::make_filled<T>({n + 3, 1}, second));
    inputs.push_back(standin::make_scalar<T>(T(0)));
    inputs.push_back(standin::make_scalar<T>(T(10)));
    inputs.push_back(standin::make_scalar<T>(T(12.7)));
    std::vector<const mxArray*> pointers;
    for (const standin::Array& a : inputs) pointers.push_back(a.get());
    shared_case::write(dir, plugin, plugin, 3, pointers);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return 2;
    const std::string dir = argv[1];
    write_case<double>(dir, "jointbins_f64", 11);
    write_case<float>(dir, "jointbins_f32", 12);
    return 0;
}
