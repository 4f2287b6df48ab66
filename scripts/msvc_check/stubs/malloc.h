#pragma once  // see cstdint; clang's mm_malloc.h asks for these on MSVC targets
#include <cstddef>
extern "C" void* _aligned_malloc(size_t, size_t);
extern "C" void _aligned_free(void*);
