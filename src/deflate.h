// A zlib stream made exactly as LodePNG 20220618 makes it at its default
// settings (dynamic blocks, a 2048-byte window, lazy matching), so that a PNG
// written here is byte for byte the one LodePNG writes, at a fraction of its
// cost: the same match choices, found with the same hash chains, compared a
// word at a time, the candidates whose outcome is known passed in one step;
// the same Huffman code lengths, by the same package-merge.
#ifndef GALLIVOX_DEFLATE_H
#define GALLIVOX_DEFLATE_H

#include <cstddef>
#include <cstdint>
#include <vector>

// Appends to `out` the zlib stream (header, deflate blocks, Adler-32) of the
// `size` bytes at `data`, as lodepng_zlib_compress does with LodePNG's
// default settings (and past 4 GiB, where our match finder's 32-bit
// positions end, by calling it). Returns 0, or LodePNG's code 83 when memory
// runs out.
unsigned ZlibCompressLikeLodePng(const uint8_t* data, size_t size, std::vector<uint8_t>* out);

// Sets lengths[0, count) to the lengths, at most `max_bits`, of the Huffman
// code LodePNG's lodepng_huffman_code_lengths makes for `frequencies`: the
// boundary package-merge, ties as it breaks them; two codes of one bit where
// fewer than two symbols are used. `count` is at least 2.
void CodeLengthsLikeLodePng(unsigned* lengths, const unsigned* frequencies, unsigned count, unsigned max_bits);

#endif
