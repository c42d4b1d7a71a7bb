// The SM4 key that the PIN prompt encrypts the PIN under and the calling
// service decrypts segment 18945 with. Both include this header, so the two
// can never disagree; the value lives nowhere else (no file, no setting).
#pragma once

inline constexpr unsigned char PIN_KEY[16] = {
    0xba, 0x26, 0x40, 0x5a, 0x54, 0x94, 0x4d, 0x04,
    0xb4, 0xd4, 0xd1, 0x05, 0x03, 0x6f, 0xd4, 0xa2,
};
