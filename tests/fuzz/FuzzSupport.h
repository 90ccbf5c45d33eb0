// What the fuzz targets share: a broken promise stops the run with a message (libFuzzer then keeps
// the input as a reproducer), and the process environment the targets prepare once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz_support {

// Aborts when a promise of the code under test does not hold.
inline void Require(bool holds, const char* promise) {
    if (holds) return;
    std::fprintf(stderr, "fuzz target: broken promise: %s\n", promise);
    std::abort();
}
#define FUZZ_REQUIRE(cond) ::fuzz_support::Require((cond), #cond)

// The environment every target runs in: no display (no window may open), no trace control file and
// no certificate database of the person running it, the C language.
inline void PrepareEnvironment(const std::string& home = "/nonexistent") {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "LC_ALL", "LC_MESSAGES",
                             "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "SOFTSKF_STATE"}) {
        unsetenv(name);
    }
    setenv("LANG", "C.UTF-8", 1);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", "/nonexistent", 1);
}

// Reads an input front to back; whatever is asked past its end comes out empty or zero, so a
// target never needs to check the size before it takes a piece.
class InputReader {
  public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t offset() const { return offset_; }
    size_t remaining() const { return size_ - offset_; }
    uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint16_t Uint16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    // A piece whose length comes first (two bytes, little-endian), cut at the input's end.
    std::string_view Piece() { return Take(Uint16()); }
    std::string_view Take(size_t count) {
        if (count > remaining()) count = remaining();
        std::string_view piece(reinterpret_cast<const char*>(data_ + offset_), count);
        offset_ += count;
        return piece;
    }
    std::string_view Rest() { return Take(remaining()); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

}  // namespace fuzz_support
