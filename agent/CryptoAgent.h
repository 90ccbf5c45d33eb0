// The one crypto agent: performs every host function and keeps what lives between requests.
#pragma once

#include <cstddef>

#include "common/ResultCodes.h"
#include "platform/runtime/Types.h"
#include "platform/runtime/WideString.h"

struct CERT_CONTEXT;               // platform certificate context (reference-counted)
struct UNREGISTERED_CERT_CONTEXT;  // certificate found in a provider's key container
using PCCERT_CONTEXT = const CERT_CONTEXT*;

// Virtual operations in their fixed slot order; text parameters are NUL-terminated UTF-16, out
// texts receive a new BSTR that the caller releases with SysFreeString.
class CCryptoAgent final {
  public:
    CCryptoAgent();
    ~CCryptoAgent();
    CCryptoAgent(const CCryptoAgent&) = delete;
    CCryptoAgent& operator=(const CCryptoAgent&) = delete;

    /* 0 */ virtual HRESULT SelectCertificate(const char16_t* SubjectDNFilter,
                                              const char16_t* IssuerDNFilter,
                                              const char16_t* SNFilter, VARIANT_BOOL* pbResult);
    /* 1 */ virtual HRESULT GetSignCertInfo(const char16_t* bstrInfoType, BSTR* pbstrInfoContent);
    /* 2 */ virtual HRESULT SignMsgPKCS7(const char16_t* bstrSourceData,
                                         const char16_t* bstrHashAlg, VARIANT_BOOL bWithSrc,
                                         BSTR* pbstrSignature);
    /* 3 */ virtual HRESULT VerifyMsgSignaturePKCS7Attached(const char16_t* bstrSignature,
                                                            const char16_t* bstrSignatureType,
                                                            BSTR* pbstrOut);
    /* 4 */ virtual HRESULT VerifyMsgSignaturePKCS7Detached(const char16_t* bstrSignature,
                                                            const char16_t* bstrSignatureType,
                                                            const char16_t* bstrSourceMsg,
                                                            BSTR* pbstrOut);
    /* 5 */ virtual HRESULT GetVersion(BSTR* pbstrVersion);
    /* 6 */ virtual HRESULT SetSM2CSPList(const char16_t* bstrSM2CSPList, VARIANT_BOOL* pbResult);
    /* 7 */ virtual HRESULT GetKeyID(const char16_t* bstrKeyType, BSTR* pbstrKeyID);
    /* 8 */ virtual HRESULT GetLastErrorDesc(BSTR* pbstrDesc);

    // What one SetSM2CSPList may hand the agent: every SelectCertificate afterwards splits the list
    // and loads each provider, so a larger one is refused (E_INVALIDARG) and the stored list kept.
    static constexpr size_t kMaxSM2CSPNames = 64;
    static constexpr size_t kMaxSM2CSPListChars = 16 * 1024;  // UTF-16 code units

    // Fields, in their fixed order.
    HRESULT m_hLastResult = VELK_OK;
    int32_t m_bSM2Certificate = 0;
    char16_t* m_lpwszSM2CSPList = nullptr;
    PCCERT_CONTEXT m_pCertContext = nullptr;
    UNREGISTERED_CERT_CONTEXT* m_pUnregisteredSignCertContext = nullptr;

  private:
    // Releases m_pCertContext and m_pUnregisteredSignCertContext (certificate services).
    void ReleaseChosenCertificate();
    // OpenSSL's digest tables and error strings, on the first call of a host function that reaches
    // OpenSSL: loading its configuration costs milliseconds that GetVersion must not pay.
    void PrepareOpenSsl();

    bool m_bOpenSslPrepared = false;
};
