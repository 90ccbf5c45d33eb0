// Release of the chosen certificate. Until the certificate services exist the agent never holds
// one, so there is nothing to release.
#include "agent/CryptoAgent.h"

void CCryptoAgent::ReleaseChosenCertificate() {
    m_pCertContext = nullptr;
    m_pUnregisteredSignCertContext = nullptr;
}
