#include "websocket/g_crypt.h"

#include <cstring>
#include <iterator>

#include "platform/memory.h"
#include "shell/console.h"

const wchar_t *const G_CRYPT_ALG_ID[7] = {L"MD2", L"MD4", L"MD5", L"SHA1", L"SHA256", L"SHA384", L"SHA512"};

namespace {

constexpr uint64_t G_CRYPT_HANDLE_SIZE = 8;

// The allocation holds hash state, so the wipe before freeing must not be
// optimised away as a dead store.
void wipe(void *memory, uint64_t size) {
  volatile uint8_t *bytes = static_cast<volatile uint8_t *>(memory);
  for (uint64_t i = 0; i < size; ++i) {
    bytes[i] = 0;
  }
}

} // namespace

G_CRYPT::G_CRYPT()
    : all_length(0), ctx_length(0), txt_length_all(0), obj_length(0), ctx(nullptr), h_prov(nullptr), flags(0), ready(0),
      alg_id(G_CRYPT_RESET_ALG_ID), txt_hashes(nullptr), txt_length(0), ctx_count(0) {}

uint32_t G_CRYPT::init(uint32_t alg_id_new) {
  reset();
  // Only the handshake calls this, with MD5 or SHA-1; any index outside the
  // table is refused before the provider is asked, leaving the reset state.
  if (alg_id_new >= std::size(G_CRYPT_ALG_ID)) {
    return static_cast<uint32_t>(STATUS_INVALID_PARAMETER);
  }
  flags |= BCRYPT_HASH_REUSABLE_FLAG;
  alg_id = alg_id_new;
  ctx_count = 1;

  NTSTATUS status = BCryptOpenAlgorithmProvider(&h_prov, G_CRYPT_ALG_ID[alg_id], nullptr, flags);
  if (status != STATUS_SUCCESS) {
    flags &= ~BCRYPT_HASH_REUSABLE_FLAG;
    h_prov = nullptr;
    status = BCryptOpenAlgorithmProvider(&h_prov, G_CRYPT_ALG_ID[alg_id], nullptr, flags);
    if (status != STATUS_SUCCESS) {
      h_prov = nullptr;
      return print_error(static_cast<uint32_t>(status),
                         L"BCryptOpenAlgorithmProvider(&h_prov, G_CRYPT_ALG_ID[alg_id], NULL, flags)");
    }
  }

  obj_length = 0;
  ULONG result_size = 0;
  status = BCryptGetProperty(h_prov, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&obj_length), sizeof(obj_length),
                             &result_size, 0);
  if (status != STATUS_SUCCESS) {
    return print_error(static_cast<uint32_t>(status),
                       L"BCryptGetProperty(h_prov, BCRYPT_OBJECT_LENGTH, (uint8_t *)&obj_length_all, "
                       L"obj_length_size, &obj_length_size, 0)");
  }
  status = BCryptGetProperty(h_prov, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&txt_length), sizeof(txt_length),
                             &result_size, 0);
  if (status != STATUS_SUCCESS) {
    print_error(static_cast<uint32_t>(status), L"BCryptGetProperty(h_prov, BCRYPT_HASH_LENGTH, (uint8_t *)&txt_length, "
                                               L"txt_length_size, &txt_length_size, 0)");
    txt_length = 256;
  }

  txt_length_all = static_cast<uint64_t>(txt_length) * ctx_count;
  ctx_length = ctx_count * G_CRYPT_HANDLE_SIZE;
  all_length = txt_length_all + 2 * ctx_length + static_cast<uint64_t>(obj_length) * ctx_count;

  txt_hashes = static_cast<uint8_t **>(HeapAlloc(GetProcessHeap(), 0, all_length));
  if (txt_hashes == nullptr) {
    uint32_t error = GetLastError();
    if (error == ERROR_SUCCESS) {
      error = ERROR_NOT_ENOUGH_MEMORY;
    }
    return print_error(error, L"G_CRYPT::init(){ txt_hashes = malloc(all_length); }");
  }
  std::memset(txt_hashes, 0, all_length);
  uint8_t *base = reinterpret_cast<uint8_t *>(txt_hashes);
  ctx = reinterpret_cast<BCRYPT_HASH_HANDLE *>(base + ctx_length);
  uint8_t *obj = base + 2 * ctx_length;

  for (uint64_t i = 0; i < ctx_count; ++i) {
    status = BCryptCreateHash(h_prov, &ctx[i], &obj[i * obj_length], obj_length, nullptr, 0, flags);
    if (status != STATUS_SUCCESS) {
      print_error(static_cast<uint32_t>(status),
                  L"BCryptCreateHash(h_prov, &ctx[i], &obj[i * obj_length], obj_length, NULL, 0, flags)");
      for (uint64_t j = i; j-- > 0;) {
        BCryptDestroyHash(ctx[j]);
        ctx[j] = nullptr;
      }
      ctx[i] = nullptr;
      reset();
      return static_cast<uint32_t>(status);
    }
  }

  uint8_t *digest = obj + static_cast<uint64_t>(obj_length) * ctx_count;
  for (uint64_t i = 0; i < ctx_count; ++i) {
    txt_hashes[i] = digest + i * txt_length;
  }
  ready = 1;
  return 0;
}

uint32_t G_CRYPT::hash(uint64_t index, const uint8_t *data, uint64_t length) {
  if (!ready) {
    return static_cast<uint32_t>(STATUS_INVALID_HANDLE);
  }
  // The provider takes the bytes as non-const by its signature only.
  const NTSTATUS status = BCryptHashData(ctx[index], const_cast<PUCHAR>(data), static_cast<ULONG>(length), 0);
  if (status != STATUS_SUCCESS) {
    return print_error(static_cast<uint32_t>(status), L"BCryptHashData(ctx[index], data, (ULONG)length, 0)");
  }
  return 0;
}

uint32_t G_CRYPT::finish() {
  uint32_t first_failure = 0;
  for (uint64_t i = 0; i < ctx_count; ++i) {
    const NTSTATUS status = BCryptFinishHash(ctx[i], txt_hashes[i], txt_length, 0);
    if (status != STATUS_SUCCESS && first_failure == 0) {
      first_failure =
          print_error(static_cast<uint32_t>(status), L"BCryptFinishHash(ctx[i], txt_hashes[i], txt_length, 0)");
    }
  }
  return first_failure;
}

void G_CRYPT::reset() {
  ready = 0;
  if (ctx != nullptr) {
    for (uint64_t i = 0; i < ctx_count; ++i) {
      if (ctx[i] != nullptr) {
        BCryptDestroyHash(ctx[i]);
      }
    }
  }
  if (txt_hashes != nullptr) {
    wipe(txt_hashes, all_length);
    HeapFree(GetProcessHeap(), 0, txt_hashes);
  }
  if (h_prov != nullptr) {
    BCryptCloseAlgorithmProvider(h_prov, 0);
  }
  all_length = 0;
  ctx_length = 0;
  txt_length_all = 0;
  obj_length = 0;
  ctx = nullptr;
  h_prov = nullptr;
  flags = 0;
  alg_id = G_CRYPT_RESET_ALG_ID;
  txt_hashes = nullptr;
  txt_length = 0;
  ctx_count = 0;
}
