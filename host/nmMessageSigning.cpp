#include "host/nmMessageSigning.h"

#include <cstdlib>

#include "agent/CryptoAgent.h"
#include "common/Ascii.h"
#include "common/Conversions.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "host/JSONUtility.h"
#include "host/TessoraHost.h"

static constexpr char kUnit[] = "nmMessageSigning";

// The shared steps below write their lines in the name of the handler that called them.
#define HANDLER_OK_STEP(function, step)                                                   \
    do {                                                                                  \
        if (::trace::IsEnabled(::trace::kFlagInfo)) ::trace::StepOkW((function), (step)); \
    } while (0)
#define HANDLER_FAILED_STEP(function, step, code, reason)                                      \
    do {                                                                                       \
        const int32_t step_code_ = static_cast<int32_t>(code);                                 \
        if (::trace::IsEnabled(step_code_ < 0 ? ::trace::kFlagWideError : ::trace::kFlagInfo)) \
            ::trace::StepFailedW(kUnit, __LINE__, (function), (step), step_code_, (reason));   \
    } while (0)

namespace {

// The response code of a handler until it has succeeded.
constexpr HRESULT kHandlerFailed = -1;

// The checks every handler begins with: the parameter array, the agent and the parameter count.
// Their failed lines carry E_INVALIDARG; the response carries -1.
bool CheckArguments(const char* pszFunction, const cJSON* pArgs, const char* pszArgsReason,
                    const CCryptoAgent* pobjCryptoAgent, int nExpectedCount,
                    const char* pszCountReason) {
    int nArgsCount = 0;

    if (NULL == pArgs) {
        HANDLER_FAILED_STEP(pszFunction, "Check parameter(pArgs)", E_INVALIDARG, pszArgsReason);
        return false;
    }
    HANDLER_OK_STEP(pszFunction, "Check parameter(pArgs)");
    if (NULL == pobjCryptoAgent) {
        HANDLER_FAILED_STEP(pszFunction, "Check parameter(pobjCryptoAgent)", E_INVALIDARG,
                            "NULL == pobjCryptoAgent");
        return false;
    }
    HANDLER_OK_STEP(pszFunction, "Check parameter(pobjCryptoAgent)");
    nArgsCount = cJSON_GetArraySize(pArgs);
    if (nExpectedCount != nArgsCount) {
        HANDLER_FAILED_STEP(pszFunction, "Check parameter(Args count)", E_INVALIDARG,
                            pszCountReason);
        return false;
    }
    HANDLER_OK_STEP(pszFunction, "Check parameter(Args count)");
    return true;
}

// Reads the text parameter at nIndex and converts it to UTF-16. Returns 0, or the
// response code of the failure.
HRESULT ReadTextParameter(const char* pszFunction, const cJSON* pArgs, int nIndex,
                          const char* pszReadStep, const char* pszConvertStep, char** ppszUTF8,
                          char16_t** ppwszText) {
    int nResult = ConverJSONArrayItemtoNULLEndString(nIndex, pArgs, ppszUTF8);
    if (VELK_OK != nResult) {
        HANDLER_FAILED_STEP(pszFunction, pszReadStep, RESULT_FROM_LAST_ERROR(nResult),
                            "VELK_OK != nResult");
        return nResult;
    }
    HANDLER_OK_STEP(pszFunction, pszReadStep);
    TRACE_INFO("%s: parameter %d = %s", trace::FunctionName(pszFunction).c_str(), nIndex,
               trace::Text(*ppszUTF8).c_str());

    HRESULT hResult = UTF8ToUTF16(*ppszUTF8, ppwszText, nullptr);
    if (FAILED(hResult)) {
        HANDLER_FAILED_STEP(pszFunction, pszConvertStep, hResult, "FAILED(hResult)");
        return hResult;
    }
    HANDLER_OK_STEP(pszFunction, pszConvertStep);
    return VELK_OK;
}

// The agent's result: true when the handler may go on.
bool CheckAgentResult(const char* pszFunction, const char* pszStep, HRESULT hResult) {
    if (FAILED(hResult)) {
        HANDLER_FAILED_STEP(pszFunction, pszStep, hResult, "FAILED(hResult)");
        return false;
    }
    HANDLER_OK_STEP(pszFunction, pszStep);
    return true;
}

// The agent's text result as UTF-8. Returns 0 or the conversion's failure.
HRESULT ConvertResultText(const char* pszFunction, const char* pszStep, const char16_t* pwszText,
                          char** ppszUTF8) {
    HRESULT hResult = UTF16ToUTF8(pwszText, ppszUTF8, nullptr);
    if (FAILED(hResult)) {
        HANDLER_FAILED_STEP(pszFunction, pszStep, hResult, "FAILED(hResult)");
        return hResult;
    }
    HANDLER_OK_STEP(pszFunction, pszStep);
    TRACE_INFO("%s: result %s", trace::FunctionName(pszFunction).c_str(),
               trace::Text(*ppszUTF8).c_str());
    return VELK_OK;
}

// The response of the functions whose value is the agent's out flag.
void ConstructFlagResponse(cJSON** ppResponseJSON, const char* pszFuncName, HRESULT hResponseCode,
                           VARIANT_BOOL bFlag) {
    const uint8_t byFlag = (VARIANT_TRUE == bFlag) ? 1 : 0;
    ConstructResponseJSON(ppResponseJSON, pszFuncName, hResponseCode,
                          byFlag ? RESPONSE_VALUE_TRUE : RESPONSE_VALUE_FALSE, &byFlag);
}

// A host function with one text parameter and a text result (GetSignCertInfo, GetKeyID): the
// names its step lines carry and the agent operation it calls.
struct TextQuery {
    const char* pszFuncName;
    const char* pszArgsReason;
    const char* pszConvertStep;
    const char* pszAgentStep;
    const char* pszResultStep;
    HRESULT (CCryptoAgent::*pfnOperation)(const char16_t*, BSTR*);
};

int HandleTextQuery(const char* pszFunction, const TextQuery& query, cJSON** ppResponseJSON,
                    const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    HRESULT hResponseCode = kHandlerFailed;
    HRESULT hResult = VELK_OK;
    char* pszUTF8Parameter = nullptr;
    char16_t* pwszParameter = nullptr;
    BSTR bstrResult = nullptr;
    char* pszUTF8Result = nullptr;

    if (!CheckArguments(pszFunction, pArgs, query.pszArgsReason, pobjCryptoAgent, 1,
                        "1 != nArgsCount"))
        goto Exit;
    hResult = ReadTextParameter(pszFunction, pArgs, 0, "ConverJSONArrayItemtoNULLEndString",
                                query.pszConvertStep, &pszUTF8Parameter, &pwszParameter);
    if (VELK_OK != hResult) goto Fail;

    hResult = (pobjCryptoAgent->*query.pfnOperation)(pwszParameter, &bstrResult);
    if (!CheckAgentResult(pszFunction, query.pszAgentStep, hResult)) goto Fail;
    hResult = ConvertResultText(pszFunction, query.pszResultStep, bstrResult, &pszUTF8Result);
    if (VELK_OK != hResult) goto Fail;
    hResponseCode = VELK_OK;
    goto Exit;

Fail:
    hResponseCode = hResult;
Exit:
    ConstructResponseJSON(ppResponseJSON, query.pszFuncName, hResponseCode, RESPONSE_VALUE_STRING,
                          pszUTF8Result);
    free(pszUTF8Parameter);
    free(pwszParameter);
    free(pszUTF8Result);
    SysFreeString(bstrResult);
    return 0;
}

bool AsciiCaseEqual(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const char ca = FoldAsciiCase(*a);
        const char cb = FoldAsciiCase(*b);
        if (ca != cb) return false;
        if (ca == 0) return true;
    }
}

using Handler = int (*)(cJSON**, const cJSON*, CCryptoAgent*);
struct HostFunction {
    const char* pszName;
    Handler pfnHandler;
};
// In the order the names are compared.
constexpr HostFunction kHostFunctions[] = {
    {"SelectCertificate", nmSelectCertificate},
    {"GetSignCertInfo", nmGetSignCertInfo},
    {"SignMsgPKCS7", nmSignMsgPKCS7},
    {"SetSM2CSPList", nmSetSM2CSPList},
    {"GetKeyID", nmGetKeyID},
    {"GetLastErrorDesc", nmGetLastErrorDesc},
    {"GetVersion", nmGetVersion},
};

}  // namespace

int Invoke(cJSON** ppResponseJSON, const char* pszFuncName, const cJSON* pParams) {
    TRACE_SCOPE();
    TRACE_INFO("Invoke: function %s", trace::Text(pszFuncName).c_str());
    if (pszFuncName != nullptr) {
        for (const HostFunction& function : kHostFunctions) {
            if (AsciiCaseEqual(pszFuncName, function.pszName))
                return function.pfnHandler(ppResponseJSON, pParams, g_pobjCryptoAgent);
        }
    }
    TRACE_ERROR("Invoke: unknown function %s", trace::Text(pszFuncName).c_str());
    return -1;
}

int nmSelectCertificate(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    TRACE_SCOPE();
    HRESULT hResponseCode = kHandlerFailed;
    HRESULT hResult = VELK_OK;
    VARIANT_BOOL bResult = VARIANT_FALSE;
    char* pszUTF8SubjectDNFilter = nullptr;
    char* pszUTF8IssuerDNFilter = nullptr;
    char* pszUTF8SNFilter = nullptr;
    char16_t* pwszSubjectDNFilter = nullptr;
    char16_t* pwszIssuerDNFilter = nullptr;
    char16_t* pwszSNFilter = nullptr;

    if (!CheckArguments(__PRETTY_FUNCTION__, pArgs, "NULL == pArgs", pobjCryptoAgent, 3,
                        "3 != nArgsCount"))
        goto Exit;
    hResult = ReadTextParameter(
        __PRETTY_FUNCTION__, pArgs, 0, "ConverJSONArrayItemtoNULLEndString(SubjectDNFilter)",
        "UTF8ToUTF16(SubjectDNFilter)", &pszUTF8SubjectDNFilter, &pwszSubjectDNFilter);
    if (VELK_OK != hResult) goto Fail;
    hResult = ReadTextParameter(
        __PRETTY_FUNCTION__, pArgs, 1, "ConverJSONArrayItemtoNULLEndString(IssuerDNFilter)",
        "UTF8ToUTF16(IssuerDNFilter)", &pszUTF8IssuerDNFilter, &pwszIssuerDNFilter);
    if (VELK_OK != hResult) goto Fail;
    hResult = ReadTextParameter(__PRETTY_FUNCTION__, pArgs, 2,
                                "ConverJSONArrayItemtoNULLEndString(SNFilter)",
                                "UTF8ToUTF16(SNFilter)", &pszUTF8SNFilter, &pwszSNFilter);
    if (VELK_OK != hResult) goto Fail;

    hResult = pobjCryptoAgent->SelectCertificate(pwszSubjectDNFilter, pwszIssuerDNFilter,
                                                 pwszSNFilter, &bResult);
    if (!CheckAgentResult(__PRETTY_FUNCTION__, "pobjCryptoAgent->SelectCertificate", hResult))
        goto Fail;
    hResponseCode = VELK_OK;
    goto Exit;

Fail:
    hResponseCode = hResult;
Exit:
    ConstructFlagResponse(ppResponseJSON, "SelectCertificate", hResponseCode, bResult);
    free(pszUTF8SubjectDNFilter);
    free(pszUTF8IssuerDNFilter);
    free(pszUTF8SNFilter);
    free(pwszSubjectDNFilter);
    free(pwszIssuerDNFilter);
    free(pwszSNFilter);
    return 0;
}

int nmGetSignCertInfo(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    TRACE_SCOPE();
    static constexpr TextQuery kGetSignCertInfo = {
        .pszFuncName = "GetSignCertInfo",
        .pszArgsReason = "NULL == pArgs",
        .pszConvertStep = "UTF8ToUTF16(pszUTF8InfoType)",
        .pszAgentStep = "GetSignCertInfo",
        .pszResultStep = "UTF16ToUTF8(bstrInfoContent)",
        .pfnOperation = &CCryptoAgent::GetSignCertInfo,
    };
    return HandleTextQuery(__PRETTY_FUNCTION__, kGetSignCertInfo, ppResponseJSON, pArgs,
                           pobjCryptoAgent);
}

int nmSignMsgPKCS7(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    TRACE_SCOPE();
    HRESULT hResponseCode = kHandlerFailed;
    HRESULT hResult = VELK_OK;
    int nResult = 0;
    char* pszUTF8SrcData = nullptr;
    char16_t* pwszSrcData = nullptr;
    char* pszUTF8HashAlg = nullptr;
    char16_t* pwszHashAlg = nullptr;
    uint8_t byWithSrc = 0;
    BSTR bstrSignature = nullptr;
    char* pszUTF8Signature = nullptr;

    if (!CheckArguments(__PRETTY_FUNCTION__, pArgs, "NULL == pArgs", pobjCryptoAgent, 3,
                        "3 != nArgsCount"))
        goto Exit;
    hResult = ReadTextParameter(__PRETTY_FUNCTION__, pArgs, 0, "ConverJSONArrayItemtoNULLEndString",
                                "UTF8ToUTF16(pszUTF8SrcData)", &pszUTF8SrcData, &pwszSrcData);
    if (VELK_OK != hResult) goto Fail;
    hResult = ReadTextParameter(__PRETTY_FUNCTION__, pArgs, 1, "ConverJSONArrayItemtoNULLEndString",
                                "UTF8ToUTF16(pszUTF8HashAlg)", &pszUTF8HashAlg, &pwszHashAlg);
    if (VELK_OK != hResult) goto Fail;
    nResult = ConverJSONArrayItemtobool(2, pArgs, &byWithSrc);
    if (VELK_OK != nResult) {
        FAILED_STEP_W(kUnit, "ConverJSONArrayItemtobool(bWithSrc)", RESULT_FROM_LAST_ERROR(nResult),
                      "VELK_OK != nResult");
        hResult = nResult;
        goto Fail;
    }
    OK_STEP_W(kUnit, "ConverJSONArrayItemtobool(bWithSrc)");
    TRACE_INFO("nmSignMsgPKCS7: bWithSrc = %d", byWithSrc);

    hResult = pobjCryptoAgent->SignMsgPKCS7(
        pwszSrcData, pwszHashAlg, byWithSrc ? VARIANT_TRUE : VARIANT_FALSE, &bstrSignature);
    if (!CheckAgentResult(__PRETTY_FUNCTION__, "SignMsgPKCS7", hResult)) goto Fail;
    hResult = ConvertResultText(__PRETTY_FUNCTION__, "UTF16ToUTF8(bstrSignature)", bstrSignature,
                                &pszUTF8Signature);
    if (VELK_OK != hResult) goto Fail;
    hResponseCode = VELK_OK;
    goto Exit;

Fail:
    hResponseCode = hResult;
Exit:
    ConstructResponseJSON(ppResponseJSON, "SignMsgPKCS7", hResponseCode, RESPONSE_VALUE_STRING,
                          pszUTF8Signature);
    free(pszUTF8SrcData);
    free(pwszSrcData);
    free(pszUTF8HashAlg);
    free(pwszHashAlg);
    free(pszUTF8Signature);
    SysFreeString(bstrSignature);
    return 0;
}

int nmSetSM2CSPList(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    TRACE_SCOPE();
    HRESULT hResponseCode = kHandlerFailed;
    HRESULT hResult = VELK_OK;
    VARIANT_BOOL bResult = VARIANT_FALSE;
    char* pszUTF8SM2CSPList = nullptr;
    char16_t* pwszSM2CSPList = nullptr;

    if (!CheckArguments(__PRETTY_FUNCTION__, pArgs, "NULL == pArgs", pobjCryptoAgent, 1,
                        "1 != nArgsCount"))
        goto Exit;
    hResult =
        ReadTextParameter(__PRETTY_FUNCTION__, pArgs, 0, "ConverJSONArrayItemtoNULLEndString",
                          "UTF8ToUTF16(pszUTF8SM2CSPList)", &pszUTF8SM2CSPList, &pwszSM2CSPList);
    if (VELK_OK != hResult) goto Fail;

    hResult = pobjCryptoAgent->SetSM2CSPList(pwszSM2CSPList, &bResult);
    if (!CheckAgentResult(__PRETTY_FUNCTION__, "pobjCryptoAgent->SetSM2CSPList", hResult))
        goto Fail;
    hResponseCode = VELK_OK;
    goto Exit;

Fail:
    hResponseCode = hResult;
Exit:
    ConstructFlagResponse(ppResponseJSON, "SetSM2CSPList", hResponseCode, bResult);
    free(pszUTF8SM2CSPList);
    free(pwszSM2CSPList);
    return 0;
}

int nmGetKeyID(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    TRACE_SCOPE();
    static constexpr TextQuery kGetKeyID = {
        .pszFuncName = "GetKeyID",
        .pszArgsReason = "NULL == pJSONArgs",
        .pszConvertStep = "UTF8ToUTF16(pszUTF8KeyType)",
        .pszAgentStep = "GetKeyID",
        .pszResultStep = "UTF16ToUTF8(bstrKeyID)",
        .pfnOperation = &CCryptoAgent::GetKeyID,
    };
    return HandleTextQuery(__PRETTY_FUNCTION__, kGetKeyID, ppResponseJSON, pJSONArgs,
                           pobjCryptoAgent);
}

// Every failure answers -1, and the agent's last result code is never touched: the description
// stays available for the next question.
int nmGetLastErrorDesc(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    TRACE_SCOPE();
    HRESULT hResponseCode = kHandlerFailed;
    HRESULT hResult = VELK_OK;
    BSTR bstrDesc = nullptr;
    char* pszUTF8Desc = nullptr;

    if (!CheckArguments(__PRETTY_FUNCTION__, pArgs, "NULL == pArgs", pobjCryptoAgent, 0,
                        "0 != nArgsCount"))
        goto Exit;
    hResult = pobjCryptoAgent->GetLastErrorDesc(&bstrDesc);
    if (!CheckAgentResult(__PRETTY_FUNCTION__, "GetLastErrorDesc", hResult)) goto Exit;
    if (VELK_OK != ConvertResultText(__PRETTY_FUNCTION__, "UTF16ToUTF8", bstrDesc, &pszUTF8Desc))
        goto Exit;
    hResponseCode = VELK_OK;

Exit:
    ConstructResponseJSON(ppResponseJSON, "GetLastErrorDesc", hResponseCode, RESPONSE_VALUE_STRING,
                          pszUTF8Desc);
    free(pszUTF8Desc);
    SysFreeString(bstrDesc);
    return 0;
}

int nmGetVersion(cJSON** ppResponseJSON, const cJSON*, CCryptoAgent*) {
    TRACE_SCOPE();
    ConstructResponseJSON(ppResponseJSON, "GetVersion", VELK_OK, RESPONSE_VALUE_STRING,
                          kHostVersion);
    return 0;
}
