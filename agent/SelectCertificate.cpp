#include <cstdlib>
#include <cstring>
#include <vector>

#include "agent/CryptoAgent.h"
#include "certificates/CertificateFilters.h"
#include "certificates/CertificateInfo.h"
#include "certificates/UnregisteredCertificates.h"
#include "common/Conversions.h"
#include "common/Trace.h"
#include "platform/runtime/Resources.h"
#include "platform/window/CertificateDialogs.h"

static constexpr char kUnit[] = "CryptoAgent";

namespace {

constexpr char kRsaFamilyOid[] = "1.2.840.113549";
constexpr char kSm2FamilyOid[] = "1.2.156.10197";

bool SameEncoding(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
    return a->cbCertEncoded == b->cbCertEncoded &&
           std::memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

}  // namespace

HRESULT CCryptoAgent::SelectCertificate(const char16_t* SubjectDNFilter,
                                        const char16_t* IssuerDNFilter, const char16_t* SNFilter,
                                        VARIANT_BOOL* pbResult) {
    PrepareOpenSsl();
    TRACE_SCOPE();
    HRESULT hResult = S_OK;
    CERTIFICATE_FILTER stFilter = {};
    CertificateSet vtrCertificateSet;
    UnregisteredCertificateSet vtrUnregisteredSet;
    uint8_t* pbSerialNumber = nullptr;
    uint32_t dwSerialNumberCount = 0;
    PCCERT_CONTEXT pstSelectedCert = nullptr;
    UNREGISTERED_CERT_CONTEXT* pUnregisteredCopy = nullptr;
    WCHAR* lpwszSubject = nullptr;
    DWORD dwSubjectLength = 0;
    CUSTOM_CRYPTUI_SELECTCERTIFICATE_STRUCT stRequest = {};

    TRACE_INFO(
        "CCryptoAgent::SelectCertificate: SubjectDNFilter %s, "
        "IssuerDNFilter %s, SNFilter %s",
        trace::Text(SubjectDNFilter).c_str(), trace::Text(IssuerDNFilter).c_str(),
        trace::Text(SNFilter).c_str());
    if (pbResult != nullptr) *pbResult = VARIANT_FALSE;

    // Forget the previous choice first: after any failure no certificate is held.
    ReleaseChosenCertificate();

    if (SNFilter != nullptr && SNFilter[0] != 0) {
        hResult = ConvertStringToBinaryData(&dwSerialNumberCount, SNFilter, &pbSerialNumber);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "ConvertStringToBinaryData", hResult, "FAILED(hResult)");
            goto Exit;
        }
        OK_STEP_W(kUnit, "ConvertStringToBinaryData");
        TRACE_INFO("CCryptoAgent::SelectCertificate: serial filter of %u bytes",
                   dwSerialNumberCount);
    }

    stFilter.lpwszSubjectDNFilter = SubjectDNFilter;
    stFilter.lpwszIssuerDNFilter = IssuerDNFilter;
    stFilter.pbSerialNumber = pbSerialNumber;
    // The converted serial is followed by four zero bytes; the comparison may use them, no more.
    if (pbSerialNumber != nullptr) stFilter.cbSerialNumber = dwSerialNumberCount + 4;
    stFilter.dwKeyUsage = CERT_DIGITAL_SIGNATURE_KEY_USAGE;
    stFilter.bCheckPrivateKey = 1;
    stFilter.lpszSignatureAlgOID = kRsaFamilyOid;
    hResult = FilterCertificatesfromLocalStore(&stFilter, vtrCertificateSet);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "FilterCertificatesfromLocalStore", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "FilterCertificatesfromLocalStore");
    TRACE_INFO("CCryptoAgent::SelectCertificate: %zu personal-store candidates",
               vtrCertificateSet.size());

    if (m_lpwszSM2CSPList != nullptr && m_lpwszSM2CSPList[0] != 0) {
        stFilter.lpszSignatureAlgOID = kSm2FamilyOid;
        hResult =
            FilterUnregisteredCertificatesfromCSP(m_lpwszSM2CSPList, &stFilter, vtrUnregisteredSet);
        if (FAILED(hResult)) {
            FAILED_STEP_W(kUnit, "FilterUnregisteredCertificatesfromCSP", hResult,
                          "FAILED(hResult)");
            goto Exit;
        }
        OK_STEP_W(kUnit, "FilterUnregisteredCertificatesfromCSP");
        TRACE_INFO("CCryptoAgent::SelectCertificate: %zu container candidates",
                   vtrUnregisteredSet.size());
        for (UNREGISTERED_CERT_CONTEXT* pRecord : vtrUnregisteredSet) {
            PCCERT_CONTEXT pDuplicate = CertDuplicateCertificateContext(pRecord->pCertContext);
            if (pDuplicate != nullptr) vtrCertificateSet.push_back(pDuplicate);
        }
    }

    if (vtrCertificateSet.size() == 0) {
        hResult = VELK_E_NO_AVAILABLE_CERT;
        FAILED_STEP_W(kUnit, "Check certificate count", hResult, "vtrCertificateSet.size() == 0");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Check certificate count");

    stRequest.basic.dwVariant = 0;
    stRequest.basic.hInstance = g_hInstance;
    stRequest.basic.dwForceDialog = 0;
    stRequest.basic.dwUseOwner = 1;
    stRequest.basic.hwndOwner = GetForegroundWindow();
    hResult = CustomCryptUIDlgSelectCertificate(&stRequest, &pstSelectedCert, vtrCertificateSet);
    if (hResult == HRESULT_TLW_WITH_WSCHILD) {
        // The window could not be made with that owner; one more try with the
        // active window.
        stRequest.basic.hwndOwner = GetActiveWindow();
        hResult =
            CustomCryptUIDlgSelectCertificate(&stRequest, &pstSelectedCert, vtrCertificateSet);
    }
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "CustomCryptUIDlgSelectCertificate", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "CustomCryptUIDlgSelectCertificate");

    hResult =
        QueryCertContextInfo(pstSelectedCert, CERTINFO_SUBJECT_DN, &lpwszSubject, &dwSubjectLength);
    if (FAILED(hResult)) {
        FAILED_STEP_W(kUnit, "QueryCertContextInfo", hResult, "FAILED(hResult)");
        goto Exit;
    }
    OK_STEP_W(kUnit, "QueryCertContextInfo");
    TRACE_INFO("CCryptoAgent::SelectCertificate: chose %s", trace::Text(lpwszSubject).c_str());

    if (CheckCertSignatureAlg(kSm2FamilyOid, pstSelectedCert) == S_OK) {
        m_bSM2Certificate = 1;
        for (UNREGISTERED_CERT_CONTEXT* pRecord : vtrUnregisteredSet) {
            if (SameEncoding(pRecord->pCertContext, pstSelectedCert)) {
                hResult = CertDuplicateUnregisteredCertContext(pRecord, &pUnregisteredCopy);
                if (FAILED(hResult)) {
                    FAILED_STEP_W(kUnit, "CertDuplicateUnregisteredCertContext", hResult,
                                  "FAILED(hResult)");
                    goto Exit;
                }
                break;
            }
        }
        if (pUnregisteredCopy == nullptr) {
            // Without its container the key cannot be reached; never keep an SM2
            // choice as a plain store certificate.
            m_bSM2Certificate = 0;
            hResult = VELK_E_INVALID_KEY_ALG;
            FAILED_STEP_W(kUnit, "Check certificate signature algorithm", hResult,
                          "NULL == pUnregisteredCopy");
            goto Exit;
        }
        CertFreeCertificateContext(pstSelectedCert);
        pstSelectedCert = nullptr;
    } else if (CheckCertSignatureAlg(kRsaFamilyOid, pstSelectedCert) == S_OK) {
        m_bSM2Certificate = 0;
    } else {
        hResult = VELK_E_INVALID_KEY_ALG;
        FAILED_STEP_W(kUnit, "Check certificate signature algorithm", hResult, "TRUE");
        goto Exit;
    }
    OK_STEP_W(kUnit, "Check certificate signature algorithm");

    m_pUnregisteredSignCertContext = pUnregisteredCopy;
    pUnregisteredCopy = nullptr;
    m_pCertContext = pstSelectedCert;
    pstSelectedCert = nullptr;
    if (pbResult != nullptr) *pbResult = VARIANT_TRUE;
    hResult = S_OK;

Exit:
    RemoveAllCertificates(vtrCertificateSet);
    RemoveAllUnregisteredCertificates(vtrUnregisteredSet);
    CertFreeUnregisteredCertContext(pUnregisteredCopy);
    std::free(pbSerialNumber);
    std::free(lpwszSubject);
    if (pstSelectedCert != nullptr) CertFreeCertificateContext(pstSelectedCert);
    m_hLastResult = hResult;
    return hResult;
}
