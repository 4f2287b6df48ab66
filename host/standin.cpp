// Implementation of the stand-in host: the MEX C API functions the plug-ins
// link against, and the loader/caller the tests use.
#include "standin.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

struct mxArray_tag {
    mxClassID class_id;
    bool complex;
    bool sparse;
    std::vector<mwSize> dims;
    size_t count;
    void* data;
};

namespace {

std::mutex registry_mutex;
long live_count = 0;
double thread_count_value = 2.0;
bool warnings_are_errors = false;
std::vector<standin::Warning> issued_warnings;

// Per calling thread: where the error exit jumps to, what it said, and the
// arrays created during the current call.
thread_local std::jmp_buf* error_exit = nullptr;
thread_local char error_id[256];
thread_local char error_message[1024];
thread_local std::vector<mxArray*>* created_in_call = nullptr;

[[noreturn]] void leave_through_error_exit();

size_t element_size(mxClassID id)
{
    switch (id) {
    case mxDOUBLE_CLASS: case mxINT64_CLASS: case mxUINT64_CLASS: return 8;
    case mxSINGLE_CLASS: case mxINT32_CLASS: case mxUINT32_CLASS: return 4;
    case mxINT16_CLASS: case mxUINT16_CLASS: case mxCHAR_CLASS: return 2;
    default: return 1;
    }
}

mxArray* new_array(mxClassID class_id, std::vector<mwSize> dims, bool complex, bool sparse)
{
    for (mwSize& d : dims) d = std::max<mwSize>(d, 0);
    // Like MATLAB: at least two dimensions, trailing singletons beyond the
    // second dropped.
    while (dims.size() < 2) dims.push_back(dims.empty() ? 0 : 1);
    while (dims.size() > 2 && dims.back() == 1) dims.pop_back();
    size_t count = 1;
    for (mwSize d : dims) count *= static_cast<size_t>(d);

    auto* array = new mxArray_tag{class_id, complex, sparse, std::move(dims), count, nullptr};
    if (count > 0) {
        // Complex arrays keep their imaginary parts after the real ones.
        array->data = std::calloc(count * (complex ? 2 : 1), element_size(class_id));
        if (!array->data) {
            // Like MATLAB, a failed creation leaves through the error exit.
            delete array;
            std::snprintf(error_id, sizeof error_id, "standin:outOfMemory");
            std::snprintf(error_message, sizeof error_message, "Out of memory.");
            leave_through_error_exit();
        }
    }
    std::lock_guard<std::mutex> lock(registry_mutex);
    ++live_count;
    if (created_in_call) created_in_call->push_back(array);
    return array;
}

void destroy(mxArray* array)
{
    if (!array) return;
    std::free(array->data);
    delete array;
    std::lock_guard<std::mutex> lock(registry_mutex);
    --live_count;
}

using MexFunction = void (*)(int, mxArray**, int, const mxArray**);

// Opens the shared library at `path` (kept open for the life of the process)
// and returns its mexFunction, or throws. The only system-specific code of the
// stand-in host.
MexFunction open_entry_point(const std::string& path)
{
#if defined(_WIN32)
    std::string native = path;  // LoadLibrary wants backslashes
    std::replace(native.begin(), native.end(), '/', '\\');
    HMODULE handle = LoadLibraryA(native.c_str());
    if (!handle)
        throw std::runtime_error("cannot load " + path + ": error " +
                                 std::to_string(GetLastError()));
    auto entry = reinterpret_cast<MexFunction>(
        reinterpret_cast<void*>(GetProcAddress(handle, "mexFunction")));
#else
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw std::runtime_error("cannot load " + path + ": " + dlerror());
    auto entry = reinterpret_cast<MexFunction>(dlsym(handle, "mexFunction"));
#endif
    if (!entry) throw std::runtime_error(path + " has no mexFunction");
    return entry;
}

MexFunction load(const std::string& plugin)
{
    static std::map<std::string, MexFunction> loaded;
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto found = loaded.find(plugin);
    if (found != loaded.end()) return found->second;
    MexFunction entry =
        open_entry_point(standin::plugin_dir() + "/" + plugin + REGKERN_STANDIN_PLUGIN_SUFFIX);
    loaded[plugin] = entry;
    return entry;
}

// Runs the entry point; false when it left through the error exit. Holds no
// object with a destructor, since the error exit jumps back into this frame.
bool invoke(MexFunction entry, int nlhs, mxArray** plhs, int nrhs, const mxArray** prhs)
{
    std::jmp_buf here;
    std::jmp_buf* outer = error_exit;
    error_exit = &here;
    if (setjmp(here) == 0) {
        entry(nlhs, plhs, nrhs, prhs);
        error_exit = outer;
        return true;
    }
    error_exit = outer;
    return false;
}

[[noreturn]] void leave_through_error_exit()
{
    if (!error_exit) {
        std::fprintf(stderr, "stand-in host: error exit outside a call: %s\n", error_message);
        std::abort();
    }
    std::longjmp(*error_exit, 1);
}

}  // namespace

extern "C" {

void* mxGetData(const mxArray* array) { return array->data; }
double* mxGetPr(const mxArray* array) { return static_cast<double*>(array->data); }
const mwSize* mxGetDimensions_700(const mxArray* array) { return array->dims.data(); }
mwSize mxGetNumberOfDimensions_700(const mxArray* array)
{
    return static_cast<mwSize>(array->dims.size());
}
size_t mxGetNumberOfElements(const mxArray* array) { return array->count; }
mxClassID mxGetClassID(const mxArray* array) { return array->class_id; }
int mxIsComplex(const mxArray* array) { return array->complex; }
int mxIsSparse(const mxArray* array) { return array->sparse; }

mxArray* mxCreateNumericArray_700(mwSize ndim, const mwSize* dims, mxClassID class_id,
                                  mxComplexity complexity)
{
    std::vector<mwSize> extents(dims, dims + std::max<mwSize>(ndim, 0));
    if (ndim == 0) extents = {0, 0};
    return new_array(class_id, extents, complexity == mxCOMPLEX, false);
}

mxArray* mxCreateUninitNumericArray(mwSize ndim, const mwSize* dims, mxClassID class_id,
                                    mxComplexity complexity)
{
    std::vector<mwSize> extents(dims, dims + std::max<mwSize>(ndim, 0));
    if (ndim == 0) extents = {0, 0};
    mxArray* array = new_array(class_id, extents, complexity == mxCOMPLEX, false);
    if (array->data)
        std::memset(array->data, 0xA5,
                    array->count * (array->complex ? 2 : 1) * element_size(class_id));
    return array;
}

mxArray* mxCreateDoubleScalar(double value)
{
    mxArray* array = new_array(mxDOUBLE_CLASS, {1, 1}, false, false);
    *static_cast<double*>(array->data) = value;
    return array;
}

void mxDestroyArray(mxArray* array)
{
    if (created_in_call) {
        auto& list = *created_in_call;
        list.erase(std::remove(list.begin(), list.end(), array), list.end());
    }
    destroy(array);
}

int mexCallMATLAB(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[], const char* name)
{
    (void)nrhs;
    (void)prhs;
    if (std::string(name) != "maxNumCompThreads") {
        std::snprintf(error_id, sizeof error_id, "standin:undefinedFunction");
        std::snprintf(error_message, sizeof error_message, "'%s' undefined", name);
        leave_through_error_exit();
    }
    if (nlhs >= 1) plhs[0] = mxCreateDoubleScalar(thread_count_value);
    return 0;
}

void mexErrMsgTxt(const char* message)
{
    error_id[0] = '\0';
    std::snprintf(error_message, sizeof error_message, "%s", message);
    leave_through_error_exit();
}

void mexWarnMsgIdAndTxt(const char* id, const char* format, ...)
{
    // Only the thread inside call() has an error exit set: a warning from a
    // worker thread is a fault of the plug-in.
    if (!error_exit) {
        std::fprintf(stderr, "stand-in host: warning %s from outside mexFunction's thread\n", id);
        std::abort();
    }
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        issued_warnings.push_back(standin::Warning{id, message});
    }
    if (warnings_are_errors) {
        std::snprintf(error_id, sizeof error_id, "%s", id);
        std::snprintf(error_message, sizeof error_message, "%s", message);
        leave_through_error_exit();
    }
}

void mexErrMsgIdAndTxt(const char* id, const char* format, ...)
{
    std::snprintf(error_id, sizeof error_id, "%s", id);
    va_list args;
    va_start(args, format);
    std::vsnprintf(error_message, sizeof error_message, format, args);
    va_end(args);
    leave_through_error_exit();
}

}  // extern "C"

namespace standin {

Array& Array::operator=(Array&& other) noexcept
{
    if (this != &other) {
        destroy(array_);
        array_ = other.array_;
        other.array_ = nullptr;
    }
    return *this;
}

Array::~Array() { destroy(array_); }

std::vector<int> Array::dims() const
{
    return std::vector<int>(array_->dims.begin(), array_->dims.end());
}

Array make_array(mxClassID class_id, const std::vector<int>& dims, mxComplexity complexity)
{
    return Array(mxCreateNumericArray_700(static_cast<mwSize>(dims.size()), dims.data(), class_id,
                                          complexity));
}

Array make_sparse(int rows, int cols)
{
    return Array(new_array(mxDOUBLE_CLASS, {rows, cols}, false, true));
}

CallResult call(const std::string& plugin, int nlhs, const std::vector<const mxArray*>& inputs)
{
    MexFunction entry = load(plugin);
    std::vector<mxArray*> slots(static_cast<size_t>(std::max(nlhs, 1)), nullptr);
    std::vector<mxArray*> created;
    created_in_call = &created;
    const bool ok = invoke(entry, nlhs, slots.data(), static_cast<int>(inputs.size()),
                           const_cast<const mxArray**>(inputs.data()));
    created_in_call = nullptr;

    CallResult result;
    result.ok = ok;
    if (ok) {
        // Arrays the call created and did not return are the host's to free.
        const auto returned = slots.begin() + nlhs;
        for (mxArray* array : created)
            if (std::find(slots.begin(), returned, array) == returned) destroy(array);
        for (int i = 0; i < nlhs; ++i) result.outputs.emplace_back(slots[i]);
    } else {
        for (mxArray* array : created) destroy(array);
        result.id = error_id;
        result.message = error_message;
    }
    return result;
}

void set_thread_count(double value) { thread_count_value = value; }
double thread_count() { return thread_count_value; }

long warning_count()
{
    std::lock_guard<std::mutex> lock(registry_mutex);
    return static_cast<long>(issued_warnings.size());
}

Warning last_warning()
{
    std::lock_guard<std::mutex> lock(registry_mutex);
    return issued_warnings.empty() ? Warning{} : issued_warnings.back();
}

std::vector<Warning> warnings()
{
    std::lock_guard<std::mutex> lock(registry_mutex);
    return issued_warnings;
}

void reset_warnings()
{
    std::lock_guard<std::mutex> lock(registry_mutex);
    issued_warnings.clear();
}

void set_warnings_as_errors(bool on) { warnings_are_errors = on; }

long live_arrays()
{
    std::lock_guard<std::mutex> lock(registry_mutex);
    return live_count;
}

// The build's folder, unless REGKERN_STANDIN_PLUGIN_DIR names another (a
// build tree moved, or seen under another path by an emulator).
std::string plugin_dir()
{
    const char* moved = std::getenv("REGKERN_STANDIN_PLUGIN_DIR");
    return moved && *moved ? moved : REGKERN_STANDIN_PLUGIN_DIR;
}

}  // namespace standin
