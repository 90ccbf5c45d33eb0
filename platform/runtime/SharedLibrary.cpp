#include "platform/runtime/SharedLibrary.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/ResultCodes.h"
#include "common/Trace.h"
#include "platform/runtime/LastError.h"

namespace {

void* ToDl(HMODULE hModule) { return static_cast<void*>(hModule); }

// The loader's own message; dlerror() also clears it for the next call.
const char* TakeLoaderMessage() {
    const char* message = dlerror();
    return message != nullptr ? message : "(no loader message)";
}

}  // namespace

HMODULE LoadSharedLibrary(const char* pszPath) {
    if (pszPath == nullptr || *pszPath == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // dlopen reports only a text. Whether the file is there at all is asked first, so a missing
    // library is told apart from one that is present but unusable.
    struct stat file_status {};
    if (stat(pszPath, &file_status) != 0) {
        const int stat_errno = errno;
        TRACE_ERROR("LoadSharedLibrary: %s: not found (errno %d)", pszPath, stat_errno);
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    dlerror();
    void* handle = dlopen(pszPath, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* message = TakeLoaderMessage();
        TRACE_ERROR("LoadSharedLibrary: %s", message);
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<HMODULE>(handle);
}

HMODULE LoadSystemModule(const char* pszFileName) {
    std::string strPath(4096, '\0');
    ssize_t nLength = 0;
    size_t nSlash = std::string::npos;

    if (pszFileName == nullptr || *pszFileName == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    nLength = readlink("/proc/self/exe", strPath.data(), strPath.size());
    if (nLength <= 0 || static_cast<size_t>(nLength) >= strPath.size()) {
        TRACE_ERROR("LoadSystemModule: the executable's path is unknown (errno %d)", errno);
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    strPath.resize(static_cast<size_t>(nLength));
    nSlash = strPath.rfind('/');
    strPath.resize(nSlash == std::string::npos ? 0 : nSlash);
    strPath += "/../lib/tessora/";
    strPath += pszFileName;
    TRACE_INFO("LoadSystemModule: %s", strPath.c_str());
    return LoadSharedLibrary(strPath.c_str());
}

void* GetProcAddress(HMODULE hModule, const char* pszName) {
    if (hModule == nullptr || pszName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    dlerror();
    void* address = dlsym(ToDl(hModule), pszName);
    if (address == nullptr) {
        TakeLoaderMessage();
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return address;
}

BOOL FreeLibrary(HMODULE hModule) {
    if (hModule == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dlclose(ToDl(hModule)) != 0) {
        TRACE_ERROR("FreeLibrary: %s", TakeLoaderMessage());
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}
