// The host functions: Invoke maps a request's function name to its handler; each handler checks
// and converts the parameters, calls the crypto agent and builds the response object.
#pragma once

#include <cjson/cJSON.h>

class CCryptoAgent;

// The version the host reports through its GetVersion function.
constexpr char kHostVersion[] = "3.4.0.3";

// Runs the handler whose name matches pszFuncName without regard to ASCII letter case and
// returns what it returns (0). Returns -1 when no function has that name; then no response
// object is made.
int Invoke(cJSON** ppResponseJSON, const char* pszFuncName, const cJSON* pParams);

// Every handler always returns 0 and always attempts to build *ppResponseJSON.
int nmSelectCertificate(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
int nmGetSignCertInfo(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
int nmSignMsgPKCS7(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
int nmSetSM2CSPList(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
int nmGetKeyID(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmGetLastErrorDesc(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
int nmGetVersion(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent);
