#include "agent/CryptoAgent.h"

// Not built yet: answered with E_NOTIMPL, recorded as the last result.
HRESULT CCryptoAgent::GetSignCertInfo(const char16_t*, BSTR* pbstrInfoContent) {
    if (pbstrInfoContent != nullptr) *pbstrInfoContent = SysAllocString(u"");
    m_hLastResult = E_NOTIMPL;
    return m_hLastResult;
}
