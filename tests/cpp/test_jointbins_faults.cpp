// jointbins_f64 / jointbins_f32: argument checks, non-finite and huge
// positions, unusable bin counts and oversized inputs. Every call, rejected
// or not, leaves no host array behind.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "address_limit.h"
#include "memory.h"
#include "system_memory.h"
#include "test_jointbins_support.h"

// Address and thread sanitizers reserve terabytes of address space and fill
// large allocations, so the tests that reserve huge arrays or limit the
// address space do not run under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define JOINTBINS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define JOINTBINS_SANITIZED 1
#endif
#endif

namespace {

using jointbins_test::Case;
using jointbins_test::call;
using jointbins_test::matches;
using jointbins_test::reference;
using jointbins_test::row_case;

template <class T>
class JointbinsFaults : public ::testing::Test {
protected:
    void SetUp() override { live_ = standin::live_arrays(); }
    void TearDown() override { EXPECT_EQ(standin::live_arrays(), live_); }

    // Calls with the given inputs and expects the plug-in's error.
    void expect_error(const std::vector<const mxArray*>& inputs, int nlhs,
                      const std::string& condition, const std::string& message)
    {
        standin::CallResult result = standin::call(jointbins_test::plugin<T>(), nlhs, inputs);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.id, std::string(jointbins_test::plugin<T>()) + ":" + condition);
        EXPECT_EQ(result.message, message);
    }

    void expect_error(const Case<T>& c, const std::string& condition, const std::string& message)
    {
        standin::CallResult result = call(c);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.id, std::string(jointbins_test::plugin<T>()) + ":" + condition);
        EXPECT_EQ(result.message, message);
    }

private:
    long live_ = 0;
};
using Precisions = ::testing::Types<double, float>;
TYPED_TEST_SUITE(JointbinsFaults, Precisions);

template <class T>
std::vector<T> values_of(const standin::CallResult& result, int k)
{
    return result.outputs[k].values<T>();
}

TYPED_TEST(JointbinsFaults, CountMessagesInputCountFirst)
{
    using T = TypeParam;
    standin::Array x = standin::make_scalar<T>(1);
    const mxArray* p = x.get();
    this->expect_error({p, p, p, p}, 3, "nrhs", "five inputs are required.");
    this->expect_error({p, p, p, p, p, p}, 3, "nrhs", "five inputs are required.");
    this->expect_error({p, p, p, p}, 2, "nrhs", "five inputs are required.");
    this->expect_error({p, p, p, p, p}, 2, "nlhs", "Three outputs are required");
    this->expect_error({p, p, p, p, p}, 0, "nlhs", "Three outputs are required");
    this->expect_error({p, p, p, p, p}, 4, "nlhs", "Three outputs are required");
}

// Each message names the input as the help does, says what the call passed
// and how to fix it; the single plug-in says that scalars must be single too.
TYPED_TEST(JointbinsFaults, RejectsWrongClassComplexAndSparse)
{
    using T = TypeParam;
    using Other = typename std::conditional<std::is_same<T, double>::value, float, double>::type;
    const bool single = std::is_same<T, float>::value;
    const std::string want = single ? "single" : "double";
    const std::string other_name = single ? "double" : "single";
    const std::string all_single = single ? ": every input, scalars included, must be single" : "";
    static const char* names[] = {"image1", "image2", "lower", "upper", "bins"};
    standin::Array good = standin::make_scalar<T>(2);
    standin::Array other = standin::make_filled<Other>({1, 2}, {2, 3});
    standin::Array other_scalar = standin::make_scalar<Other>(2.5);
    standin::Array integer = standin::make_scalar<int>(2);
    standin::Array complex = standin::make_array(standin::class_of<T>(), {1, 1}, mxCOMPLEX);
    standin::Array sparse = standin::make_sparse(1, 1);
    for (int slot = 0; slot < 5; ++slot) {
        std::vector<const mxArray*> inputs(5, good.get());
        const std::string input = std::string(names[slot]) + " (input " + std::to_string(slot + 1) + ")";
        const std::string name = names[slot];
        inputs[slot] = other.get();
        this->expect_error(inputs, 3, "badClass",
                           input + " is " + other_name + "; pass " + want + "(" + name + ")" + all_single);
        inputs[slot] = other_scalar.get();
        this->expect_error(inputs, 3, "badClass",
                           input + " is " + other_name + "; pass " + want + "(" +
                               (single ? "2.5" : name) + ")" + all_single);
        inputs[slot] = integer.get();
        // the images' integer intensities are scaled as well as converted
        const std::string converted = want + "(" + name + ")";
        const std::string scaled = single ? "single(im2double(" + name + "))" : "im2double(" + name + ")";
        this->expect_error(inputs, 3, "badClass",
                           input + " is int32; pass " +
                               (slot < 2 ? scaled + " to scale its intensities to [0 1], or " +
                                               converted + " to keep them and give the range they span"
                                         : converted) +
                               all_single);
        inputs[slot] = complex.get();
        this->expect_error(inputs, 3, "complex",
                           input + " is complex " + want + "; pass real(" + name + ")");
        inputs[slot] = sparse.get();
        this->expect_error(inputs, 3, "sparse",
                           input + " is sparse double; pass " +
                               (single ? "single(full(" + name + "))" : "full(" + name + ")") +
                               all_single);
    }
}

TYPED_TEST(JointbinsFaults, RejectsShortSecondImageAndEmptyScalars)
{
    using T = TypeParam;
    this->expect_error(Case<T>{{2, 3}, {1, 2, 3, 4, 5, 6}, {5, 1}, {1, 2, 3, 4, 5}, 0, 8, 4},
                       "sizeMismatch",
                       "image2 (input 2) has 5 elements; pass at least 6, one per element of "
                       "image1 (input 1)");

    standin::Array image = standin::make_filled<T>({1, 2}, {1, 2});
    standin::Array scalar = standin::make_scalar<T>(4);
    standin::Array empty = standin::make_array(standin::class_of<T>(), {0, 1});
    static const char* messages[] = {
        "lower (input 3) is empty; pass a scalar, the intensity of the first bin's centre",
        "upper (input 4) is empty; pass a scalar, the intensity one bin past the last",
        "bins (input 5) is empty; pass a scalar from 1 to below 46341, the number of bins"};
    for (int slot = 2; slot < 5; ++slot) {
        std::vector<const mxArray*> inputs{image.get(), image.get(), scalar.get(), scalar.get(),
                                           scalar.get()};
        inputs[slot] = empty.get();
        this->expect_error(inputs, 3, "empty", messages[slot - 2]);
    }
}

// Extra elements of input 2 are ignored; the scalar inputs read element 0.
TYPED_TEST(JointbinsFaults, AcceptsLongerInputsThanRead)
{
    using T = TypeParam;
    standin::Array a = standin::make_filled<T>({1, 2}, {1, 6.5});
    standin::Array b = standin::make_filled<T>({1, 4}, {3, 8, 100, -100});
    standin::Array l = standin::make_filled<T>({1, 2}, {0, 99});
    standin::Array u = standin::make_filled<T>({2, 1}, {8, 99});
    standin::Array k = standin::make_filled<T>({1, 3}, {4, 99, 99});
    standin::CallResult result =
        standin::call(jointbins_test::plugin<T>(), 3, {a.get(), b.get(), l.get(), u.get(), k.get()});
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(values_of<T>(result, 2), (std::vector<T>{0, 0.25, 0.25, 0.5}));
}

TYPED_TEST(JointbinsFaults, RejectsUnusableBinCounts)
{
    using T = TypeParam;
    const T inf = std::numeric_limits<T>::infinity();
    const struct {
        T bins;
        const char* shown;
    } below[] = {{T(0.75), "0.75"}, {T(0), "0"}, {T(-3), "-3"},
                 {std::numeric_limits<T>::quiet_NaN(), "NaN"}, {inf, "Inf"}, {-inf, "-Inf"}};
    for (const auto& k : below)
        this->expect_error(row_case<T>({1}, {1}, 0, 8, k.bins), "badBins",
                           std::string("bins (input 5) is ") + k.shown +
                               "; pass a finite value of at least 1");
    // Values are shown as briefly as they read back exactly.
    this->expect_error(row_case<T>({1}, {1}, 0, 8, T(0.999)), "badBins",
                       "bins (input 5) is 0.999; pass a finite value of at least 1");

    const std::string too_many =
        "; pass a value below 46341, so that bins x bins cells fit in 32-bit indices";
    this->expect_error(row_case<T>({1}, {1}, 0, 8, T(46341)), "badBins",
                       "bins (input 5) is 46341" + too_many);
    this->expect_error(row_case<T>({1}, {1}, 0, 8, T(1e9)), "badBins",
                       "bins (input 5) is 1e+09" + too_many);
    this->expect_error(row_case<T>({1}, {1}, 0, 8, std::numeric_limits<T>::max()), "badBins",
                       std::string("bins (input 5) is ") +
                           (std::is_same<T, float>::value ? "3.4028235e+38"
                                                          : "1.7976931348623157e+308") +
                           too_many);
}

// A NaN position on either axis adds nothing, but the sample still counts.
TYPED_TEST(JointbinsFaults, NanSampleAddsNothing)
{
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const Case<T> c = row_case<T>({nan, 1, 5}, {3, nan, 5}, 0, 8, 4);
    standin::CallResult result = call(c);
    ASSERT_TRUE(matches(reference(c), result));
    // Only the third sample (position 2.5 on both axes) is binned, divided by 3.
    const T sixth = static_cast<T>(0.5 / 3.0);
    EXPECT_EQ(values_of<T>(result, 1), (std::vector<T>{0, 0, sixth, sixth}));
    EXPECT_EQ(values_of<T>(result, 2), (std::vector<T>{0, 0, sixth, sixth}));
}

// Infinite samples give their whole weight to the edge bin.
TYPED_TEST(JointbinsFaults, InfiniteSampleGoesWhollyToEdgeBin)
{
    using T = TypeParam;
    const T inf = std::numeric_limits<T>::infinity();
    const Case<T> c = row_case<T>({inf, -inf}, {1, inf}, 0, 8, 4);
    standin::CallResult result = call(c);
    ASSERT_TRUE(matches(reference(c), result));
    EXPECT_EQ(values_of<T>(result, 1), (std::vector<T>{0.5, 0, 0, 0.5}));
    EXPECT_EQ(values_of<T>(result, 2), (std::vector<T>{0.25, 0.25, 0, 0.5}));
    std::vector<T> joint(16, 0);
    joint[3 + 0 * 4] = joint[3 + 1 * 4] = 0.25;  // (inf, 1): position 0.5 on y
    joint[0 + 3 * 4] = 0.5;                      // (-inf, inf)
    EXPECT_EQ(values_of<T>(result, 0), joint);
}

// Beyond 2^24 (float) or 2^53 (double) x0 + 1 rounds to x0 or x0 + 2, which
// would give a weight of 0 or 2; such positions go wholly to their edge bin.
TYPED_TEST(JointbinsFaults, HugePositionKeepsWeightOne)
{
    using T = TypeParam;
    const double exact_limit = std::is_same<T, float>::value ? 16777216.0 : 9007199254740992.0;
    const T rounds_up = static_cast<T>(exact_limit + 2);  // x0 + 1 ties to x0 + 2
    const T rounds_down = static_cast<T>(exact_limit);    // x0 + 1 ties to x0
    const Case<T> c = row_case<T>({rounds_up, rounds_down, -rounds_up, std::numeric_limits<T>::max()},
                                  {1, 1, 1, 1}, 0, 4, 4);
    standin::CallResult result = call(c);
    ASSERT_TRUE(matches(reference(c), result));
    EXPECT_EQ(values_of<T>(result, 1), (std::vector<T>{0.25, 0, 0, 0.75}));
    EXPECT_EQ(values_of<T>(result, 2), (std::vector<T>{0, 1, 0, 0}));
}

// Samples inside the bins go two at a time through a fast path, the others
// (edge, below 0, NaN, infinite, huge, -0.0) one at a time through the guarded
// one. Every ordered pair of kinds, at even and at odd sample indices, with an
// odd count so that the last sample is left over, in both range directions.
TYPED_TEST(JointbinsFaults, MatchesModelWhenSamplesSwitchPaths)
{
    using T = TypeParam;
    const T inf = std::numeric_limits<T>::infinity();
    // Positions with L = 0, U = 8, K = 8 (scale 1); -0.0 is a position of -0.
    const std::vector<T> kinds = {T(2.3), T(0), T(-0.0), T(-0.25), T(7), T(7.5), T(6.75),
                                  std::nextafter(T(7), T(0)), T(9.5), T(-3.5), T(1e-30),
                                  T(-1e-30), T(0.4), T(16777218), T(-1e30), inf, -inf,
                                  std::numeric_limits<T>::quiet_NaN(), T(5.5)};
    const size_t n = kinds.size();
    std::vector<T> x, y;
    for (size_t shift = 0; shift < 2; ++shift) {
        if (shift) {  // the same sequence one sample later
            x.push_back(T(3.25));
            y.push_back(T(4.75));
        }
        for (size_t i = 0; i < n; ++i)
            for (size_t j = 0; j < n; ++j) {
                x.push_back(kinds[i]);
                x.push_back(kinds[j]);
                y.push_back(kinds[(i * 7 + j) % n]);
                y.push_back(kinds[(j * 5 + i + 3) % n]);
            }
    }
    if (x.size() % 2 == 0) {
        x.push_back(T(1.5));
        y.push_back(T(2.5));
    }
    for (const bool reversed : {false, true}) {
        // Reversed: L = 0, U = -8, so the positions are the negated values.
        std::vector<T> rx(x), ry(y);
        if (reversed)
            for (size_t k = 0; k < x.size(); ++k) {
                rx[k] = -x[k];
                ry[k] = -y[k];
            }
        const Case<T> c = row_case<T>(rx, ry, 0, reversed ? -8 : 8, 8);
        EXPECT_TRUE(matches(reference(c), call(c))) << (reversed ? "reversed" : "forward");
    }
}

// With U = L the scale is infinite: a sample at L has a NaN position and adds
// nothing, the others go wholly to the edge bin on their side. Bounds that
// are not finite give NaN positions or a scale 0. Such calls give the model's
// results, with a warning.
TYPED_TEST(JointbinsFaults, EqualOrNonFiniteBoundsWarn)
{
    using T = TypeParam;
    const std::string plugin = jointbins_test::plugin<T>();
    standin::reset_warnings();
    const Case<T> c = row_case<T>({1, 2, 3}, {3, 3, 3}, 2, 2, 4);
    standin::CallResult result = call(c);
    ASSERT_TRUE(matches(reference(c), result));
    const T third = static_cast<T>(1.0 / 3.0), two_thirds = static_cast<T>(2.0 / 3.0);
    EXPECT_EQ(values_of<T>(result, 1), (std::vector<T>{third, 0, 0, third}));
    EXPECT_EQ(values_of<T>(result, 2), (std::vector<T>{0, 0, 0, two_thirds}));
    EXPECT_TRUE(testing_support::warned(
        plugin + ":equalBounds",
        "lower (input 3) and upper (input 4) are both 2: every sample lands in an edge bin or "
        "adds nothing; pass upper > lower"));

    const T inf = std::numeric_limits<T>::infinity(), nan = std::numeric_limits<T>::quiet_NaN();
    const std::string effect =
        ": every sample adds nothing or all land in one bin; pass finite bounds, e.g. the least "
        "and greatest intensity";
    const struct {
        T lower, upper;
        std::string received;
    } bounds[] = {{nan, 8, "lower (input 3) is NaN"},
                  {0, inf, "upper (input 4) is Inf"},
                  {-inf, inf, "lower (input 3) is -Inf and upper (input 4) is Inf"}};
    for (const auto& b : bounds) {
        const Case<T> d = row_case<T>({1, 2.5, -1, 9}, {3, 0, 7.5, 2}, b.lower, b.upper, 4);
        EXPECT_TRUE(matches(reference(d), call(d)));
        EXPECT_TRUE(testing_support::warned(plugin + ":nonFiniteBounds", b.received + effect));
    }
    // No sample: that alone is said, whatever the bounds; usable bounds:
    // nothing.
    call(Case<T>{{0, 0}, {}, {0, 0}, {}, nan, 8, 4});
    EXPECT_TRUE(testing_support::warned(
        plugin + ":noSamples",
        "image1 (input 1) is empty (0x0): there are no samples, and every output is NaN (0/0); "
        "pass images that hold samples"));
    call(row_case<T>({1}, {1}, 0, 8, 4));
    EXPECT_TRUE(testing_support::warned(""));
}

// N = 0: every output is 0/0 = NaN, in the shape of the bin count. An extent
// of 2^31 - 1 fits in 32 bits.
TYPED_TEST(JointbinsFaults, EmptyImageGivesNan)
{
    using T = TypeParam;
    for (const std::vector<int>& dims : {std::vector<int>{0, 0}, std::vector<int>{3, 0, 2},
                                         std::vector<int>{65536, 65536, 0},
                                         std::vector<int>{INT32_MAX, 0}}) {
        standin::CallResult result = call(Case<T>{dims, {}, {0, 0}, {}, 0, 8, T(3.5)});
        ASSERT_TRUE(result.ok) << result.message;
        EXPECT_EQ(result.outputs[0].dims(), (std::vector<int>{3, 3}));
        for (const standin::Array& out : result.outputs)
            for (T v : out.values<T>()) EXPECT_TRUE(std::isnan(v));
    }
}

// More than 2^31 - 1 elements in input 1: refused before anything is read.
// The array is only reserved, never touched; skipped when the machine will
// not even reserve it.
TYPED_TEST(JointbinsFaults, RejectsElementCountBeyond32Bits)
{
#ifdef JOINTBINS_SANITIZED
    GTEST_SKIP() << "a sanitizer would fill the reserved array";
#endif
    using T = TypeParam;
    const size_t count = size_t(1) << 31;
    void* probe = std::calloc(count, sizeof(T));
    if (!probe) GTEST_SKIP() << "cannot reserve " << count * sizeof(T) << " bytes";
    std::free(probe);
    standin::Array big = standin::make_array(standin::class_of<T>(), {2, 1 << 30});
    standin::Array scalar = standin::make_scalar<T>(4);
    this->expect_error({big.get(), scalar.get(), scalar.get(), scalar.get(), scalar.get()}, 3,
                       "tooLarge",
                       "image1 (input 1) is 2x1073741824, more than 2^31 - 1 elements; pass a "
                       "smaller array");
}

// The system's available memory is known on every platform, and a histogram
// whose outputs need more than that is refused up front with outOfMemory.
// The memory the check sees is set a byte short of what they need
// (REGKERN_AVAILABLE_MEMORY), so that every machine meets the check.
TEST(JointbinsMemory, HistogramBeyondAvailableMemoryIsRefused)
{
    const double available = regkern::available_memory_bytes();
    ASSERT_GT(available, 0) << "available memory unknown: impossible sizes would not be refused";
    const double bins = 46340, needed = 2.0 * (bins * bins + 2.0 * bins) * sizeof(double);
    const system_memory::AvailableMemory limit(needed - 1);
    const long live = standin::live_arrays();
    const standin::CallResult result = call(row_case<double>({1}, {1}, 0, 8, bins));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.id, "jointbins_f64:outOfMemory");
    EXPECT_EQ(standin::live_arrays(), live);
}

// The figure the memory check goes by is the system's own: at least what the
// system reports available (half of it, as other processes take and give
// memory meanwhile; a figure in the wrong unit is 1024 times off), and no
// more than there is.
TEST(JointbinsMemory, AvailableMemoryAgreesWithTheSystem)
{
    const system_memory::Bounds before = system_memory::read();
    const double figure = regkern::available_memory_bytes();
    const system_memory::Bounds after = system_memory::read();
    if (!before.known || !after.known) GTEST_SKIP() << "no reading of the system's own here";
    EXPECT_GE(figure, 0.5 * std::min(before.at_least, after.at_least));
    EXPECT_LE(figure, 1.01 * std::max(before.at_most, after.at_most));
}

// An ordinary large call, whose outputs take 155 MB and whose check asks for
// twice that, is carried out.
TEST(JointbinsMemory, HistogramOfAFewHundredMegabytesIsMade)
{
    const double bins = 4400, needed = 2.0 * (bins * bins + 2.0 * bins) * sizeof(double);
    const system_memory::Bounds free_memory = system_memory::read();
    if (free_memory.known && free_memory.at_least < needed)
        GTEST_SKIP() << "only " << free_memory.at_least << " bytes available";
    const standin::CallResult result = call(row_case<double>({0.5, 2.5}, {1.5, 3.5}, 0, 4, bins));
    ASSERT_TRUE(result.ok) << result.id << ": " << result.message;
    EXPECT_EQ(result.outputs[0].dims(), (std::vector<int>{4400, 4400}));
}

#ifndef JOINTBINS_SANITIZED
// In a child process: 0 when the outputs of the largest bin count are refused
// under a 4 GiB address-space limit and the call leaves nothing behind. K =
// 46340.5 also gives 46340 bins, so it is refused for memory, not as a bin
// count.
template <class T>
int create_beyond_address_limit()
{
    if (!address_limit::cap(1LL << 32)) return 2;
    const long live = standin::live_arrays();
    bool refused = true;
    for (const T k : {T(46340), T(46340.5)}) {
        standin::CallResult result = call(row_case<T>({1}, {1}, 0, 8, k));
        // Refused by the plug-in's own memory check, or by the host.
        refused = refused && !result.ok &&
                  (result.id == "standin:outOfMemory" ||
                   result.id.find(":outOfMemory") != std::string::npos);
        if (!refused) std::fprintf(stderr, "K = %.1f: %s\n", double(k), result.id.c_str());
    }
    return refused && standin::live_arrays() == live ? 0 : 1;
}
#endif

// A bin count whose B x B output the host cannot create leaves through the
// host's error exit with nothing left behind. Run in a child process with a
// small address-space limit.
TYPED_TEST(JointbinsFaults, FailedOutputCreationLeavesNothing)
{
#ifdef JOINTBINS_SANITIZED
    GTEST_SKIP() << "address-space limits do not work under this sanitizer";
#else
    const std::string why = address_limit::unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    using T = TypeParam;
    EXPECT_EXIT(std::exit(create_beyond_address_limit<T>()), ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
