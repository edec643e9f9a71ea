// The DS formats: the ROM image's header (told by its CRC-16), and the
// banner that DS ROM images, raw banner files and CIAs of DS titles carry:
// a 32×32 icon of 16 colours, titles in up to eight languages and, from
// version 0x0103, a DSi animation. Nothing here knows of files or PNGs.
#ifndef GALLIVOX_DS_BANNER_H
#define GALLIVOX_DS_BANNER_H

#include <cstddef>
#include <cstdint>

#include "metadata.h"

// A DS ROM image's header: its CRC covers the bytes before it.
const size_t DS_HEADER_SIZE = 0x160;
// The header fields past the CRC: a DSi header's title ID.
const size_t DS_DSI_TITLE_ID_END = 0x238;
// The most of a banner that is ever read: version 0x0103's, animation included.
const size_t DS_BANNER_MAX_SIZE = 0x23C0;
// A version-1 banner, the least a raw banner file holds.
const size_t DS_BANNER_MIN_SIZE = 0x840;
const int DS_ICON_SIDE = 32;
// A DSi animation's durations count ticks of 1/60 second.
const uint16_t DS_TICKS_A_SECOND = 60;

// The CRC-16 of the banner formats (reflected 0xA001, from 0xFFFF).
uint16_t DsCrc16(const uint8_t* bytes, size_t size);

// Whether the `size` bytes at `header` begin with a DS ROM image's header:
// at least DS_HEADER_SIZE bytes whose CRC at 0x15E holds.
int DsIsRomHeader(const uint8_t* header, size_t size);

// Whether the `size` bytes at `bytes` begin with a raw DS banner: a known
// version, at least DS_BANNER_MIN_SIZE bytes and a first CRC that holds.
int DsIsRawBanner(const uint8_t* bytes, size_t size);

// The banner offset that a DS ROM `header` (DS_HEADER_SIZE bytes) names; 0: none.
uint32_t DsBannerOffset(const uint8_t* header);

// What a DS ROM `header` says of its title: the game and maker codes and,
// `with_title`, the ROM version and a DSi header's title ID (when `size`
// bytes reach it). A CIA of a DS title takes those two from its TMD.
void DsRomIdentity(const uint8_t* header, size_t size, TitleIdentity* identity, int with_title);

// Checks the `size` bytes read at a banner's place (at most
// DS_BANNER_MAX_SIZE): null when its version is known, its icon and titles
// are all there and its first CRC holds; else the damage, as "its banner
// fails its CRC".
const char* DsBannerDamage(const uint8_t* banner, size_t size);

// Decodes a checked banner's icon into `rgba`: DS_ICON_SIDE² pixels, 4
// bytes each, rows top first; palette index 0 is transparent (all zero),
// every other colour opaque, each 5-bit channel shifted up to 8 bits.
void DsIconToRgba(const uint8_t* banner, uint8_t* rgba);

// What a checked banner of `size` bytes holds of a DSi animation.
enum DsAnimationState {
    DS_ANIMATION_NONE,     // a version without one, a first token of 0, or no frame of 1 tick or more
    DS_ANIMATION_OK,       // all there, its CRC holds
    DS_ANIMATION_CUT,      // version 0x0103, but the bytes end inside it
    DS_ANIMATION_BAD_CRC,  // version 0x0103, and its CRC fails
};
DsAnimationState DsAnimationStateOf(const uint8_t* banner, size_t size);

// Parses the sequence of a banner whose animation is DS_ANIMATION_OK.
void ParseDsAnimation(const uint8_t* banner, DsAnimation* animation);

// Draws `frame` of a banner whose animation is DS_ANIMATION_OK into `rgba`
// as DsIconToRgba draws the icon: the bitmap its token names, with the
// palette it names, mirrored as its flips say.
void DsFrameToRgba(const uint8_t* banner, const DsFrame* frame, uint8_t* rgba);

// Parses a checked banner of `size` bytes into `metadata` (its titles by
// the SMDH's language indices, the rest zero) and `animation`. A title whose
// CRC fails is left empty; the animation is present for version 0x0103
// when all its bytes are there and its CRC holds.
void ParseDsBanner(const uint8_t* banner, size_t size, SmdhMetadata* metadata, DsAnimation* animation);

#endif
