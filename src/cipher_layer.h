// An encrypted region as a layer of bytes: the bytes of the layer below up
// to `start` as they are, then those to `start + length` decrypted, AES-128
// in CTR mode (an NCCH's ExeFS) or CBC mode (a CIA's content), where the
// layer ends: what lies past the region was never decrypted, and is never
// given as if it were plain. Only the blocks read are decrypted: both modes
// start at any block.
#ifndef GALLIVOX_CIPHER_LAYER_H
#define GALLIVOX_CIPHER_LAYER_H

#include <cstdint>

#include "byte_layer.h"

enum CipherMode { CIPHER_CTR, CIPHER_CBC };

// Makes `layer` give the bytes of `below`, the region of `length` bytes at
// `start` decrypted with `key` in `mode`: its first block with the counter
// (CTR) or the IV (CBC) `iv`, 16 bytes each. Reads go forward where `below`
// cannot seek, as the walk's do: the last blocks read are kept, so a read
// may begin inside them. Returns LAYER_OK, or LAYER_FAILED (no memory);
// close the layer with LayerClose in every case, which wipes the key.
LayerStatus CipherLayerOpen(ByteLayer* layer, ByteLayer* below, CipherMode mode, uint64_t start, uint64_t length,
                            const uint8_t* key, const uint8_t* iv);

// Decrypts in place the `size` bytes at `bytes`, which hold the bytes of
// the layer below from `offset` on (read before this layer was stacked), so
// that they become what the layer gives; their last whole blocks are kept
// as if the layer had read them (a pipe's cannot be read again). Returns how
// many of them, from the first, now hold what the layer gives: all but where
// the region's last block ends past them in CBC mode, which cannot decrypt a
// part of a block.
size_t CipherLayerDecryptCopy(ByteLayer* layer, uint64_t offset, uint8_t* bytes, size_t size);

// Tells the layer that the layer below ends at `end` (a short read of it
// found so): nothing at or past the last whole block of the region before
// `end` is read again, on a pipe or a file alike.
void CipherLayerEndsAt(ByteLayer* layer, uint64_t end);

#endif
