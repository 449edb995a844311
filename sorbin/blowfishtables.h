#pragma once

#include <cstdint>

// Initial Blowfish P-array and S-boxes (the fractional hexadecimal digits of pi).
extern const uint32_t kBlowfishP[18];
extern const uint32_t kBlowfishS[4][256];
