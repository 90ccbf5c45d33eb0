#include "agent/CryptoAgent.h"

// Not built yet: answered with E_NOTIMPL, recorded as the last result.
HRESULT CCryptoAgent::VerifyMsgSignaturePKCS7Attached(const char16_t*, const char16_t*, BSTR*) {
    m_hLastResult = E_NOTIMPL;
    return m_hLastResult;
}

HRESULT CCryptoAgent::VerifyMsgSignaturePKCS7Detached(const char16_t*, const char16_t*,
                                                      const char16_t*, BSTR*) {
    m_hLastResult = E_NOTIMPL;
    return m_hLastResult;
}
