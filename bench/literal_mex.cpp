// The literal models of tests/cpp/reference as Octave MEX files, so that the
// Octave benchmark times them the way it times the plug-ins: called from
// octave-cli, tic/toc round the call. Built once per plug-in as
// literal_<plug-in>, with LITERAL_PLUGIN naming the plug-in (see
// bench/CMakeLists.txt). They check nothing: the benchmark passes them the
// same valid inputs as the plug-ins.
//
// The remapping model runs as the plug-in's first description does: it asks
// the host for "maxNumCompThreads", starts that many threads, each on its own
// share of the block layers and with its own histograms, writing straight
// into the host's zero-filled outputs. The field inversion and the joint
// histogram run on the calling thread; their models return their own
// vectors, which are copied into the outputs.
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mex.h"
#include "reference/dispinvert_reference.h"
#include "reference/jointbins_reference.h"
#include "reference/remap_reference.h"

namespace {

// A host array's data as the models index it, without a copy.
template <class T>
struct HostSamples {
    const T* data;
    size_t count;
    const T& operator[](size_t i) const { return data[i]; }
    size_t size() const { return count; }
};

template <class T>
HostSamples<T> samples(const mxArray* array)
{
    return HostSamples<T>{static_cast<const T*>(mxGetData(array)), mxGetNumberOfElements(array)};
}

template <class T>
T first(const mxArray* array)
{
    return static_cast<const T*>(mxGetData(array))[0];
}

int extent(const mxArray* array, int axis)
{
    return axis < static_cast<int>(mxGetNumberOfDimensions(array))
               ? static_cast<int>(mxGetDimensions(array)[axis])
               : 1;
}

template <class T>
mxClassID class_of()
{
    return sizeof(T) == 4 ? mxSINGLE_CLASS : mxDOUBLE_CLASS;
}

template <class T>
T* create_like(mxArray** slot, const mxArray* model)
{
    *slot = mxCreateNumericArray(mxGetNumberOfDimensions(model), mxGetDimensions(model),
                                 class_of<T>(), mxREAL);
    return static_cast<T*>(mxGetData(*slot));
}

template <class T>
void copy_out(mxArray** slot, const mxArray* model, const std::vector<T>& values)
{
    T* out = create_like<T>(slot, model);
    std::memcpy(out, values.data(), values.size() * sizeof(T));
}

int host_threads()
{
    mxArray* result = nullptr;
    mxArray* none = nullptr;
    mexCallMATLAB(1, &result, 0, &none, "maxNumCompThreads");
    const int n = static_cast<int>(mxGetScalar(result));
    return n < 1 ? 1 : n;
}

template <class T>
void remap(int dims, mxArray* plhs[], const mxArray* prhs[])
{
    reference::RemapCase<T> c;
    c.dims = dims;
    c.sx = extent(prhs[0], 0);
    c.sy = extent(prhs[0], 1);
    c.sz = dims == 3 ? extent(prhs[0], 2) : 1;
    c.wx = extent(prhs[6], 0);
    c.wy = extent(prhs[6], 1);
    c.wz = dims == 3 ? extent(prhs[6], 2) : 1;
    const T* range = static_cast<const T*>(mxGetData(prhs[4]));
    c.min = range[0];
    c.max = range[1];
    c.bins = first<T>(prhs[5]);
    c.spacing = first<T>(prhs[7]);
    reference::RemapData<T> data;
    data.a = static_cast<const T*>(mxGetData(prhs[0]));
    data.b = static_cast<const T*>(mxGetData(prhs[1]));
    data.c = static_cast<const T*>(mxGetData(prhs[2]));
    data.d = static_cast<const T*>(mxGetData(prhs[3]));
    data.weights = static_cast<const T*>(mxGetData(prhs[6]));
    data.out_a = create_like<T>(&plhs[0], prhs[0]);
    data.out_b = create_like<T>(&plhs[1], prhs[0]);
    const int threads = host_threads();
    const double blocks_along = (dims == 3 ? c.sz : c.sy) / static_cast<double>(c.spacing);
    const int layers = static_cast<int>(std::ceil(blocks_along));
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            reference::remap_into(c, data, static_cast<int>(int64_t(t) * layers / threads),
                                  static_cast<int>(int64_t(t + 1) * layers / threads));
        });
    for (std::thread& thread : pool) thread.join();
}

template <class T>
void dispinvert_volume(mxArray* plhs[], const mxArray* prhs[])
{
    std::vector<T> h(samples<T>(prhs[3]).data,
                     samples<T>(prhs[3]).data + mxGetNumberOfElements(prhs[3]));
    const auto r = reference::invert_volume<T, HostSamples<T>>(
        samples<T>(prhs[0]), samples<T>(prhs[1]), samples<T>(prhs[2]), extent(prhs[0], 0),
        extent(prhs[0], 1), extent(prhs[0], 2), h, extent(prhs[3], 0), extent(prhs[3], 1),
        extent(prhs[3], 2), sizeof(T) == 4);
    copy_out(&plhs[0], prhs[0], r.fx);
    copy_out(&plhs[1], prhs[0], r.fy);
    copy_out(&plhs[2], prhs[0], r.fz);
}

void dispinvert_plane(mxArray* plhs[], const mxArray* prhs[])
{
    std::vector<double> h(samples<double>(prhs[2]).data,
                          samples<double>(prhs[2]).data + mxGetNumberOfElements(prhs[2]));
    const auto r = reference::invert_plane(samples<double>(prhs[0]), samples<double>(prhs[1]),
                                           extent(prhs[0], 0), extent(prhs[0], 1), h,
                                           extent(prhs[2], 0), extent(prhs[2], 1));
    copy_out(&plhs[0], prhs[0], r.fx);
    copy_out(&plhs[1], prhs[0], r.fy);
}

template <class T>
void jointbins(mxArray* plhs[], const mxArray* prhs[])
{
    const HostSamples<T> first_image = samples<T>(prhs[0]);
    const HostSamples<T> second_image{samples<T>(prhs[1]).data, first_image.size()};
    jointbins_reference::Histograms<T> r;
    if constexpr (sizeof(T) == 8)
        r = jointbins_reference::run_f64(first_image, second_image, first<T>(prhs[2]),
                                         first<T>(prhs[3]), first<T>(prhs[4]));
    else
        r = jointbins_reference::run_f32(first_image, second_image, first<T>(prhs[2]),
                                         first<T>(prhs[3]), first<T>(prhs[4]));
    const mwSize bins = r.first.size();
    const mwSize joint_dims[2] = {bins, bins}, line_dims[2] = {bins, 1};
    for (int k = 0; k < 3; ++k) {
        const std::vector<T>& values = k == 0 ? r.joint : k == 1 ? r.first : r.second;
        plhs[k] = mxCreateNumericArray(2, k == 0 ? joint_dims : line_dims, class_of<T>(), mxREAL);
        std::memcpy(mxGetData(plhs[k]), values.data(), values.size() * sizeof(T));
    }
}

}  // namespace

#define REGKERN_STRINGIFY2(x) #x
#define REGKERN_STRINGIFY(x) REGKERN_STRINGIFY2(x)

extern "C" void mexFunction(int, mxArray* plhs[], int, const mxArray* prhs[])
{
    const std::string plugin = REGKERN_STRINGIFY(LITERAL_PLUGIN);
    if (plugin == "remap_vol_f64") remap<double>(3, plhs, prhs);
    else if (plugin == "remap_vol_f32") remap<float>(3, plhs, prhs);
    else if (plugin == "remap_plane_f64") remap<double>(2, plhs, prhs);
    else if (plugin == "dispinvert_vol_f64") dispinvert_volume<double>(plhs, prhs);
    else if (plugin == "dispinvert_vol_f32") dispinvert_volume<float>(plhs, prhs);
    else if (plugin == "dispinvert_plane_f64") dispinvert_plane(plhs, prhs);
    else if (plugin == "jointbins_f64") jointbins<double>(plhs, prhs);
    else if (plugin == "jointbins_f32") jointbins<float>(plhs, prhs);
}
