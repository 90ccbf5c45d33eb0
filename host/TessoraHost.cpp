#include "host/TessoraHost.h"

#include <malloc.h>

#include <csignal>
#include <cstdlib>
#include <new>

#include "agent/CryptoAgent.h"
#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "host/JSONUtility.h"
#include "host/nmMessageSigning.h"
#include "platform/runtime/IOStream.h"
#include "platform/runtime/Resources.h"

static constexpr char kUnit[] = "TessoraHost";

namespace {

// Blocks up to this size come from the heap rather than from mmap of their own (glibc's limit).
constexpr int kKeptRequestBlock = 32 * 1024 * 1024;
// Free memory at the top of the heap beyond this is returned to the system.
constexpr int kKeptRequestMemory = 64 * 1024 * 1024;

}  // namespace

CCryptoAgent* g_pobjCryptoAgent = nullptr;

int wmain(int, char*[]) {
    int nExitCode = 0;
    int nResult = 0;

    trace::Start("tessora-host");
    TRACE_INFO("Enter wmain");
    // The frames own standard output from here on.
    OpenProtocolDescriptors();
    // A browser that closes its end makes the next write fail with EPIPE, so the loop ends and
    // the agent is destroyed, instead of the process dying from the signal.
    signal(SIGPIPE, SIG_IGN);

    g_hInstance = GetModuleHandleW(nullptr);
    if (NULL == g_hInstance) {
        FAILED_STEP(kUnit, "GetModuleHandleW", 0, "NULL == g_hInstance");
        goto Exit;
    }
    OK_STEP(kUnit, "GetModuleHandleW");

    // The log has always called the agent by this name.
    g_pobjCryptoAgent = new (std::nothrow) CCryptoAgent();
    if (NULL == g_pobjCryptoAgent) {
        FAILED_STEP(kUnit, "new CScriptablePluginObject", 0, "NULL == g_pobjCryptoAgent");
        goto Exit;
    }
    OK_STEP(kUnit, "new CScriptablePluginObject");

    nResult = SetTranslationMode(kTranslationModeBinary);
    if (VELK_OK != nResult) {
        FAILED_STEP(kUnit, "SetTranslationMode", nResult, "VELK_OK != nResult");
        nExitCode = nResult;
        goto Exit;
    }
    OK_STEP(kUnit, "SetTranslationMode");

    nResult = MsgHandleProc();
    if (VELK_OK != nResult) {
        FAILED_STEP(kUnit, "MsgHandleProc", nResult, "VELK_OK != nResult");
        nExitCode = nResult;
        goto Exit;
    }
    OK_STEP(kUnit, "MsgHandleProc");

Exit:
    if (g_pobjCryptoAgent != nullptr) {
        delete g_pobjCryptoAgent;
        g_pobjCryptoAgent = nullptr;
    }
    TRACE_INFO("Exit wmain: exit code %d", nExitCode);
    trace::Stop();
    return nExitCode;
}

int MsgHandleProc() {
    TRACE_SCOPE_A();
    int nResult = 0;
    char* pszRequestMsg = nullptr;
    uint32_t dwRequestMsgLength = 0;
    char* pszResponseMsg = nullptr;

    // A signing request of megabytes passes through several buffers of its size. Keep the
    // memory they free for the next request on this connection (up to kKeptRequestMemory at the
    // top of the heap) instead of returning it and faulting it in again page by page.
    mallopt(M_MMAP_THRESHOLD, kKeptRequestBlock);
    mallopt(M_TRIM_THRESHOLD, kKeptRequestMemory);

    for (;;) {
        free(pszResponseMsg);
        pszResponseMsg = nullptr;
        free(pszRequestMsg);
        pszRequestMsg = nullptr;

        nResult =
            ReadFromNativeMessaging(&pszRequestMsg, ProtocolInputDescriptor(), &dwRequestMsgLength);
        // Tracing may have been switched while the host waited for this request.
        trace::RefreshControl();
        if (VELK_OK != nResult) {
            FAILED_STEP(kUnit, "ReadFromNativeMessaging", nResult, "VELK_OK != nResult");
            break;
        }
        OK_STEP(kUnit, "ReadFromNativeMessaging");
        TRACE_INFO("MsgHandleProc: request %s", trace::Text(pszRequestMsg).c_str());

        if (0 == dwRequestMsgLength) {
            TRACE_INFO("MsgHandleProc: end of input");
            break;
        }

        ParseAndRespondRequest(pszRequestMsg, &pszResponseMsg);
        TRACE_INFO("MsgHandleProc: response %s", trace::Text(pszResponseMsg).c_str());

        nResult = WriteToNativeMessaging(pszResponseMsg, ProtocolOutputDescriptor());
        if (VELK_OK != nResult) {
            FAILED_STEP(kUnit, "WriteToNativeMessaging", nResult, "VELK_OK != nResult");
            break;
        }
        OK_STEP(kUnit, "WriteToNativeMessaging");
    }

    free(pszResponseMsg);
    free(pszRequestMsg);
    return nResult;
}

int ParseAndRespondRequest(const char* pszRequestMsg, char** ppszResponseMsg) {
    TRACE_SCOPE_A();
    int nResult = 0;
    char* pszUTF8FuncName = nullptr;
    cJSON* pParamsArray = nullptr;
    char* pszUTF8RandomId = nullptr;
    cJSON* pResponseJSON = nullptr;

    TRACE_INFO("ParseAndRespondRequest: request %s", trace::Text(pszRequestMsg).c_str());
    nResult =
        ParseRequestMsgToJSON(&pszUTF8FuncName, &pParamsArray, pszRequestMsg, &pszUTF8RandomId);
    TRACE_INFO("ParseAndRespondRequest: ParseRequestMsgToJSON returned %d", nResult);
    if (0 == nResult) {
        // The handlers report their outcome inside the response object; a name that matches no
        // function leaves it null and gets the error response text.
        nResult = Invoke(&pResponseJSON, pszUTF8FuncName, pParamsArray);
        TRACE_INFO("ParseAndRespondRequest: Invoke returned %d", nResult);
    }
    nResult =
        ConvertJSONToResponseMsg(pszUTF8FuncName, pszUTF8RandomId, pResponseJSON, ppszResponseMsg);
    TRACE_INFO("ParseAndRespondRequest: ConvertJSONToResponseMsg returned %d", nResult);

    free(pszUTF8RandomId);
    free(pszUTF8FuncName);
    cJSON_Delete(pParamsArray);
    cJSON_Delete(pResponseJSON);
    return 0;
}
