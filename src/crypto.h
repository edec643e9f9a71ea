// The console's ciphers, as its encrypted files use them: the key scrambler
// (our own 128-bit arithmetic) and AES-128 in CTR and CBC modes (nettle's).
// Every key is 16 bytes; nothing here keeps one.
#ifndef GALLIVOX_CRYPTO_H
#define GALLIVOX_CRYPTO_H

#include <cstddef>
#include <cstdint>

const size_t AES_BLOCK = 16;

// Stores in `normal` the normal key that the key scrambler makes from
// `key_x`, `key_y` and the constant `c`, each read as a 128-bit big-endian
// number: ROL128((ROL128(X, 2) XOR Y) + C mod 2^128, 87).
void ScrambleKey(const uint8_t* key_x, const uint8_t* key_y, const uint8_t* c, uint8_t* normal);

// Adds `blocks` to the 128-bit big-endian counter at `counter`, modulo 2^128.
void CounterAdd(uint8_t* counter, uint64_t blocks);

// Decrypts in place the `size` bytes at `data` (any size: a last partial
// block takes the start of its key stream) of AES-128-CTR with `key`, the
// first block with `counter` (16 bytes, left as it was).
void AesCtrDecrypt(const uint8_t* key, const uint8_t* counter, uint8_t* data, size_t size);

// Decrypts in place the `size` bytes at `data` (a multiple of AES_BLOCK) of
// AES-128-CBC with `key`, the first block with `iv` (left as it was).
void AesCbcDecrypt(const uint8_t* key, const uint8_t* iv, uint8_t* data, size_t size);

#endif
