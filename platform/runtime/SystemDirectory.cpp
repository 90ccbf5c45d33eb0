#include "platform/runtime/SystemDirectory.h"

#include <cstring>
#include <string>

#include "common/ResultCodes.h"
#include "common/Utf.h"
#include "platform/runtime/LastError.h"

BOOL SHGetSpecialFolderPathW(void* /*hwndOwner*/, char16_t* lpszPath, int csidl, BOOL /*fCreate*/) {
    if (lpszPath == nullptr || csidl != CSIDL_SYSTEM) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const char* directory = SystemLibraryDirectory();
    const std::u16string wide =
        Utf8ToUtf16String(directory != nullptr ? directory : std::string_view());
    if (wide.empty() || wide.size() >= MAX_PATH) {
        SetLastError(ERROR_INTERNAL_ERROR);
        return FALSE;
    }
    std::memcpy(lpszPath, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
    return TRUE;
}
