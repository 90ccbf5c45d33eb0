#include "platform/runtime/Resources.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/ResultCodes.h"
#include "platform/runtime/LastError.h"
#include "resources/StringTable.h"

struct ResourceModule {
    const StringTableEntry* strings;
    size_t count;
};

HINSTANCE g_hInstance = nullptr;

namespace {

constexpr uint32_t kErrorResourceNameNotFound = 1814;  // ERROR_RESOURCE_NAME_NOT_FOUND

const ResourceModule kOwnModule{kStringTable, kStringTableSize};

struct MessageText {
    uint32_t code;
    const char16_t* english;
    const char16_t* chinese;
};

// Our own short texts for the platform codes the system returns.
const MessageText kMessages[] = {
    {0x00000000u, u"The operation completed successfully.", u"操作成功完成。"},
    {0x80004001u, u"This function is not available yet.", u"该功能尚不可用。"},
    {0x80004003u, u"A required text or pointer is missing.", u"缺少必需的文本或指针。"},
    {0x80004005u, u"The operation failed.", u"操作失败。"},
    {0x80070002u, u"The file was not found.", u"找不到文件。"},
    {0x80070004u, u"The device list holds no device name.", u"设备列表中没有设备名称。"},
    {0x8007000Du, u"The data is not valid.", u"数据无效。"},
    {0x8007000Eu, u"Not enough memory to complete the operation.", u"内存不足，无法完成操作。"},
    {0x80070057u, u"A parameter is not valid.", u"参数无效。"},
    {0x8007007Eu, u"The library file was not found.", u"找不到库文件。"},
    {0x8007007Fu, u"A required function was not found in the library.", u"库中缺少所需的函数。"},
    {0x800700C1u, u"The file is not a loadable library.", u"该文件不是可加载的库。"},
    {0x800704C7u, u"The operation was cancelled by the user.", u"用户取消了操作。"},
    {0x8007054Fu, u"An internal error occurred.", u"发生内部错误。"},
    {0x8007057Eu, u"The certificate selection window could not be shown.",
     u"无法显示证书选择窗口。"},
    {0x80090006u, u"The signature is not valid.", u"签名无效。"},
    {0x80090008u, u"The algorithm is not supported.", u"不支持该算法。"},
    {0x80090016u, u"The key container was not found.", u"找不到密钥容器。"},
    {0x8009002Du, u"An internal error occurred.", u"发生内部错误。"},
    {0x80092004u, u"The requested object was not found.", u"找不到请求的对象。"},
    {0x8010006Bu, u"The PIN is not correct.", u"PIN 码不正确。"},
};

// LoadString's contract: as much of `text` as fits with its terminator; the characters copied.
int CopyToBuffer(const char16_t* text, char16_t* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) return 0;
    int n = 0;
    while (text[n] != 0 && n < capacity - 1) {
        buffer[n] = text[n];
        ++n;
    }
    buffer[n] = 0;
    return n;
}

bool StartsWithZh(const char* value) { return value[0] == 'z' && value[1] == 'h'; }

}  // namespace

HINSTANCE GetModuleHandleW(const char16_t* lpModuleName) {
    if (lpModuleName != nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return &kOwnModule;
}

uint16_t GetUserDefaultUILanguage() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != 0) return StartsWithZh(value) ? 2052 : 1033;
    }
    return 1033;
}

int LoadStringW(HINSTANCE hInstance, uint32_t uID, uint16_t wLanguage, char16_t* lpBuffer,
                int cchBufferMax) {
    if (hInstance == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    for (size_t i = 0; i < hInstance->count; ++i) {
        const StringTableEntry& entry = hInstance->strings[i];
        if (entry.id != uID) continue;
        return CopyToBuffer(wLanguage == 2052 ? entry.chinese : entry.english, lpBuffer,
                            cchBufferMax);
    }
    if (lpBuffer != nullptr && cchBufferMax > 0) lpBuffer[0] = 0;
    SetLastError(kErrorResourceNameNotFound);
    return 0;
}

int LoadStringW(HINSTANCE hInstance, uint32_t uID, char16_t* lpBuffer, int cchBufferMax) {
    return LoadStringW(hInstance, uID, GetUserDefaultUILanguage(), lpBuffer, cchBufferMax);
}

int FormatMessageW(uint32_t dwMessageId, char16_t* lpBuffer, int nSize) {
    const bool chinese = GetUserDefaultUILanguage() == 2052;
    for (const MessageText& m : kMessages) {
        if (m.code == dwMessageId)
            return CopyToBuffer(chinese ? m.chinese : m.english, lpBuffer, nSize);
    }
    if (lpBuffer != nullptr && nSize > 0) lpBuffer[0] = 0;
    SetLastError(kErrorResourceNameNotFound);
    return 0;
}
