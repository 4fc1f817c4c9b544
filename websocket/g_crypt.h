// Message digests through the platform's CNG hash providers. One allocation
// per `init` holds the digest pointers, the hash handles, the hash objects
// and the digest buffers. Used only by the owning slot's reader thread.
#pragma once

#include <cstdint>

#include "platform/bcrypt.h"

// CNG algorithm identifiers, indexed by `alg_id`.
extern const wchar_t *const G_CRYPT_ALG_ID[7];
inline constexpr uint32_t G_CRYPT_MD5 = 2;
inline constexpr uint32_t G_CRYPT_SHA1 = 3;
// The marker `alg_id` holds in the reset state.
inline constexpr uint32_t G_CRYPT_RESET_ALG_ID = 0x8004;

class G_CRYPT {
public:
  uint64_t all_length;
  uint64_t ctx_length;
  uint64_t txt_length_all;
  uint32_t obj_length;
  BCRYPT_HASH_HANDLE *ctx;
  BCRYPT_ALG_HANDLE h_prov;
  uint32_t flags;
  uint8_t ready;
  uint32_t alg_id;
  uint8_t **txt_hashes;
  uint32_t txt_length;
  uint64_t ctx_count;

  G_CRYPT();
  ~G_CRYPT() { reset(); }
  G_CRYPT(const G_CRYPT &) = delete;
  G_CRYPT &operator=(const G_CRYPT &) = delete;

  // Resets, then opens the provider for `alg_id`, reads its lengths,
  // allocates and creates the hash contexts. 0 or the failing status.
  uint32_t init(uint32_t alg_id);
  // Feeds `length` bytes to context `index`. Fails silently unless ready.
  uint32_t hash(uint64_t index, const uint8_t *data, uint64_t length);
  // Finishes every context into its digest buffer; the first failure's status.
  uint32_t finish();
  // Releases everything and returns to the reset state.
  void reset();
};
