// UTF-16 text helpers (the system's wide text is char16_t, never wchar_t) and the owned platform
// string (BSTR) that the agent hands out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/runtime/Types.h"

size_t WcsLen(const char16_t* text);
// Compares without regard to ASCII letter case (A-Z fold to a-z); other units by value.
int WcsICmp(const char16_t* a, const char16_t* b);
// Case-insensitive substring search; null when absent. An empty needle matches at the start.
const char16_t* StrStrIW(const char16_t* haystack, const char16_t* needle);

// Platform string: NUL-terminated UTF-16, allocated by SysAllocString, released by SysFreeString.
using BSTR = char16_t*;
BSTR SysAllocString(const char16_t* text);  // null for a null text
BSTR SysAllocStringLen(const char16_t* text, size_t length);
void SysFreeString(BSTR text);

// Move-only owner of a BSTR. Receive() hands its slot to a function with an out BSTR.
class BStr {
  public:
    BStr() = default;
    explicit BStr(BSTR text) : text_(text) {}
    ~BStr() { SysFreeString(text_); }
    BStr(BStr&& other) noexcept : text_(other.Release()) {}
    BStr& operator=(BStr&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    BStr(const BStr&) = delete;
    BStr& operator=(const BStr&) = delete;

    BSTR Get() const { return text_; }
    BSTR* Receive() {
        Reset();
        return &text_;
    }
    void Reset(BSTR text = nullptr) {
        SysFreeString(text_);
        text_ = text;
    }
    BSTR Release() {
        BSTR text = text_;
        text_ = nullptr;
        return text;
    }
    bool IsNull() const { return text_ == nullptr; }
    std::u16string_view View() const {
        return text_ ? std::u16string_view(text_) : std::u16string_view();
    }

  private:
    BSTR text_ = nullptr;
};
