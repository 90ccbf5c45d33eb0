#include "agent/CryptoAgent.h"

// Not built yet: answered with E_NOTIMPL, recorded as the last result.
HRESULT CCryptoAgent::SelectCertificate(const char16_t*, const char16_t*, const char16_t*,
                                        VARIANT_BOOL* pbResult) {
    if (pbResult != nullptr) *pbResult = VARIANT_FALSE;
    m_hLastResult = E_NOTIMPL;
    return m_hLastResult;
}
