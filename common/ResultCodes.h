// Every result code the system names, and the three conversion rules that make result codes out
// of platform errors and SKF (GM/T 0016) SAR values. Logic uses these names, never bare numbers.
#pragma once

#include <cstdint>

#include "platform/runtime/Types.h"

namespace result_detail {
constexpr HRESULT Code(uint32_t value) { return static_cast<HRESULT>(value); }
}  // namespace result_detail

// The system's own codes: severity bit, customer bit, facility 7 and the string-table id.
constexpr HRESULT VELK_OK = 0;
constexpr HRESULT VELK_E_NO_AVAILABLE_CERT = result_detail::Code(0xA0071001u);
constexpr HRESULT VELK_E_USER_CANCELED = result_detail::Code(0xA0071002u);
constexpr HRESULT VELK_E_QUERY_TYPE_NOT_SUPPORTED = result_detail::Code(0xA0071003u);
constexpr HRESULT VELK_E_BASE64_DECODE = result_detail::Code(0xA0071005u);
constexpr HRESULT VELK_E_CERT_ALREADY_REGISTERED = result_detail::Code(0xA0071009u);
constexpr HRESULT VELK_E_NO_KEY_USAGE = result_detail::Code(0xA0071020u);
constexpr HRESULT VELK_E_NO_SUBJECT_KEY_ID = result_detail::Code(0xA0071021u);
constexpr HRESULT VELK_E_ASN1_DECODE = result_detail::Code(0xA0071041u);
constexpr HRESULT VELK_E_INVALID_PKCS7_FORMAT = result_detail::Code(0xA0071104u);
constexpr HRESULT VELK_E_DEVICE_NOT_UNIQUE = result_detail::Code(0xA0071601u);
constexpr HRESULT VELK_E_CERT_NOT_READY = result_detail::Code(0xA0072001u);
constexpr HRESULT VELK_E_INVALID_HASH_ALG = result_detail::Code(0xA0072020u);
constexpr HRESULT VELK_E_INVALID_CERT_USAGE = result_detail::Code(0xA0072021u);
constexpr HRESULT VELK_E_INVALID_SIGN_TYPE = result_detail::Code(0xA0072022u);
constexpr HRESULT VELK_E_INVALID_KEY_ALG = result_detail::Code(0xA0072401u);
constexpr HRESULT VELK_E_JSON_CREATE = result_detail::Code(0xA0073202u);
constexpr HRESULT VELK_E_JSON_PARAM_TYPE = result_detail::Code(0xA0073204u);
constexpr HRESULT VELK_E_SKF_FUNCTION_UNAVAILABLE = result_detail::Code(0xA0074003u);
constexpr HRESULT VELK_E_SKF_DATA_FORMAT = result_detail::Code(0xA0074004u);
constexpr HRESULT VELK_E_SKF_DEVICE_UNAVAILABLE = result_detail::Code(0xA0074005u);

// Internal values with the customer bit but no severity bit; their callers convert them.
constexpr HRESULT VELK_I_USER_CANCELED = result_detail::Code(0x20001002u);  // selection dialog
constexpr HRESULT VELK_I_ASN1_DECODE = result_detail::Code(0x20001041u);    // ASN.1 decoder

// Platform codes the system itself returns.
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOTIMPL = result_detail::Code(0x80004001u);
constexpr HRESULT E_POINTER = result_detail::Code(0x80004003u);
constexpr HRESULT E_FAIL = result_detail::Code(0x80004005u);
constexpr HRESULT E_INVALIDARG = result_detail::Code(0x80070057u);
constexpr HRESULT E_OUTOFMEMORY = result_detail::Code(0x8007000Eu);
constexpr HRESULT HRESULT_INVALID_DATA = result_detail::Code(0x8007000Du);  // ERROR_INVALID_DATA
constexpr HRESULT HRESULT_TOO_MANY_OPEN_FILES = result_detail::Code(0x80070004u);  // no device name
constexpr HRESULT HRESULT_INTERNAL_ERROR =
    result_detail::Code(0x8007054Fu);                                        // ERROR_INTERNAL_ERROR
constexpr HRESULT HRESULT_MOD_NOT_FOUND = result_detail::Code(0x8007007Eu);  // ERROR_MOD_NOT_FOUND
constexpr HRESULT HRESULT_TLW_WITH_WSCHILD = result_detail::Code(0x8007057Eu);  // no dialog made
constexpr HRESULT HRESULT_CANCELLED = result_detail::Code(0x800704C7u);         // ERROR_CANCELLED
constexpr HRESULT NTE_BAD_SIGNATURE = result_detail::Code(0x80090006u);
constexpr HRESULT NTE_BAD_ALGID = result_detail::Code(0x80090008u);
constexpr HRESULT NTE_INTERNAL_ERROR = result_detail::Code(0x8009002Du);

// Platform (Win32-style) error numbers used by the platform layer's last error.
constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_INVALID_DATA = 13;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t ERROR_MOD_NOT_FOUND = 126;
constexpr uint32_t ERROR_PROC_NOT_FOUND = 127;
constexpr uint32_t ERROR_BAD_EXE_FORMAT = 193;
constexpr uint32_t ERROR_MORE_DATA = 234;
constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;
constexpr uint32_t ERROR_CANCELLED = 1223;
constexpr uint32_t ERROR_INTERNAL_ERROR = 1359;
constexpr uint32_t ERROR_TLW_WITH_WSCHILD = 1406;

// RESULT_FROM_LAST_ERROR: e <= 0 stays; with the customer bit 0xA007xxxx; else 0x8007xxxx.
// Also applied to the plain numbers of internal routines (87 becomes 0x80070057, -1 stays -1).
constexpr HRESULT RESULT_FROM_LAST_ERROR(int64_t e) {
    if (static_cast<int32_t>(e) <= 0) return static_cast<int32_t>(e);
    const uint32_t v = static_cast<uint32_t>(e);
    if (v & 0x20000000u) return result_detail::Code(0xA0070000u | (v & 0xFFFFu));
    return result_detail::Code(0x80070000u | (v & 0xFFFFu));
}

// The plain rule (HRESULT_FROM_WIN32): e <= 0 stays; otherwise 0x8007xxxx.
constexpr HRESULT HRESULT_FROM_WIN32(int64_t e) {
    if (static_cast<int32_t>(e) <= 0) return static_cast<int32_t>(e);
    return result_detail::Code(0x80070000u | (static_cast<uint32_t>(e) & 0xFFFFu));
}

// The SKF rule: a non-zero SAR r becomes 0xA0000000 | (r & 0x0F0000FF); SAR_OK stays 0.
constexpr HRESULT RESULT_FROM_SAR(uint32_t sar) {
    if (sar == 0) return VELK_OK;
    return result_detail::Code(0xA0000000u | (sar & 0x0F0000FFu));
}
