// Owners of blocks from the runtime library heap (malloc, calloc, strdup), for code that holds
// such a block while it builds something it then hands out.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
template <typename T>
using FreePtr = std::unique_ptr<T, FreeDeleter>;
// A byte buffer, the form of every buffer the system's functions hand out.
using MallocPtr = FreePtr<uint8_t>;

// calloc of one zeroed T (or of `bytes` bytes when more room is wanted).
template <typename T>
FreePtr<T> ZeroedBlock(size_t bytes = sizeof(T)) {
    return FreePtr<T>(static_cast<T*>(std::calloc(1, bytes)));
}
