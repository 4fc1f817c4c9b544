// Windows CNG hashing over libcrypto's EVP digests.
//
// An algorithm handle is a heap record holding the fetched digest. A hash
// handle points into the hash object that the caller provides, where the
// hash keeps its EVP context, as CNG keeps its state there.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "platform/bcrypt.h"
#include "platform/console.h"

namespace winapi {
namespace {

constexpr uint32_t algorithm_magic = 0x414C4731;
constexpr uint32_t hash_magic = 0x48534831;

struct algorithm {
  uint32_t magic;
  ULONG flags;
  EVP_MD *md;
  ULONG digest_length;
};

struct hash_state {
  uint32_t magic;
  bool reusable;
  bool finished;
  bool owns_memory;
  void *memory;
  EVP_MD_CTX *ctx;
  // Its own reference: a reusable hash restarts with it.
  EVP_MD *md;
  ULONG digest_length;
};

// Room for a hash_state at any alignment of the caller's buffer.
constexpr ULONG object_length = sizeof(hash_state) + alignof(hash_state) - 1;

struct algorithm_name {
  const wchar_t *cng;
  const char *openssl;
};

constexpr algorithm_name algorithm_names[] = {
    {L"MD2", "MD2"},       {L"MD4", "MD4"},       {L"MD5", "MD5"},       {L"SHA1", "SHA1"},
    {L"SHA256", "SHA256"}, {L"SHA384", "SHA384"}, {L"SHA512", "SHA512"},
};

algorithm *as_algorithm(void *handle) {
  auto *candidate = static_cast<algorithm *>(handle);
  return candidate != nullptr && candidate->magic == algorithm_magic ? candidate : nullptr;
}

hash_state *as_hash(void *handle) {
  auto *candidate = static_cast<hash_state *>(handle);
  return candidate != nullptr && candidate->magic == hash_magic ? candidate : nullptr;
}

NTSTATUS put_ulong(ULONG value, PUCHAR output, ULONG output_size, ULONG *result) {
  *result = sizeof(ULONG);
  if (output == nullptr)
    return STATUS_SUCCESS;
  if (output_size < sizeof(ULONG))
    return STATUS_BUFFER_TOO_SMALL;
  memcpy(output, &value, sizeof(value));
  return STATUS_SUCCESS;
}

} // namespace

// MD2 and MD4 exist only where libcrypto can fetch them (OpenSSL 3 keeps
// them in its legacy provider); otherwise they are not found.
NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE *handle, LPCWSTR algorithm_id, LPCWSTR implementation,
                                     ULONG flags) {
  if (handle == nullptr || algorithm_id == nullptr || (flags & ~BCRYPT_HASH_REUSABLE_FLAG) != 0)
    return STATUS_INVALID_PARAMETER;
  *handle = nullptr;
  if (implementation != nullptr)
    return STATUS_NOT_FOUND;
  const char *openssl_name = nullptr;
  for (const algorithm_name &name : algorithm_names)
    if (_wcsicmp(name.cng, algorithm_id) == 0)
      openssl_name = name.openssl;
  if (openssl_name == nullptr)
    return STATUS_NOT_FOUND;
  EVP_MD *md = EVP_MD_fetch(nullptr, openssl_name, nullptr);
  if (md == nullptr) {
    ERR_clear_error();
    return STATUS_NOT_FOUND;
  }
  auto *opened = new (std::nothrow) algorithm{algorithm_magic, flags, md, static_cast<ULONG>(EVP_MD_get_size(md))};
  if (opened == nullptr) {
    EVP_MD_free(md);
    return STATUS_NO_MEMORY;
  }
  *handle = opened;
  return STATUS_SUCCESS;
}

// BCRYPT_OBJECT_LENGTH and BCRYPT_HASH_LENGTH, each a ULONG, of an algorithm
// or a hash. Without `output` only the size is reported.
NTSTATUS BCryptGetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR output, ULONG output_size, ULONG *result,
                           ULONG flags) {
  ULONG digest_length;
  if (const algorithm *alg = as_algorithm(object))
    digest_length = alg->digest_length;
  else if (const hash_state *hash = as_hash(object))
    digest_length = hash->digest_length;
  else
    return STATUS_INVALID_HANDLE;
  if (property == nullptr || result == nullptr || flags != 0)
    return STATUS_INVALID_PARAMETER;
  if (wcscmp(property, BCRYPT_OBJECT_LENGTH) == 0)
    return put_ulong(object_length, output, output_size, result);
  if (wcscmp(property, BCRYPT_HASH_LENGTH) == 0)
    return put_ulong(digest_length, output, output_size, result);
  return STATUS_NOT_SUPPORTED;
}

// With a null hash object of size 0 the hash allocates its own, as CNG does.
// A hash is reusable when it or its provider was opened with
// BCRYPT_HASH_REUSABLE_FLAG. No secret: the providers are not HMAC ones.
NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE algorithm_handle, BCRYPT_HASH_HANDLE *hash_handle, PUCHAR hash_object,
                          ULONG hash_object_size, PUCHAR secret, ULONG secret_size, ULONG flags) {
  const algorithm *alg = as_algorithm(algorithm_handle);
  if (alg == nullptr)
    return STATUS_INVALID_HANDLE;
  if (hash_handle == nullptr || secret != nullptr || secret_size != 0 || (flags & ~BCRYPT_HASH_REUSABLE_FLAG) != 0)
    return STATUS_INVALID_PARAMETER;
  *hash_handle = nullptr;
  void *memory = hash_object;
  bool owns_memory = false;
  if (hash_object == nullptr && hash_object_size == 0) {
    memory = malloc(object_length);
    if (memory == nullptr)
      return STATUS_NO_MEMORY;
    hash_object_size = object_length;
    owns_memory = true;
  } else if (hash_object == nullptr) {
    return STATUS_INVALID_PARAMETER;
  } else if (hash_object_size < object_length) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  void *place = memory;
  size_t space = hash_object_size;
  std::align(alignof(hash_state), sizeof(hash_state), place, space);
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  if (ctx == nullptr || EVP_DigestInit_ex2(ctx, alg->md, nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    ERR_clear_error();
    if (owns_memory)
      free(memory);
    return STATUS_NO_MEMORY;
  }
  const bool reusable = ((flags | alg->flags) & BCRYPT_HASH_REUSABLE_FLAG) != 0;
  EVP_MD_up_ref(alg->md);
  *hash_handle =
      new (place) hash_state{hash_magic, reusable, false, owns_memory, memory, ctx, alg->md, alg->digest_length};
  return STATUS_SUCCESS;
}

NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hash_handle, PUCHAR input, ULONG input_size, ULONG flags) {
  hash_state *hash = as_hash(hash_handle);
  if (hash == nullptr || hash->finished)
    return STATUS_INVALID_HANDLE;
  if ((input == nullptr && input_size != 0) || flags != 0)
    return STATUS_INVALID_PARAMETER;
  if (input_size != 0 && EVP_DigestUpdate(hash->ctx, input, input_size) != 1) {
    ERR_clear_error();
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

// `output_size` must be the digest length. A reusable hash starts afresh;
// any other hash takes no more data.
NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hash_handle, PUCHAR output, ULONG output_size, ULONG flags) {
  hash_state *hash = as_hash(hash_handle);
  if (hash == nullptr || hash->finished)
    return STATUS_INVALID_HANDLE;
  if (output == nullptr || output_size != hash->digest_length || flags != 0)
    return STATUS_INVALID_PARAMETER;
  if (EVP_DigestFinal_ex(hash->ctx, output, nullptr) != 1) {
    ERR_clear_error();
    return STATUS_INVALID_PARAMETER;
  }
  if (!hash->reusable) {
    hash->finished = true;
    return STATUS_SUCCESS;
  }
  if (EVP_DigestInit_ex2(hash->ctx, hash->md, nullptr) != 1) {
    ERR_clear_error();
    hash->finished = true;
    return STATUS_NO_MEMORY;
  }
  return STATUS_SUCCESS;
}

NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hash_handle) {
  hash_state *hash = as_hash(hash_handle);
  if (hash == nullptr)
    return STATUS_INVALID_HANDLE;
  EVP_MD_CTX_free(hash->ctx);
  EVP_MD_free(hash->md);
  const bool owns_memory = hash->owns_memory;
  void *memory = hash->memory;
  hash->~hash_state();
  memset(static_cast<void *>(hash), 0, sizeof(*hash));
  if (owns_memory)
    free(memory);
  return STATUS_SUCCESS;
}

NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm_handle, ULONG flags) {
  algorithm *alg = as_algorithm(algorithm_handle);
  if (alg == nullptr)
    return STATUS_INVALID_HANDLE;
  if (flags != 0)
    return STATUS_INVALID_PARAMETER;
  EVP_MD_free(alg->md);
  alg->magic = 0;
  delete alg;
  return STATUS_SUCCESS;
}

} // namespace winapi
