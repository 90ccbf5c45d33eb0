// Release of the chosen certificate: a personal-store context or a container
// record, whichever the last SelectCertificate kept.
#include "agent/CryptoAgent.h"
#include "certificates/UnregisteredCertificates.h"
#include "platform/crypt/CertServices.h"

void CCryptoAgent::ReleaseChosenCertificate() {
    CertFreeUnregisteredCertContext(m_pUnregisteredSignCertContext);
    m_pUnregisteredSignCertContext = nullptr;
    if (m_pCertContext != nullptr) CertFreeCertificateContext(m_pCertContext);
    m_pCertContext = nullptr;
}
