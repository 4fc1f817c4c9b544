// Windows CNG hashing (bcrypt) for the algorithms MD2 to SHA512.
#pragma once

#include "platform/win_types.h"

namespace winapi {

using BCRYPT_HANDLE = void *;
using BCRYPT_ALG_HANDLE = void *;
using BCRYPT_HASH_HANDLE = void *;
using PUCHAR = UCHAR *;

inline constexpr const wchar_t *BCRYPT_OBJECT_LENGTH = L"ObjectLength";
inline constexpr const wchar_t *BCRYPT_HASH_LENGTH = L"HashDigestLength";
inline constexpr ULONG BCRYPT_HASH_REUSABLE_FLAG = 0x00000020;

inline constexpr NTSTATUS STATUS_SUCCESS = 0;
inline constexpr NTSTATUS STATUS_INVALID_HANDLE = static_cast<NTSTATUS>(0xC0000008);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);
inline constexpr NTSTATUS STATUS_NO_MEMORY = static_cast<NTSTATUS>(0xC0000017);
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0000023);
inline constexpr NTSTATUS STATUS_NOT_SUPPORTED = static_cast<NTSTATUS>(0xC00000BB);
inline constexpr NTSTATUS STATUS_NOT_FOUND = static_cast<NTSTATUS>(0xC0000225);

NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE *algorithm, LPCWSTR algorithm_id, LPCWSTR implementation,
                                     ULONG flags);
NTSTATUS BCryptGetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR output, ULONG output_size, ULONG *result,
                           ULONG flags);
NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE *hash, PUCHAR hash_object,
                          ULONG hash_object_size, PUCHAR secret, ULONG secret_size, ULONG flags);
NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG input_size, ULONG flags);
NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG output_size, ULONG flags);
NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hash);
NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags);

} // namespace winapi
