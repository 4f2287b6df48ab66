// Scratch memory for a call: taken with malloc, so that a huge request fails
// with std::bad_alloc (rethrow_as_failure turns it into outOfMemory) instead
// of a value-initialising sweep, and freed when the call unwinds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace regkern {

// free() for scratch taken with malloc.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

template <class E> using Scratch = std::unique_ptr<E[], FreeDeleter>;

// Room for `count` elements of E, not initialised (at least one byte, so
// that an empty request is not mistaken for a failed one); std::bad_alloc
// when the size does not fit in size_t or the system refuses it.
template <class E>
Scratch<E> take_scratch(int64_t count)
{
    if (count < 0 || static_cast<uint64_t>(count) > SIZE_MAX / sizeof(E)) throw std::bad_alloc();
    void* p = std::malloc(count > 0 ? static_cast<size_t>(count) * sizeof(E) : 1);
    if (!p) throw std::bad_alloc();
    return Scratch<E>(static_cast<E*>(p));
}

constexpr size_t cache_line = 64;

// count * size rounded up to whole cache lines; std::bad_alloc when that does
// not fit in size_t.
inline size_t cache_line_bytes(size_t count, size_t size)
{
    if (count > (SIZE_MAX - cache_line) / (size > 0 ? size : 1)) throw std::bad_alloc();
    return (count * size + cache_line - 1) / cache_line * cache_line;
}

}  // namespace regkern
