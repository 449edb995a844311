#pragma once

#include <cstddef>
#include <cstdint>

// Rijndael block cipher with 16, 24 or 32-byte keys and blocks; with a 16-byte block
// it is AES-128/192/256. Words are big-endian. Used as a short-lived stack object.
class CRijndael
{
public:
    enum
    {
        ECB = 0,
        CBC = 1,
        CFB = 2
    };
    enum
    {
        MAX_ROUNDS = 14,
        MAX_BC = 8,
        MAX_KC = 8,
        MAX_BLOCK = 32
    };

    CRijndael();
    virtual ~CRijndael();

    // Builds both round-key schedules and sets the chain to `chain` (blockSize bytes).
    // keyLength and blockSize must be 16, 24 or 32; returns false otherwise.
    bool setKey(const unsigned char *key, const unsigned char *chain, int keyLength = 16, int blockSize = 16);
    // Process n / blockSize whole blocks; a remainder is left untouched in `out`.
    // Mode: CBC, CFB (full-block feedback), anything else ECB. in and out may be the same.
    // Return false when no key is set.
    bool encrypt(const unsigned char *in, unsigned char *out, size_t n, int mode = ECB);
    bool decrypt(const unsigned char *in, unsigned char *out, size_t n, int mode = ECB);

    // Restores the chain block given to setKey.
    void resetChain();

    // One block each.
    void encryptBlock(const unsigned char *in, unsigned char *out);
    void decryptBlock(const unsigned char *in, unsigned char *out);

    int blockSize() const;
    bool isInitialized() const;

private:
    int m_keyLength = 0;
    int m_blockSize = 0;
    int m_rounds = 0;
    uint32_t m_ke[MAX_ROUNDS + 1][MAX_BC] = {};
    uint32_t m_kd[MAX_ROUNDS + 1][MAX_BC] = {};
    unsigned char m_chain0[MAX_BLOCK] = {};
    unsigned char m_chain[MAX_BLOCK] = {};
    bool m_initialized = false;
    unsigned char m_work[MAX_BLOCK] = {};
};
