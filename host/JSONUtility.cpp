#include "host/JSONUtility.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/Ascii.h"
#include "common/Conversions.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "common/Utf.h"

static constexpr char kUnit[] = "JSONUtility";

// The shared reader steps write their lines in the name of the reader that called them.
#define READER_OK_STEP(function, step)                             \
    do {                                                           \
        if (::trace::IsEnabled(::trace::kFlagInfo))                \
            ::trace::StepOkA(kUnit, __LINE__, (function), (step)); \
    } while (0)
#define READER_FAILED_STEP(function, step, code, reason)                                          \
    do {                                                                                          \
        if (::trace::IsEnabled(::trace::kFlagError))                                              \
            ::trace::StepFailedA(kUnit, __LINE__, (function), (step), static_cast<int32_t>(code), \
                                 (reason));                                                       \
    } while (0)

namespace {

// The error response texts keep a blank after each comma; they are what a browser extension
// receives when a request could not be answered by a handler.
constexpr char kErrorResponseWithId[] =
    "{\"function\":\"%s\", \"errorcode\":%d, \"result\":false, \"randomId\":\"%s\"}";
constexpr char kErrorResponse[] = "{\"function\":\"%s\", \"errorcode\":%d, \"result\":false}";

// A JSON text must be UTF-8 (RFC 8259, section 8.1): an invalid sequence taken from a request
// becomes U+FFFD before it is echoed, as the UTF-8 converters do. Valid text stays unchanged.
std::string ValidUtf8(const char* text) { return Utf16ToUtf8String(Utf8ToUtf16String(text)); }

// The contents of a JSON string for `text` (RFC 8259, section 7), escaped the way cJSON prints
// its strings, so that an echoed name can neither break the response nor add members to it.
std::string JsonStringContents(const char* text) {
    std::string out;
    for (unsigned char c : ValidUtf8(text)) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += HexDigit(c >> 4);
                    out += HexDigit(c);
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

// The type of a cJSON item without its storage flags (cJSON_IsReference, cJSON_StringIsConst).
int ItemType(const cJSON* item) { return item != nullptr ? (item->type & 0xFF) : cJSON_Invalid; }

// The checks both parameter readers begin with: the item at `nIndex`, or the failure number.
int GetParameterItem(const char* pszFunction, int nIndex, const cJSON* pJSONArray,
                     const cJSON** ppJSONItem) {
    int nCount = 0;
    const cJSON* pJSONItem = nullptr;

    *ppJSONItem = nullptr;
    if (NULL == pJSONArray || nIndex < 0) {
        READER_FAILED_STEP(pszFunction, "Check Parameters(pJSONArray)", ERROR_INVALID_PARAMETER,
                           "(NULL == pJSONArray || nIndex < 0)");
        return ERROR_INVALID_PARAMETER;
    }
    READER_OK_STEP(pszFunction, "Check Parameters(pJSONArray)");

    nCount = cJSON_GetArraySize(pJSONArray);
    TRACE_INFO("%s: parameter count %d, index %d", trace::FunctionName(pszFunction).c_str(), nCount,
               nIndex);
    if (0 == nCount || nCount <= nIndex) {
        READER_FAILED_STEP(pszFunction, "Check Parameters(JSONArray nIndex)",
                           ERROR_INVALID_PARAMETER, "(0 == nCount || nCount <= nIndex)");
        return ERROR_INVALID_PARAMETER;
    }
    READER_OK_STEP(pszFunction, "Check Parameters(JSONArray nIndex)");

    pJSONItem = cJSON_GetArrayItem(pJSONArray, nIndex);
    if (NULL == pJSONItem) {
        READER_FAILED_STEP(pszFunction, "cJSON_GetArrayItem", NTE_INTERNAL_ERROR,
                           "NULL == pJSONItem");
        return NTE_INTERNAL_ERROR;
    }
    READER_OK_STEP(pszFunction, "cJSON_GetArrayItem");
    *ppJSONItem = pJSONItem;
    return 0;
}

}  // namespace

int ParseRequestMsgToJSON(char** ppszUTF8FuncName, cJSON** ppParamsArray, const char* pszRequestMsg,
                          char** ppszUTF8RandomId) {
    TRACE_SCOPE_A();
    int nResult = -1;
    cJSON* pJsonRoot = nullptr;
    const cJSON* pFunction = nullptr;
    const char* pszUTF8FuncName = nullptr;
    cJSON* pParamsArray = nullptr;
    const cJSON* pRandomId = nullptr;
    const char* pszUTF8RandomId = nullptr;
    cJSON* pParamsCopy = nullptr;

    if (NULL == pszRequestMsg || 0 == strlen(pszRequestMsg)) {
        FAILED_STEP(kUnit, "Check Parameters(pszRequestMsg)", ERROR_INVALID_PARAMETER,
                    "(NULL == pszRequestMsg || 0 == strlen(pszRequestMsg))");
        nResult = ERROR_INVALID_PARAMETER;
        goto Exit;
    }
    OK_STEP(kUnit, "Check Parameters(pszRequestMsg)");

    // Text after the first complete value is ignored; cJSON limits the nesting depth, so a
    // deeply nested request fails here instead of exhausting the stack.
    pJsonRoot = cJSON_Parse(pszRequestMsg);
    if (NULL == pJsonRoot) {
        FAILED_STEP(kUnit, "cJSON_Parse(pszRequestMsg)", -1, "NULL == pJsonRoot");
        goto Exit;
    }
    OK_STEP(kUnit, "cJSON_Parse(pszRequestMsg)");

    // cJSON_GetObjectItem ignores the case of member names: "FUNCTION" and "Params" count.
    pFunction = cJSON_GetObjectItem(pJsonRoot, "function");
    if (NULL == pFunction) {
        FAILED_STEP(kUnit, "cJSON_GetObjectItem(function)", -1, "NULL == pFunction");
        goto Exit;
    }
    OK_STEP(kUnit, "cJSON_GetObjectItem(function)");

    pszUTF8FuncName = cJSON_GetStringValue(pFunction);
    if (NULL == pszUTF8FuncName) {
        FAILED_STEP(kUnit, "cJSON_GetObjectItem(pszUTF8FuncName)", -1, "NULL == pszUTF8FuncName");
        goto Exit;
    }
    OK_STEP(kUnit, "cJSON_GetObjectItem(pszUTF8FuncName)");
    TRACE_INFO("ParseRequestMsgToJSON: function %s", pszUTF8FuncName);

    pParamsArray = cJSON_GetObjectItem(pJsonRoot, "params");
    if (NULL == pParamsArray) {
        FAILED_STEP(kUnit, "cJSON_GetObjectItem(param)", -1, "NULL == pParamsArray");
        goto Exit;
    }
    OK_STEP(kUnit, "cJSON_GetObjectItem(param)");

    pRandomId = cJSON_GetObjectItem(pJsonRoot, "randomId");
    if (pRandomId != nullptr) {
        pszUTF8RandomId = cJSON_GetStringValue(pRandomId);
        if (NULL == pszUTF8RandomId) {
            FAILED_STEP(kUnit, "cJSON_GetObjectItem(pszUTF8RandomId)", -1,
                        "NULL == pszUTF8RandomId");
            goto Exit;
        }
        OK_STEP(kUnit, "cJSON_GetObjectItem(pszUTF8RandomId)");
        TRACE_INFO("ParseRequestMsgToJSON: randomId %s", pszUTF8RandomId);
        if (ppszUTF8RandomId != nullptr) {
            *ppszUTF8RandomId = CopyText(pszUTF8RandomId);
            if (!*ppszUTF8RandomId) {
                FAILED_STEP(kUnit, "New memory", -1, "!*ppszUTF8RandomId");
                goto Exit;
            }
            OK_STEP(kUnit, "New memory");
        }
    }

    if (ppszUTF8FuncName != nullptr) {
        *ppszUTF8FuncName = CopyText(pszUTF8FuncName);
        if (!*ppszUTF8FuncName) {
            FAILED_STEP(kUnit, "New memory", -1, "!*ppszUTF8FuncName");
            goto Exit;
        }
        OK_STEP(kUnit, "New memory");
    }

    if (ppParamsArray != nullptr) {
        // The parsed tree is deleted below, so its "params" subtree is handed over whole: the
        // caller gets the same tree a deep copy would give, without copying a message of
        // megabytes once more. The step keeps its name, so traces read as before.
        pParamsCopy = cJSON_DetachItemViaPointer(pJsonRoot, pParamsArray);
        if (NULL == pParamsCopy) {
            FAILED_STEP(kUnit, "cJSON_Duplicate(params)", -1, "NULL == pParamsCopy");
            goto Exit;
        }
        OK_STEP(kUnit, "cJSON_Duplicate(params)");
        *ppParamsArray = pParamsCopy;
    }
    nResult = 0;

Exit:
    cJSON_Delete(pJsonRoot);
    return nResult;
}

int ConverJSONArrayItemtoNULLEndString(int nIndex, const cJSON* pJSONArray,
                                       char** ppszNULLEndString) {
    TRACE_SCOPE_A();
    int nResult = 0;
    const cJSON* pJSONItem = nullptr;
    const cJSON* pParam = nullptr;
    const char* pszJSONItem = nullptr;
    char* pszNULLEndString = nullptr;

    nResult = GetParameterItem(__PRETTY_FUNCTION__, nIndex, pJSONArray, &pJSONItem);
    if (nResult != 0) goto Exit;

    if (cJSON_IsObject(pJSONItem)) {
        // An object parameter carries its value in "param"; a missing member has no type and
        // fails like a member of the wrong type.
        pParam = cJSON_GetObjectItem(pJSONItem, "param");
        if (cJSON_String != ItemType(pParam)) {
            FAILED_STEP(kUnit, "cJSON_GetObjectItem(type)", VELK_E_JSON_PARAM_TYPE,
                        "cJSON_String != nItemType");
            nResult = VELK_E_JSON_PARAM_TYPE;
            goto Exit;
        }
        OK_STEP(kUnit, "cJSON_GetObjectItem(type)");
        pszJSONItem = pParam->valuestring;
        if (NULL == pszJSONItem) {
            FAILED_STEP(kUnit, "cJSON_GetObjectItem(valuestring)", VELK_E_JSON_PARAM_TYPE,
                        "NULL == pszJSONItem");
            nResult = VELK_E_JSON_PARAM_TYPE;
            goto Exit;
        }
        OK_STEP(kUnit, "cJSON_GetObjectItem(valuestring)");
    } else {
        if (cJSON_String != ItemType(pJSONItem)) {
            FAILED_STEP(kUnit, "JSONItem(type)", VELK_E_JSON_PARAM_TYPE,
                        "cJSON_String != pJSONItem->type");
            nResult = VELK_E_JSON_PARAM_TYPE;
            goto Exit;
        }
        OK_STEP(kUnit, "JSONItem(type)");
        pszJSONItem = pJSONItem->valuestring;
        if (NULL == pszJSONItem) {
            FAILED_STEP(kUnit, "JSONItem(valuestring)", VELK_E_JSON_PARAM_TYPE,
                        "NULL == pszJSONItem");
            nResult = VELK_E_JSON_PARAM_TYPE;
            goto Exit;
        }
        OK_STEP(kUnit, "JSONItem(valuestring)");
    }

    pszNULLEndString = CopyText(pszJSONItem);
    if (!pszNULLEndString) {
        FAILED_STEP(kUnit, "New memory", -1, "!pszNULLEndString");
        nResult = -1;
        goto Exit;
    }
    OK_STEP(kUnit, "New memory");
    if (ppszNULLEndString != nullptr) {
        *ppszNULLEndString = pszNULLEndString;
        pszNULLEndString = nullptr;
    }

Exit:
    free(pszNULLEndString);
    return nResult;
}

int ConverJSONArrayItemtobool(int nIndex, const cJSON* pJSONArray, uint8_t* pbyValue) {
    TRACE_SCOPE_A();
    int nResult = 0;
    const cJSON* pJSONItem = nullptr;
    int nItemType = cJSON_Invalid;

    nResult = GetParameterItem(__PRETTY_FUNCTION__, nIndex, pJSONArray, &pJSONItem);
    if (nResult != 0) goto Exit;

    nItemType = cJSON_IsObject(pJSONItem) ? ItemType(cJSON_GetObjectItem(pJSONItem, "param"))
                                          : ItemType(pJSONItem);
    if (cJSON_True != nItemType && cJSON_False != nItemType) {
        FAILED_STEP(kUnit, "cJSON_GetObjectItem(type)", VELK_E_JSON_PARAM_TYPE,
                    "(cJSON_True != nItemType && cJSON_False != nItemType)");
        nResult = VELK_E_JSON_PARAM_TYPE;
        goto Exit;
    }
    OK_STEP(kUnit, "cJSON_GetObjectItem(type)");
    if (pbyValue != nullptr) *pbyValue = (cJSON_True == nItemType) ? 1 : 0;

Exit:
    return nResult;
}

int ConstructResponseJSON(cJSON** ppResponseJSON, const char* pszFuncName, HRESULT hResult,
                          int nValueKind, const void* pValue) {
    TRACE_SCOPE_A();
    int nResult = 0;
    cJSON* pResponseJSON = nullptr;
    cJSON* pResult = nullptr;

    if (ppResponseJSON != nullptr) *ppResponseJSON = nullptr;
    if (NULL == pszFuncName || 0 == strlen(pszFuncName)) {
        FAILED_STEP(kUnit, "Check Parameters(pszFuncName)", ERROR_INVALID_PARAMETER,
                    "(NULL == pszFuncName || 0 == strlen(pszFuncName))");
        nResult = ERROR_INVALID_PARAMETER;
        goto Exit;
    }
    OK_STEP(kUnit, "Check Parameters(pszFuncName)");

    pResponseJSON = cJSON_CreateObject();
    if (NULL == pResponseJSON) {
        FAILED_STEP(kUnit, "cJSON_CreateObject", VELK_E_JSON_CREATE, "NULL == pResponseJSON");
        nResult = VELK_E_JSON_CREATE;
        goto Exit;
    }
    OK_STEP(kUnit, "cJSON_CreateObject");

    if (NULL == cJSON_AddStringToObject(pResponseJSON, "function", pszFuncName) ||
        NULL == cJSON_AddNumberToObject(pResponseJSON, "errorcode", static_cast<double>(hResult))) {
        FAILED_STEP(kUnit, "cJSON_AddItemToObject", VELK_E_JSON_CREATE, "NULL == pItem");
        nResult = VELK_E_JSON_CREATE;
        goto Exit;
    }

    if (hResult != VELK_OK) {
        pResult = cJSON_AddFalseToObject(pResponseJSON, "result");
    } else if (pValue != nullptr) {
        switch (nValueKind) {
            case RESPONSE_VALUE_FALSE:
            case RESPONSE_VALUE_TRUE: {
                const bool bValue = *static_cast<const uint8_t*>(pValue) != 0;
                TRACE_INFO("ConstructResponseJSON: result %s", bValue ? "true" : "false");
                pResult = cJSON_AddBoolToObject(pResponseJSON, "result", bValue);
                break;
            }
            case RESPONSE_VALUE_NUMBER: {
                const double dValue = *static_cast<const double*>(pValue);
                TRACE_INFO("ConstructResponseJSON: result %f", dValue);
                pResult = cJSON_AddNumberToObject(pResponseJSON, "result", dValue);
                break;
            }
            case RESPONSE_VALUE_STRING: {
                const char* pszValue = static_cast<const char*>(pValue);
                TRACE_INFO("ConstructResponseJSON: result %s", pszValue);
                pResult = cJSON_AddStringToObject(pResponseJSON, "result", pszValue);
                break;
            }
            case RESPONSE_VALUE_INT: {
                const int32_t nValue = *static_cast<const int32_t*>(pValue);
                TRACE_INFO("ConstructResponseJSON: result %d", nValue);
                pResult = cJSON_AddNumberToObject(pResponseJSON, "result", nValue);
                break;
            }
            default:
                FAILED_STEP(kUnit, "Check Parameters(nValueKind)", -1, "unknown nValueKind");
                nResult = -1;
                goto Exit;
        }
    } else {
        pResult = pResponseJSON;  // code 0 without a value: no "result" member
    }
    if (NULL == pResult) {
        FAILED_STEP(kUnit, "cJSON_AddItemToObject(result)", VELK_E_JSON_CREATE, "NULL == pResult");
        nResult = VELK_E_JSON_CREATE;
        goto Exit;
    }

    if (ppResponseJSON != nullptr) {
        *ppResponseJSON = pResponseJSON;
        pResponseJSON = nullptr;
    }

Exit:
    cJSON_Delete(pResponseJSON);
    return nResult;
}

int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId, cJSON* pResponseJSON,
                             char** ppszResponseMsg) {
    TRACE_SCOPE_A();
    char* pszResponseMsg = nullptr;
    const bool bHaveRandomId = pszRandomId != nullptr && *pszRandomId != 0;
    std::string strFuncName;
    std::string strRandomId;
    int nLength = 0;

    TRACE_INFO("ConvertJSONToResponseMsg: randomId %s, function %s",
               trace::Text(pszRandomId).c_str(), trace::Text(pszFuncName).c_str());
    if (ppszResponseMsg != nullptr) *ppszResponseMsg = nullptr;

    if (pResponseJSON != nullptr) {
        if (bHaveRandomId) {
            cJSON_AddStringToObject(pResponseJSON, "randomId", ValidUtf8(pszRandomId).c_str());
        }
        pszResponseMsg = cJSON_PrintUnformatted(pResponseJSON);
        if (pszResponseMsg != nullptr) goto Exit;
        // No memory for the printed object: the request still gets the error response text.
        FAILED_STEP(kUnit, "cJSON_PrintUnformatted", -1, "NULL == pszResponseMsg");
    }

    strFuncName = JsonStringContents(pszFuncName != nullptr ? pszFuncName : "");
    if (bHaveRandomId) {
        strRandomId = JsonStringContents(pszRandomId);
        nLength = snprintf(nullptr, 0, kErrorResponseWithId, strFuncName.c_str(),
                           NTE_INTERNAL_ERROR, strRandomId.c_str());
    } else {
        nLength = snprintf(nullptr, 0, kErrorResponse, strFuncName.c_str(), NTE_INTERNAL_ERROR);
    }
    if (nLength < 0) goto Exit;
    pszResponseMsg = static_cast<char*>(calloc(static_cast<size_t>(nLength) + 1, 1));
    if (!pszResponseMsg) {
        FAILED_STEP(kUnit, "New memory", -1, "!pszResponseMsg");
        goto Exit;
    }
    OK_STEP(kUnit, "New memory");
    if (bHaveRandomId) {
        snprintf(pszResponseMsg, static_cast<size_t>(nLength) + 1, kErrorResponseWithId,
                 strFuncName.c_str(), NTE_INTERNAL_ERROR, strRandomId.c_str());
    } else {
        snprintf(pszResponseMsg, static_cast<size_t>(nLength) + 1, kErrorResponse,
                 strFuncName.c_str(), NTE_INTERNAL_ERROR);
    }

Exit:
    if (ppszResponseMsg != nullptr) {
        *ppszResponseMsg = pszResponseMsg;
    } else {
        free(pszResponseMsg);
    }
    return 0;
}
