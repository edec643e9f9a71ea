#include "crypto.h"

#include <cstring>

#include <nettle/aes.h>
#include <nettle/cbc.h>
#include <nettle/ctr.h>

// A 128-bit number as two 64-bit halves.
struct U128 {
    uint64_t high;
    uint64_t low;
};

static U128 load(const uint8_t* bytes)
{
    U128 value = {0, 0};
    for (int i = 0; i < 8; i++) {
        value.high = value.high << 8 | bytes[i];
        value.low = value.low << 8 | bytes[8 + i];
    }
    return value;
}

static void store(U128 value, uint8_t* bytes)
{
    for (int i = 7; i >= 0; i--) {
        bytes[i] = static_cast<uint8_t>(value.high);
        bytes[8 + i] = static_cast<uint8_t>(value.low);
        value.high >>= 8;
        value.low >>= 8;
    }
}

// Rotates left by `n` bits, 0 < n < 128.
static U128 rotate_left(U128 v, unsigned n)
{
    if (n >= 64) {
        v = U128{v.low, v.high};
        n -= 64;
    }
    if (n == 0) {
        return v;
    }
    return U128{v.high << n | v.low >> (64 - n), v.low << n | v.high >> (64 - n)};
}

static U128 add(U128 a, U128 b)
{
    uint64_t low = a.low + b.low;
    return U128{a.high + b.high + (low < a.low), low};
}

void ScrambleKey(const uint8_t* key_x, const uint8_t* key_y, const uint8_t* c, uint8_t* normal)
{
    U128 x = rotate_left(load(key_x), 2);
    U128 y = load(key_y);
    U128 mixed = add(U128{x.high ^ y.high, x.low ^ y.low}, load(c));
    store(rotate_left(mixed, 87), normal);
}

void CounterAdd(uint8_t* counter, uint64_t blocks)
{
    store(add(load(counter), U128{0, blocks}), counter);
}

void AesCtrDecrypt(const uint8_t* key, const uint8_t* counter, uint8_t* data, size_t size)
{
    aes128_ctx context;
    aes128_set_encrypt_key(&context, key);
    uint8_t block_counter[AES_BLOCK];
    memcpy(block_counter, counter, AES_BLOCK);
    ctr_crypt(&context, reinterpret_cast<nettle_cipher_func*>(aes128_encrypt), AES_BLOCK, block_counter, size, data,
              data);
    memset(&context, 0, sizeof context);
}

void AesCbcDecrypt(const uint8_t* key, const uint8_t* iv, uint8_t* data, size_t size)
{
    aes128_ctx context;
    aes128_set_decrypt_key(&context, key);
    uint8_t chain[AES_BLOCK];
    memcpy(chain, iv, AES_BLOCK);
    cbc_decrypt(&context, reinterpret_cast<nettle_cipher_func*>(aes128_decrypt), AES_BLOCK, chain, size, data, data);
    memset(&context, 0, sizeof context);
}
