// fuzzskf: an SKF (GM/T 0016) library whose answers are the fuzzer's bytes. It is a real shared
// object loaded with dlopen like a vendor library; the fuzz target hands it a script with
// FuzzSkfSetAnswers, and every entry point then takes what it answers from the script in call
// order:
//   - one verdict byte per call: below 0xE0 the call succeeds, otherwise it fails with one of the
//     SAR values of kFailures (a key pulled out, a PIN needed, a buffer too small, ...);
//   - name lists, certificates, public keys, digests and DEVINFO records: a piece whose length
//     comes first (two bytes, little-endian). A size query takes a piece and reports its size;
//     the filling call takes the next one, so a key that changes between the two calls is
//     modelled too. A buffer that is too small gets SAR_BUFFER_TOO_SMALL with the size needed,
//     as the standard says; the library never writes past what the caller said it has.
// Handles are counted, so the target can check that every one it was given was closed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/crypt/SkfApi.h"
#include "tests/fuzz/FuzzSupport.h"

#define SKF_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr ULONG kFailures[] = {SAR_FAIL,
                               SAR_UNKNOWNERR,
                               SAR_NOTSUPPORTYETERR,
                               SAR_INVALIDHANDLEERR,
                               SAR_INVALIDPARAMERR,
                               SAR_BUFFER_TOO_SMALL,
                               SAR_DEVICE_REMOVED,
                               SAR_PIN_INCORRECT,
                               SAR_PIN_LOCKED,
                               SAR_USER_NOT_LOGGED_IN,
                               SAR_APPLICATION_NOT_EXISTS,
                               SAR_KEYNOTFOUNTERR,
                               SAR_CERTNOTFOUNTERR,
                               SAR_HASHERR,
                               SAR_FILE_NOT_EXIST,
                               0x0A0000FF};

fuzz_support::InputReader g_script(nullptr, 0);
long g_open_handles = 0;
// Distinct non-null handle values; never dereferenced by anyone.
uintptr_t g_next_handle = 0x1000;

// Every call starts with its verdict. FUZZSKF_SHOW=1 prints each call with the script offset it
// starts at, to read a reproducer.
ULONG Verdict(const char* function) {
    static const bool show = std::getenv("FUZZSKF_SHOW") != nullptr;
    if (show) std::fprintf(stderr, "fuzzskf: %s at %zu\n", function, g_script.offset());
    const uint8_t byte = g_script.Byte();
    if (byte < 0xE0) return SAR_OK;
    return kFailures[byte % std::size(kFailures)];
}

ULONG OpenHandle(const char* function, HANDLE* handle) {
    if (handle == nullptr) return SAR_INVALIDPARAMERR;
    const ULONG sar = Verdict(function);
    if (sar != SAR_OK) return sar;
    *handle = reinterpret_cast<HANDLE>(g_next_handle += 0x10);
    ++g_open_handles;
    return SAR_OK;
}

ULONG CloseHandle(const char* function, HANDLE handle) {
    if (handle == nullptr) return SAR_INVALIDHANDLEERR;
    --g_open_handles;
    return Verdict(function);
}

// A two-call answer: a size query (null buffer) or a fill of at most *size bytes.
ULONG Answer(const char* function, BYTE* buffer, ULONG* size) {
    if (size == nullptr) return SAR_INVALIDPARAMERR;
    const ULONG sar = Verdict(function);
    if (sar != SAR_OK) return sar;
    const std::string_view piece = g_script.Piece();
    const ULONG needed = static_cast<ULONG>(piece.size());
    if (buffer == nullptr) {
        *size = needed;
        return SAR_OK;
    }
    if (*size < needed) {
        *size = needed;
        return SAR_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, piece.data(), piece.size());
    *size = needed;
    return SAR_OK;
}

// A fixed-size record filled from a piece (shorter pieces leave zeros).
ULONG Fill(const char* function, void* record, size_t record_size) {
    if (record == nullptr) return SAR_INVALIDPARAMERR;
    const ULONG sar = Verdict(function);
    if (sar != SAR_OK) return sar;
    const std::string_view piece = g_script.Piece();
    std::memset(record, 0, record_size);
    std::memcpy(record, piece.data(), std::min(piece.size(), record_size));
    return SAR_OK;
}

ULONG Value(const char* function, ULONG* value) {
    if (value == nullptr) return SAR_INVALIDPARAMERR;
    const ULONG sar = Verdict(function);
    if (sar == SAR_OK) *value = g_script.Byte();
    return sar;
}

}  // namespace

SKF_EXPORT void FuzzSkfSetAnswers(const uint8_t* data, size_t size) {
    g_script = fuzz_support::InputReader(data, size);
    g_open_handles = 0;
}
SKF_EXPORT long FuzzSkfOpenHandles() { return g_open_handles; }

SKF_EXPORT ULONG SKF_EnumDev(BOOL, LPSTR szNameList, ULONG* pulSize) {
    return Answer(__func__, reinterpret_cast<BYTE*>(szNameList), pulSize);
}
SKF_EXPORT ULONG SKF_ConnectDev(LPSTR, DEVHANDLE* phDev) { return OpenHandle(__func__, phDev); }
SKF_EXPORT ULONG SKF_DisConnectDev(DEVHANDLE hDev) { return CloseHandle(__func__, hDev); }
SKF_EXPORT ULONG SKF_GetDevState(LPSTR, ULONG* pulDevState) { return Value(__func__, pulDevState); }
SKF_EXPORT ULONG SKF_GetDevInfo(DEVHANDLE, DEVINFO* pDevInfo) {
    return Fill(__func__, pDevInfo, sizeof(DEVINFO));
}
SKF_EXPORT ULONG SKF_VerifyPIN(HAPPLICATION, ULONG, LPSTR, ULONG* pulRetryCount) {
    const ULONG sar = Verdict(__func__);
    if (pulRetryCount != nullptr) *pulRetryCount = g_script.Byte();
    return sar;
}
SKF_EXPORT ULONG SKF_EnumApplication(DEVHANDLE, LPSTR szAppName, ULONG* pulSize) {
    return Answer(__func__, reinterpret_cast<BYTE*>(szAppName), pulSize);
}
SKF_EXPORT ULONG SKF_OpenApplication(DEVHANDLE, LPSTR, HAPPLICATION* phApplication) {
    return OpenHandle(__func__, phApplication);
}
SKF_EXPORT ULONG SKF_CloseApplication(HAPPLICATION hApplication) {
    return CloseHandle(__func__, hApplication);
}
SKF_EXPORT ULONG SKF_EnumContainer(HAPPLICATION, LPSTR szContainerName, ULONG* pulSize) {
    return Answer(__func__, reinterpret_cast<BYTE*>(szContainerName), pulSize);
}
SKF_EXPORT ULONG SKF_OpenContainer(HAPPLICATION, LPSTR, HCONTAINER* phContainer) {
    return OpenHandle(__func__, phContainer);
}
SKF_EXPORT ULONG SKF_CloseContainer(HCONTAINER hContainer) {
    return CloseHandle(__func__, hContainer);
}
SKF_EXPORT ULONG SKF_GetContainerType(HCONTAINER, ULONG* pulContainerType) {
    return Value(__func__, pulContainerType);
}
SKF_EXPORT ULONG SKF_ExportCertificate(HCONTAINER, BOOL, BYTE* pbCert, ULONG* pulCertLen) {
    return Answer(__func__, pbCert, pulCertLen);
}
SKF_EXPORT ULONG SKF_ExportPublicKey(HCONTAINER, BOOL, BYTE* pbBlob, ULONG* pulBlobLen) {
    return Answer(__func__, pbBlob, pulBlobLen);
}
SKF_EXPORT ULONG SKF_ECCSignData(HCONTAINER, BYTE*, ULONG, ECCSIGNATUREBLOB* pSignature) {
    return Fill(__func__, pSignature, sizeof(ECCSIGNATUREBLOB));
}
SKF_EXPORT ULONG SKF_DigestInit(DEVHANDLE, ULONG, ECCPUBLICKEYBLOB*, BYTE*, ULONG, HANDLE* phHash) {
    return OpenHandle(__func__, phHash);
}
SKF_EXPORT ULONG SKF_DigestUpdate(HANDLE, BYTE*, ULONG) { return Verdict(__func__); }
SKF_EXPORT ULONG SKF_DigestFinal(HANDLE, BYTE* pHashData, ULONG* pulHashLen) {
    return Answer(__func__, pHashData, pulHashLen);
}
SKF_EXPORT ULONG SKF_Digest(HANDLE, BYTE*, ULONG, BYTE* pbHashData, ULONG* pulHashLen) {
    return Answer(__func__, pbHashData, pulHashLen);
}
SKF_EXPORT ULONG SKF_CloseHandle(HANDLE hHandle) { return CloseHandle(__func__, hHandle); }

// Entry points the callers resolve but never call.
#define FUZZSKF_UNUSED(name) \
    SKF_EXPORT ULONG name() { return SAR_NOTSUPPORTYETERR; }
FUZZSKF_UNUSED(SKF_ClearSecureState)
FUZZSKF_UNUSED(SKF_CreateApplication)
FUZZSKF_UNUSED(SKF_DeleteApplication)
FUZZSKF_UNUSED(SKF_EnumFiles)
FUZZSKF_UNUSED(SKF_GetFileInfo)
FUZZSKF_UNUSED(SKF_CreateFile)
FUZZSKF_UNUSED(SKF_WriteFile)
FUZZSKF_UNUSED(SKF_ReadFile)
FUZZSKF_UNUSED(SKF_DeleteFile)
FUZZSKF_UNUSED(SKF_DeleteContainer)
FUZZSKF_UNUSED(SKF_CreateContainer)
FUZZSKF_UNUSED(SKF_ImportCertificate)
FUZZSKF_UNUSED(SKF_RSASignData)
FUZZSKF_UNUSED(SKF_ImportSessionKey)
FUZZSKF_UNUSED(SKF_DecryptInit)
FUZZSKF_UNUSED(SKF_Decrypt)
FUZZSKF_UNUSED(SKF_GenRSAKeyPair)
FUZZSKF_UNUSED(SKF_ImportRSAKeyPair)
FUZZSKF_UNUSED(SKF_GenECCKeyPair)
FUZZSKF_UNUSED(SKF_ImportECCKeyPair)
