// The stand-in host: loads a plug-in built against host/include/mex.h and calls
// its mexFunction the way MATLAB would. Arrays are column-major, creation is
// zero-filled, dimensions are 32-bit, the error exit never returns (it jumps
// back to call()), "maxNumCompThreads" answers what set_thread_count set, and
// warnings are kept in the order issued.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "mex.h"

namespace standin {

// Owns one host array.
class Array {
public:
    Array() = default;
    explicit Array(mxArray* array) : array_(array) {}
    Array(Array&& other) noexcept : array_(other.array_) { other.array_ = nullptr; }
    Array& operator=(Array&& other) noexcept;
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array();

    mxArray* get() const { return array_; }
    size_t numel() const { return array_ ? mxGetNumberOfElements(array_) : 0; }
    std::vector<int> dims() const;
    mxClassID class_id() const { return mxGetClassID(array_); }
    template <class T> T* data() const { return static_cast<T*>(mxGetData(array_)); }
    template <class T> std::vector<T> values() const
    {
        const T* p = data<T>();
        return p ? std::vector<T>(p, p + numel()) : std::vector<T>();
    }

private:
    mxArray* array_ = nullptr;
};

template <class T> mxClassID class_of();
template <> inline mxClassID class_of<double>() { return mxDOUBLE_CLASS; }
template <> inline mxClassID class_of<float>() { return mxSINGLE_CLASS; }
template <> inline mxClassID class_of<int>() { return mxINT32_CLASS; }

// A zero-filled array, created as mxCreateNumericArray_700 would.
Array make_array(mxClassID class_id, const std::vector<int>& dims,
                 mxComplexity complexity = mxREAL);
// A sparse double matrix (no stored values): only for rejection tests.
Array make_sparse(int rows, int cols);

template <class T>
Array make_filled(const std::vector<int>& dims, const std::vector<T>& values)
{
    Array array = make_array(class_of<T>(), dims);
    const size_t n = array.numel() < values.size() ? array.numel() : values.size();
    if (n > 0) std::memcpy(array.data<T>(), values.data(), n * sizeof(T));
    return array;
}

template <class T> Array make_scalar(T value) { return make_filled<T>({1, 1}, {value}); }

struct CallResult {
    bool ok = false;
    std::string id;       // error identifier when !ok
    std::string message;  // error message when !ok
    std::vector<Array> outputs;
};

// Loads the plug-in (once) from the stand-in plug-in folder and calls it with
// nlhs output slots. On an error the arrays the call created are destroyed.
CallResult call(const std::string& plugin, int nlhs, const std::vector<const mxArray*>& inputs);

// What "maxNumCompThreads" answers from now on (any double, NaN included).
void set_thread_count(double value);
double thread_count();

// Warnings the plug-ins issued (mexWarnMsgIdAndTxt) since the last
// reset_warnings: how many, the last one, and all in the order issued. A
// warning issued from any thread but the one running call() aborts the
// program: only mexFunction's thread may talk to the host.
struct Warning {
    std::string id;
    std::string message;
};
long warning_count();
Warning last_warning();
std::vector<Warning> warnings();
void reset_warnings();
// From now on, a warning leaves the call through the error exit with the
// warning's identifier and message, as the host does for a warning the user
// turned into an error (warning ('error', id)).
void set_warnings_as_errors(bool on);

// Number of host arrays alive: a call must leave nothing behind.
long live_arrays();

// Folder the plug-ins built for this host are loaded from.
std::string plugin_dir();

}  // namespace standin
