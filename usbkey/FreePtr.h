// Owners for the malloc'ed records and texts of the USB-key code while a function builds them.
#pragma once

#include <cstdlib>
#include <memory>

namespace usbkey {

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
template <typename T>
using FreePtr = std::unique_ptr<T, FreeDeleter>;

// calloc of one zeroed T (or of `bytes` bytes when more room is wanted).
template <typename T>
FreePtr<T> ZeroedBlock(size_t bytes = sizeof(T)) {
    return FreePtr<T>(static_cast<T*>(std::calloc(1, bytes)));
}

}  // namespace usbkey
