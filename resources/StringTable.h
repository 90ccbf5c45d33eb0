// The string table of the executable, in English (1033) and Simplified Chinese (2052).
#pragma once

#include <cstddef>
#include <cstdint>

struct StringTableEntry {
    uint16_t id;
    const char16_t* english;
    const char16_t* chinese;
};

extern const StringTableEntry kStringTable[];
extern const size_t kStringTableSize;

// Texts of the selection dialog's template 101 (caption and buttons).
struct DialogTemplateTexts {
    const char16_t* caption;
    const char16_t* ok;
    const char16_t* cancel;
};
const DialogTemplateTexts& SelectCertificateDialogTexts(uint16_t language);

// String ids the dialog uses.
constexpr uint16_t IDS_SELECT_CERTIFICATE_HEADING = 203;
constexpr uint16_t IDS_ISSUER_LINE = 205;
constexpr uint16_t IDS_SERIAL_NUMBER_LINE = 206;
constexpr uint16_t IDS_VALIDITY_LINE = 207;
