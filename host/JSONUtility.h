// Request and response messages over cJSON. All texts are UTF-8; every text handed out is a new
// NUL-terminated buffer that the caller releases with free, every cJSON item one that the caller
// deletes with cJSON_Delete. The results 87 and -1 are plain numbers, not result codes.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>

#include "platform/runtime/Types.h"

// What the value pointer of ConstructResponseJSON points to.
enum ResponseValueKind : int {
    RESPONSE_VALUE_FALSE = 0,   // one byte: "result" is true when it is not 0
    RESPONSE_VALUE_TRUE = 1,    // the same
    RESPONSE_VALUE_NUMBER = 3,  // a double
    RESPONSE_VALUE_STRING = 4,  // a NUL-terminated UTF-8 text
    RESPONSE_VALUE_INT = 7,     // an int32_t
};

// Splits a request into a copy of its "function" string, a deep copy of its "params" value and a
// copy of its "randomId" string (left null when absent). Any out argument may be null. Returns
// 0, 87 for a null or empty text, or -1.
int ParseRequestMsgToJSON(char** ppszUTF8FuncName, cJSON** ppParamsArray, const char* pszRequestMsg,
                          char** ppszUTF8RandomId);

// Reads the string parameter at `nIndex`: a JSON string, or an object whose "param" member is a
// string. Returns 0, 87, -1, NTE_INTERNAL_ERROR or VELK_E_JSON_PARAM_TYPE.
int ConverJSONArrayItemtoNULLEndString(int nIndex, const cJSON* pJSONArray,
                                       char** ppszNULLEndString);
// Reads the boolean parameter at `nIndex` (true/false, or an object whose "param" member is) into
// *pbyValue as 1 or 0. Returns 0, 87, NTE_INTERNAL_ERROR or VELK_E_JSON_PARAM_TYPE.
int ConverJSONArrayItemtobool(int nIndex, const cJSON* pJSONArray, uint8_t* pbyValue);

// Builds {"function":..., "errorcode":..., "result":...}; "result" is false whenever hResult is
// not 0. Returns 0, 87, VELK_E_JSON_CREATE, or -1 for a value kind outside ResponseValueKind.
int ConstructResponseJSON(cJSON** ppResponseJSON, const char* pszFuncName, HRESULT hResult,
                          int nValueKind, const void* pValue);

// The outgoing text: the response object printed without whitespace (with "randomId" added last
// when non-empty), or the fixed error response text when there is no object. Always returns 0.
int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId, cJSON* pResponseJSON,
                             char** ppszResponseMsg);
