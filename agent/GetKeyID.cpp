#include "agent/CryptoAgent.h"

// Not built yet: answered with E_NOTIMPL, recorded as the last result.
HRESULT CCryptoAgent::GetKeyID(const char16_t*, BSTR* pbstrKeyID) {
    if (pbstrKeyID != nullptr) *pbstrKeyID = SysAllocString(u"");
    m_hLastResult = E_NOTIMPL;
    return m_hLastResult;
}
