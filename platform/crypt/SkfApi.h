// Declarations of the GM/T 0016-2012 (SKF) application interface that the USB-key code and the SM2
// providers call and that the test library implements, written from the standard's description.
//
// The standard's ULONG is 32 bits wide on every platform. Some vendor libraries are built with an
// 8-byte ULONG instead; they then write 8 bytes into every ULONG output and a larger DEVINFO, so
// every output buffer handed to a library gets headroom (see kDevInfoBufferSize).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/runtime/Types.h"

// BOOL (32-bit int), BYTE and DWORD come from platform/runtime/Types.h with the widths GM/T 0016
// gives.
using CHAR = uint8_t;  // the record fields' bytes; GM/T 0016 CHAR is unsigned
// Text arguments (UTF-8). Spelled char* like the platform's LPSTR, so that both declarations can
// meet in one translation unit; the signedness of the pointee does not change the call.
using LPSTR = char*;
using ULONG = uint32_t;
using HANDLE = void*;
using DEVHANDLE = HANDLE;
using HAPPLICATION = HANDLE;
using HCONTAINER = HANDLE;

// SAR result values (GM/T 0016 annex A).
constexpr ULONG SAR_OK = 0x00000000;
constexpr ULONG SAR_FAIL = 0x0A000001;
constexpr ULONG SAR_UNKNOWNERR = 0x0A000002;
constexpr ULONG SAR_NOTSUPPORTYETERR = 0x0A000003;
constexpr ULONG SAR_INVALIDHANDLEERR = 0x0A000005;
constexpr ULONG SAR_INVALIDPARAMERR = 0x0A000006;
constexpr ULONG SAR_HASHERR = 0x0A000014;
constexpr ULONG SAR_KEYNOTFOUNTERR = 0x0A00001B;
constexpr ULONG SAR_CERTNOTFOUNTERR = 0x0A00001C;
constexpr ULONG SAR_BUFFER_TOO_SMALL = 0x0A000020;
constexpr ULONG SAR_DEVICE_REMOVED = 0x0A000023;
constexpr ULONG SAR_PIN_INCORRECT = 0x0A000024;
constexpr ULONG SAR_PIN_LOCKED = 0x0A000025;
constexpr ULONG SAR_PIN_INVALID = 0x0A000026;
constexpr ULONG SAR_PIN_LEN_RANGE = 0x0A000027;
constexpr ULONG SAR_USER_TYPE_INVALID = 0x0A00002A;
constexpr ULONG SAR_USER_NOT_LOGGED_IN = 0x0A00002D;
constexpr ULONG SAR_APPLICATION_NOT_EXISTS = 0x0A00002E;
constexpr ULONG SAR_FILE_NOT_EXIST = 0x0A000031;

// Device states reported by SKF_GetDevState.
constexpr ULONG DEV_ABSENT_STATE = 0;
constexpr ULONG DEV_PRESENT_STATE = 1;
constexpr ULONG DEV_UNKNOW_STATE = 2;

constexpr ULONG ADMIN_TYPE = 0;
constexpr ULONG USER_TYPE = 1;

constexpr ULONG SGD_SM3 = 0x00000001;
constexpr ULONG SGD_SHA1 = 0x00000002;
constexpr ULONG SGD_SHA256 = 0x00000004;
constexpr ULONG SGD_SM2_1 = 0x00020100;

// Container types reported by SKF_GetContainerType.
constexpr ULONG kSkfContainerEmpty = 0;
constexpr ULONG kSkfContainerRsa = 1;
constexpr ULONG kSkfContainerEcc = 2;

struct VERSION {
    BYTE major;
    BYTE minor;
};

// The device information record, natural alignment (296 bytes).
struct DEVINFO {
    VERSION Version;
    CHAR Manufacturer[64];
    CHAR Issuer[64];
    CHAR Label[32];
    CHAR SerialNumber[32];
    VERSION HWVersion;
    VERSION FirmwareVersion;
    ULONG AlgSymCap;
    ULONG AlgAsymCap;
    ULONG AlgHashCap;
    ULONG DevAuthAlgId;
    ULONG TotalSpace;
    ULONG FreeSpace;
    ULONG MaxECCBufferSize;
    ULONG MaxBufferSize;
    BYTE Reserved[64];
};
static_assert(offsetof(DEVINFO, SerialNumber) == 162, "SerialNumber sits at byte 162");
static_assert(sizeof(DEVINFO) == 296, "the standard's DEVINFO is 296 bytes");

// A library built with an 8-byte ULONG writes about 328 bytes of DEVINFO; reserve far more than
// either layout so no vendor variant can write past the buffer.
constexpr size_t kDevInfoBufferSize = 1024;
constexpr size_t kDevInfoSerialOffset = offsetof(DEVINFO, SerialNumber);
constexpr size_t kDevInfoSerialSize = sizeof(DEVINFO::SerialNumber);

// Storage for one ULONG output (or in/out) argument with room for a library that writes 8 bytes:
// on a little-endian machine the value is then still in the first four.
struct UlongOut {
    ULONG value = 0;
    ULONG headroom = 0;
};

constexpr ULONG ECC_MAX_COORDINATE_BITS_LEN = 512;

// Each 32-byte big-endian coordinate is right-aligned in its 64 bytes.
struct ECCPUBLICKEYBLOB {
    ULONG BitLen;
    BYTE XCoordinate[ECC_MAX_COORDINATE_BITS_LEN / 8];
    BYTE YCoordinate[ECC_MAX_COORDINATE_BITS_LEN / 8];
};
static_assert(sizeof(ECCPUBLICKEYBLOB) == 132, "ECCPUBLICKEYBLOB is 132 bytes");

struct ECCSIGNATUREBLOB {
    BYTE r[ECC_MAX_COORDINATE_BITS_LEN / 8];
    BYTE s[ECC_MAX_COORDINATE_BITS_LEN / 8];
};

// Function types of the entry points, in the calling convention of the platform (the
// __stdcall of Windows headers has no counterpart here).
extern "C" {
using PFN_SKF_EnumDev = ULONG (*)(BOOL bPresent, LPSTR szNameList, ULONG* pulSize);
using PFN_SKF_ConnectDev = ULONG (*)(LPSTR szName, DEVHANDLE* phDev);
using PFN_SKF_DisConnectDev = ULONG (*)(DEVHANDLE hDev);
using PFN_SKF_GetDevState = ULONG (*)(LPSTR szDevName, ULONG* pulDevState);
using PFN_SKF_GetDevInfo = ULONG (*)(DEVHANDLE hDev, DEVINFO* pDevInfo);
using PFN_SKF_VerifyPIN = ULONG (*)(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN,
                                    ULONG* pulRetryCount);
using PFN_SKF_EnumApplication = ULONG (*)(DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize);
using PFN_SKF_OpenApplication = ULONG (*)(DEVHANDLE hDev, LPSTR szAppName,
                                          HAPPLICATION* phApplication);
using PFN_SKF_CloseApplication = ULONG (*)(HAPPLICATION hApplication);
using PFN_SKF_EnumContainer = ULONG (*)(HAPPLICATION hApplication, LPSTR szContainerName,
                                        ULONG* pulSize);
using PFN_SKF_OpenContainer = ULONG (*)(HAPPLICATION hApplication, LPSTR szContainerName,
                                        HCONTAINER* phContainer);
using PFN_SKF_CloseContainer = ULONG (*)(HCONTAINER hContainer);
using PFN_SKF_ExportCertificate = ULONG (*)(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert,
                                            ULONG* pulCertLen);
using PFN_SKF_ECCSignData = ULONG (*)(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen,
                                      ECCSIGNATUREBLOB* pSignature);
using PFN_SKF_DigestInit = ULONG (*)(DEVHANDLE hDev, ULONG ulAlgID, ECCPUBLICKEYBLOB* pPubKey,
                                     BYTE* pucID, ULONG ulIDLen, HANDLE* phHash);
using PFN_SKF_Digest = ULONG (*)(HANDLE hHash, BYTE* pbData, ULONG ulDataLen, BYTE* pbHashData,
                                 ULONG* pulHashLen);
using PFN_SKF_ExportPublicKey = ULONG (*)(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbBlob,
                                          ULONG* pulBlobLen);
using PFN_SKF_CloseHandle = ULONG (*)(HANDLE hHandle);
using PFN_SKF_GetContainerType = ULONG (*)(HCONTAINER hContainer, ULONG* pulContainerType);
using PFN_SKF_DigestUpdate = ULONG (*)(HANDLE hHash, BYTE* pbData, ULONG ulDataLen);
using PFN_SKF_DigestFinal = ULONG (*)(HANDLE hHash, BYTE* pHashData, ULONG* pulHashLen);
// Entry points that are resolved but never called; they get their exact type when a caller
// first needs them.
using PFN_SKF_Unused = void (*)();
}

// Every entry point the loader resolves, in table order: X(name, function type).
#define SKF_ENTRY_POINT_LIST(X)                         \
    X(SKF_EnumDev, PFN_SKF_EnumDev)                     \
    X(SKF_ConnectDev, PFN_SKF_ConnectDev)               \
    X(SKF_DisConnectDev, PFN_SKF_DisConnectDev)         \
    X(SKF_GetDevState, PFN_SKF_GetDevState)             \
    X(SKF_GetDevInfo, PFN_SKF_GetDevInfo)               \
    X(SKF_VerifyPIN, PFN_SKF_VerifyPIN)                 \
    X(SKF_ClearSecureState, PFN_SKF_Unused)             \
    X(SKF_EnumApplication, PFN_SKF_EnumApplication)     \
    X(SKF_CreateApplication, PFN_SKF_Unused)            \
    X(SKF_OpenApplication, PFN_SKF_OpenApplication)     \
    X(SKF_CloseApplication, PFN_SKF_CloseApplication)   \
    X(SKF_DeleteApplication, PFN_SKF_Unused)            \
    X(SKF_EnumFiles, PFN_SKF_Unused)                    \
    X(SKF_GetFileInfo, PFN_SKF_Unused)                  \
    X(SKF_CreateFile, PFN_SKF_Unused)                   \
    X(SKF_WriteFile, PFN_SKF_Unused)                    \
    X(SKF_ReadFile, PFN_SKF_Unused)                     \
    X(SKF_DeleteFile, PFN_SKF_Unused)                   \
    X(SKF_EnumContainer, PFN_SKF_EnumContainer)         \
    X(SKF_OpenContainer, PFN_SKF_OpenContainer)         \
    X(SKF_CloseContainer, PFN_SKF_CloseContainer)       \
    X(SKF_DeleteContainer, PFN_SKF_Unused)              \
    X(SKF_CreateContainer, PFN_SKF_Unused)              \
    X(SKF_ImportCertificate, PFN_SKF_Unused)            \
    X(SKF_ExportCertificate, PFN_SKF_ExportCertificate) \
    X(SKF_RSASignData, PFN_SKF_Unused)                  \
    X(SKF_ECCSignData, PFN_SKF_ECCSignData)             \
    X(SKF_ImportSessionKey, PFN_SKF_Unused)             \
    X(SKF_DecryptInit, PFN_SKF_Unused)                  \
    X(SKF_Decrypt, PFN_SKF_Unused)                      \
    X(SKF_DigestInit, PFN_SKF_DigestInit)               \
    X(SKF_Digest, PFN_SKF_Digest)                       \
    X(SKF_GenRSAKeyPair, PFN_SKF_Unused)                \
    X(SKF_ExportPublicKey, PFN_SKF_ExportPublicKey)     \
    X(SKF_ImportRSAKeyPair, PFN_SKF_Unused)             \
    X(SKF_GenECCKeyPair, PFN_SKF_Unused)                \
    X(SKF_ImportECCKeyPair, PFN_SKF_Unused)             \
    X(SKF_CloseHandle, PFN_SKF_CloseHandle)
