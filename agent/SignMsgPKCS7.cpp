#include "agent/CryptoAgent.h"

// Not built yet: answered with E_NOTIMPL, recorded as the last result.
HRESULT CCryptoAgent::SignMsgPKCS7(const char16_t*, const char16_t*, VARIANT_BOOL,
                                   BSTR* pbstrSignature) {
    if (pbstrSignature != nullptr) *pbstrSignature = nullptr;
    m_hLastResult = E_NOTIMPL;
    return m_hLastResult;
}
