#include "agent/CryptoAgent.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/Conversions.h"
#include "common/Trace.h"
#include "common/Utf.h"
#include "platform/crypt/CertServices.h"
#include "platform/runtime/Resources.h"

static constexpr char kUnit[] = "CryptoAgent";

CCryptoAgent::CCryptoAgent() = default;

void CCryptoAgent::PrepareOpenSsl() {
    if (m_bOpenSslPrepared) return;
    // Digest tables and error strings for the verification code (OpenSSL).
    OpenSSL_add_all_digests();
    ERR_load_crypto_strings();
    ERR_clear_error();
    m_bOpenSslPrepared = true;
}

CCryptoAgent::~CCryptoAgent() {
    std::free(m_lpwszSM2CSPList);
    m_lpwszSM2CSPList = nullptr;
    ReleaseChosenCertificate();
    // Shuts NSS down once nothing holds its objects any more.
    ReleaseCertPlatformResources();
    CRYPTO_cleanup_all_ex_data();
    ERR_free_strings();
    EVP_cleanup();
}

HRESULT CCryptoAgent::SetSM2CSPList(const char16_t* bstrSM2CSPList, VARIANT_BOOL* pbResult) {
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    size_t nLength = 0;
    std::vector<std::u16string> vtrNames;

    if (pbResult != nullptr) *pbResult = VARIANT_FALSE;
    // An oversized list is refused before anything else and leaves the stored list as it was.
    if (NULL != bstrSM2CSPList) {
        nLength = WcsLen(bstrSM2CSPList);
        if (nLength > kMaxSM2CSPListChars) {
            hResult = E_INVALIDARG;
            TRACE_INFO("CCryptoAgent::SetSM2CSPList: %zu characters", nLength);
            FAILED_STEP_W(kUnit, "Check Parameter(bstrSM2CSPList)", hResult,
                          "wcslen(bstrSM2CSPList) > kMaxSM2CSPListChars");
            goto Exit;
        }
        SplitStrings(bstrSM2CSPList, vtrNames);
        if (vtrNames.size() > kMaxSM2CSPNames) {
            hResult = E_INVALIDARG;
            FAILED_STEP_W(kUnit, "Check Parameter(bstrSM2CSPList)", hResult,
                          "vtrNames.size() > kMaxSM2CSPNames");
            goto Exit;
        }
    }
    // The stored list goes before the parameter is looked at: an invalid call clears it too.
    std::free(m_lpwszSM2CSPList);
    m_lpwszSM2CSPList = nullptr;
    TRACE_INFO("CCryptoAgent::SetSM2CSPList: %s", trace::Text(bstrSM2CSPList).c_str());

    if (NULL == bstrSM2CSPList || 0 == WcsLen(bstrSM2CSPList)) {
        hResult = E_INVALIDARG;
        FAILED_STEP_W(kUnit, "Check Parameter(bstrSM2CSPList)", hResult,
                      "NULL == bstrSM2CSPList || 0 == wcslen(bstrSM2CSPList)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Check Parameter(bstrSM2CSPList)");

    m_lpwszSM2CSPList = static_cast<char16_t*>(std::calloc(nLength + 1, sizeof(char16_t)));
    if (!m_lpwszSM2CSPList) {
        hResult = E_OUTOFMEMORY;
        FAILED_STEP_W(kUnit, "New buffer", hResult, "!m_lpwszSM2CSPList");
        goto Exit;
    }
    OK_STEP_W(kUnit, "New buffer");
    std::memcpy(m_lpwszSM2CSPList, bstrSM2CSPList, (nLength + 1) * sizeof(char16_t));
    if (pbResult != nullptr) *pbResult = VARIANT_TRUE;

Exit:
    m_hLastResult = hResult;
    return hResult;
}

HRESULT CCryptoAgent::GetVersion(BSTR* pbstrVersion) {
    // The host answers GetVersion itself; the agent's slot hands out nothing.
    if (pbstrVersion != nullptr) *pbstrVersion = nullptr;
    return S_OK;
}

HRESULT CCryptoAgent::GetLastErrorDesc(BSTR* pbstrDesc) {
    TRACE_SCOPE();
    constexpr int kDescriptionChars = 512;
    char16_t wszDescription[kDescriptionChars] = {};
    const HRESULT c = m_hLastResult;
    const uint32_t code = static_cast<uint32_t>(c);
    int nTextLength = 0;
    char szNumber[32] = {};
    int nNumberLength = 0;

    if (pbstrDesc != nullptr) *pbstrDesc = nullptr;

    if (code & 0x20000000u) {
        TRACE_INFO("CCryptoAgent::GetLastErrorDesc: 0x%08x, id %u", code, code & 0xFFFFu);
        nTextLength =
            LoadStringW(g_hInstance, code & 0xFFFFu, wszDescription, kDescriptionChars - 1);
    } else {
        TRACE_INFO("CCryptoAgent::GetLastErrorDesc: 0x%08x", code);
        nTextLength = FormatMessageW(code, wszDescription, kDescriptionChars - 1);
    }
    if (nTextLength < 0) nTextLength = 0;

    // "\n(0x%08x)" right after the text, limited to the room that is left.
    nNumberLength = std::snprintf(szNumber, sizeof szNumber, "\n(0x%08x)", code);
    for (int i = 0; i < nNumberLength && nTextLength + i < kDescriptionChars - 1; ++i)
        wszDescription[nTextLength + i] = static_cast<char16_t>(szNumber[i]);

    TRACE_INFO("CCryptoAgent::GetLastErrorDesc: %s", trace::Text(wszDescription).c_str());
    if (pbstrDesc != nullptr) *pbstrDesc = SysAllocString(wszDescription);
    return S_OK;
}
