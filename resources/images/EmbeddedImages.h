// The PNG pictures compiled into the program, found by their resource id (type "PNG").
#pragma once

#include <cstddef>
#include <cstdint>

struct EmbeddedImage {
    uint32_t id;
    const uint8_t* bytes;
    size_t size;
};

constexpr uint32_t IDB_SYSTEM_CERTIFICATE = 105;  // a certificate document with a seal
constexpr uint32_t IDB_KEY_CERTIFICATE = 106;     // a smart card
constexpr uint32_t IDB_CERTIFICATE_FRAME = 107;   // a translucent frame with a soft shadow

extern const EmbeddedImage kEmbeddedImages[];
extern const size_t kEmbeddedImageCount;
