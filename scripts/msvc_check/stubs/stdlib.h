#pragma once  // see cstdint; clang's mm_malloc.h includes it
#include <cstddef>
extern "C" void* malloc(size_t);
extern "C" void free(void*);
