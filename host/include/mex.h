/* The stand-in host's plug-in interface: the subset of the MEX C API that
 * regkern's plug-ins use, with 32-bit dimensions and the "_700" entry names.
 * Plug-ins built against it are loaded by the stand-in host (standin.h) in the
 * C++ tests, the fuzzers and the benchmarks. */
#ifndef REGKERN_STANDIN_MEX_H
#define REGKERN_STANDIN_MEX_H

#include <stddef.h>

/* The error exits never return; the second also checks its format string.
 * Both are compiler extensions, so each compiler gets its own spelling. */
#if defined(__GNUC__) || defined(__clang__)
#define REGKERN_NORETURN __attribute__((noreturn))
#if defined(__MINGW_PRINTF_FORMAT)
#define REGKERN_PRINTF_LIKE(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))
#else
#define REGKERN_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#endif
#elif defined(_MSC_VER)
#define REGKERN_NORETURN __declspec(noreturn)
#define REGKERN_PRINTF_LIKE(fmt, args)
#else
#define REGKERN_NORETURN
#define REGKERN_PRINTF_LIKE(fmt, args)
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mxArray_tag mxArray;
typedef int mwSize;
typedef int mwIndex;

typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS,
    mxSTRUCT_CLASS,
    mxLOGICAL_CLASS,
    mxCHAR_CLASS,
    mxVOID_CLASS,
    mxDOUBLE_CLASS,
    mxSINGLE_CLASS,
    mxINT8_CLASS,
    mxUINT8_CLASS,
    mxINT16_CLASS,
    mxUINT16_CLASS,
    mxINT32_CLASS,
    mxUINT32_CLASS,
    mxINT64_CLASS,
    mxUINT64_CLASS,
    mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

void* mxGetData(const mxArray* array);
double* mxGetPr(const mxArray* array);
const mwSize* mxGetDimensions_700(const mxArray* array);
mwSize mxGetNumberOfDimensions_700(const mxArray* array);
size_t mxGetNumberOfElements(const mxArray* array);
mxClassID mxGetClassID(const mxArray* array);
int mxIsComplex(const mxArray* array);
int mxIsSparse(const mxArray* array);
mxArray* mxCreateNumericArray_700(mwSize ndim, const mwSize* dims, mxClassID class_id,
                                  mxComplexity complexity);
mxArray* mxCreateDoubleScalar(double value);
// The stand-in fills an uninitialised array with the byte 0xA5, so that an
// element a plug-in leaves unwritten shows in every comparison.
mxArray* mxCreateUninitNumericArray(mwSize ndim, const mwSize* dims, mxClassID class_id,
                                    mxComplexity complexity);
void mxDestroyArray(mxArray* array);

int mexCallMATLAB(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[], const char* name);
REGKERN_NORETURN void mexErrMsgTxt(const char* message);
REGKERN_NORETURN void mexErrMsgIdAndTxt(const char* id, const char* format, ...)
    REGKERN_PRINTF_LIKE(2, 3);
void mexWarnMsgIdAndTxt(const char* id, const char* format, ...)
    REGKERN_PRINTF_LIKE(2, 3);

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

#define mxGetDimensions mxGetDimensions_700
#define mxGetNumberOfDimensions mxGetNumberOfDimensions_700
#define mxCreateNumericArray mxCreateNumericArray_700

#ifdef __cplusplus
}
#endif

#endif
