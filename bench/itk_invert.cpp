// itk_invert FIELD INVERSE NX NY NZ THREADS (default | ITERATIONS)
//
// The image toolkit's iterative inverse (itk::InvertDisplacementFieldImageFilter)
// of a 3-D displacement field, for bench/inverse_bench.m to time and score
// beside the plug-ins. FIELD holds the three components one after the other,
// each NX*NY*NZ doubles with the first axis fastest (as Octave's fwrite writes
// them); the inverse is written to INVERSE the same way. Unit spacing and zero
// origin, so the toolkit's physical points are our grid coordinates.
//
// "default" runs the filter as it comes (20 iterations at most, its stopping
// thresholds, the field held at zero on the faces). A number runs exactly that
// many iterations with both thresholds at zero and no boundary rule: the
// fixed point the toolkit converges to, to compare accuracy at its best.
//
// THREADS caps the toolkit's global thread count and sets its default number of
// work units, so that every filter it makes inside the loop uses that many.
// Prints one line: "seconds S cpu_seconds C iterations_asked N mean_error M
// max_error X", the time of Update() alone (not the file input and output) on
// the clock and of processor time (all threads; std::clock counts the whole
// process's on the platforms the toolkit package is for).
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "itkImage.h"
#include "itkInvertDisplacementFieldImageFilter.h"
#include "itkMultiThreaderBase.h"
#include "itkVector.h"

namespace {

using Vector = itk::Vector<double, 3>;
using Field = itk::Image<Vector, 3>;

bool read_components(const char* path, std::vector<double>& values)
{
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    const size_t got = std::fread(values.data(), sizeof(double), values.size(), f);
    const bool at_end = std::fgetc(f) == EOF;
    std::fclose(f);
    return got == values.size() && at_end;
}

bool write_components(const char* path, const std::vector<double>& values)
{
    std::FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    const size_t put = std::fwrite(values.data(), sizeof(double), values.size(), f);
    return std::fclose(f) == 0 && put == values.size();
}

long positive(const char* text)
{
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    return (*text && !*end && v > 0) ? v : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 8) {
        std::fprintf(stderr, "usage: itk_invert FIELD INVERSE NX NY NZ THREADS (default | ITERATIONS)\n");
        return 2;
    }
    const long nx = positive(argv[3]), ny = positive(argv[4]), nz = positive(argv[5]);
    const long threads = positive(argv[6]);
    const bool defaults = std::strcmp(argv[7], "default") == 0;
    const long iterations = defaults ? 0 : positive(argv[7]);
    if (!nx || !ny || !nz || !threads || (!defaults && !iterations)) {
        std::fprintf(stderr, "itk_invert: extents, thread count and iterations must be positive integers\n");
        return 2;
    }
    const size_t n = size_t(nx) * ny * nz;
    std::vector<double> components(3 * n);
    if (!read_components(argv[1], components)) {
        std::fprintf(stderr, "itk_invert: %s does not hold 3 x %ld x %ld x %ld doubles\n", argv[1], nx, ny, nz);
        return 1;
    }

    itk::MultiThreaderBase::SetGlobalMaximumNumberOfThreads(threads);
    itk::MultiThreaderBase::SetGlobalDefaultNumberOfThreads(threads);

    Field::Pointer field = Field::New();
    Field::RegionType region;
    region.SetSize({{size_t(nx), size_t(ny), size_t(nz)}});
    field->SetRegions(region);
    field->Allocate();
    Vector* pixels = field->GetBufferPointer();
    for (size_t i = 0; i < n; ++i)
        for (int a = 0; a < 3; ++a) pixels[i][a] = components[a * n + i];

    using Filter = itk::InvertDisplacementFieldImageFilter<Field>;
    Filter::Pointer filter = Filter::New();
    filter->SetDisplacementField(field);
    filter->SetNumberOfWorkUnits(threads);
    if (!defaults) {
        filter->SetMaximumNumberOfIterations(iterations);
        filter->SetMeanErrorToleranceThreshold(0.0);
        filter->SetMaxErrorToleranceThreshold(0.0);
        filter->SetEnforceBoundaryCondition(false);
    }
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpu_start = std::clock();
    filter->Update();
    const double cpu_seconds = double(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const Vector* inverse = filter->GetOutput()->GetBufferPointer();
    for (size_t i = 0; i < n; ++i)
        for (int a = 0; a < 3; ++a) components[a * n + i] = inverse[i][a];
    if (!write_components(argv[2], components)) {
        std::fprintf(stderr, "itk_invert: cannot write %s\n", argv[2]);
        return 1;
    }
    std::printf("seconds %.6f cpu_seconds %.6f iterations_asked %u mean_error %.9g max_error %.9g\n",
                seconds, cpu_seconds,
                filter->GetMaximumNumberOfIterations(), filter->GetMeanErrorNorm(),
                filter->GetMaxErrorNorm());
    return 0;
}
