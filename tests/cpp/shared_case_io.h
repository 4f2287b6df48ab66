// Writes a shared case: a plug-in's name, its inputs and the outputs the
// stand-in host gave, for tests/octave/check_shared_case.m to replay in Octave.
//
// File layout (little-endian int32 unless said): name length, name bytes,
// number of inputs, number of outputs, then each array as class id, number of
// dimensions, the dimensions, and the raw column-major data.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "standin.h"

namespace shared_case {

inline void write_int(std::FILE* f, int v) { std::fwrite(&v, sizeof v, 1, f); }

inline void write_array(std::FILE* f, const mxArray* array)
{
    const int ndims = mxGetNumberOfDimensions(array);
    write_int(f, mxGetClassID(array));
    write_int(f, ndims);
    std::fwrite(mxGetDimensions(array), sizeof(int), ndims, f);
    const size_t bytes = mxGetNumberOfElements(array) *
                         (mxGetClassID(array) == mxDOUBLE_CLASS ? 8 : 4);
    if (bytes) std::fwrite(mxGetData(array), 1, bytes, f);
}

// Calls the plug-in through the stand-in host and writes <dir>/<file>.case.
inline void write(const std::string& dir, const std::string& file, const std::string& plugin,
                  int nlhs, const std::vector<const mxArray*>& inputs)
{
    standin::CallResult result = standin::call(plugin, nlhs, inputs);
    if (!result.ok) throw std::runtime_error(plugin + " failed: " + result.message);
    const std::string path = dir + "/" + file + ".case";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write " + path);
    write_int(f, static_cast<int>(plugin.size()));
    std::fwrite(plugin.data(), 1, plugin.size(), f);
    write_int(f, static_cast<int>(inputs.size()));
    write_int(f, nlhs);
    for (const mxArray* input : inputs) write_array(f, input);
    for (const standin::Array& output : result.outputs) write_array(f, output.get());
    std::fclose(f);
}

}  // namespace shared_case
