#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// Resumable ("rio") upload to the cloud storage, over libcurl.
// A file is cut into 4 MiB blocks; each block is sent in chunks: POST /mkblk/<block size> with
// the first chunk, POST /bput/<ctx>/<offset> with each further one, each answering
// {"ctx","checksum","crc32","offset","host"}. An answer is judged by its ctx, its "offset" (where
// the chunk ends in its block) and its "crc32" (of the chunk just sent); "checksum" is the
// server's own text, of any form or absent, and is only kept and handed on as it came.
// POST /mkfile/<file size>/key/<URL-safe Base64 key>
// with the blocks' last ctx values joined by "," makes the file and answers {"hash","key"}.
// Every request carries "Authorization: UpToken <token>". An unknown ctx or a wrong offset
// answers 701. Blocks are put one after another.
//
// The upload host comes from Qiniu_Set_Upload_Host, else the environment variable
// VANTREL_UPLOAD_HOST, else "start.ini" [config] upload_host in the program folder; a host
// without a scheme gets "http://".

constexpr int Qiniu_Rio_BlockBits = 22;
constexpr int Qiniu_Rio_BlockSize = 1 << Qiniu_Rio_BlockBits;

// Codes of failures that never reached an answer of the server.
constexpr int Qiniu_Code_Transport = -1;     // connection, time-out, or an answer that is not the protocol's
constexpr int Qiniu_Code_Stopped = -2;       // the stop flag was raised
constexpr int Qiniu_Code_LocalFile = -3;     // the local file cannot be read
constexpr int Qiniu_Code_NoHost = -4;        // no upload host configured
constexpr int Qiniu_Code_BadArgument = -5;
constexpr int Qiniu_Code_BadAnswer = -6;     // the server answered, but not with the protocol's data
constexpr int Qiniu_Code_FileChanged = -7;   // the caller's check refused the sent bytes: nothing made
constexpr int Qiniu_Code_ChecksumError = 406; // the answer's crc32 differs from the chunk's
constexpr int Qiniu_Code_BadProgress = 9901; // the resume records don't fit the file's block count

struct Qiniu_Error
{
    int code = 0;                    // 200 success, else the HTTP status or one of the codes above
    const char *message = nullptr;   // reply body or description; valid until the client's next call
};

// State of one block: ctx null (or empty) means not started.
struct Qiniu_Rio_BlkputRet
{
    const char *ctx = nullptr;
    const char *checksum = nullptr;  // the server's, as it sent it; null when it sent none
    uint32_t crc32 = 0;              // of the last chunk sent
    uint32_t offset = 0;             // bytes of the block done
    const char *host = nullptr;      // where the block's next chunk goes
};

// Called after each chunk with the layer's own record of the block (texts valid for the call).
// blkSize is the size of that block (the last one may be shorter). The result is ignored.
typedef int (*Qiniu_Rio_FnNotify)(void *recvr, int blkIdx, int blkSize, Qiniu_Rio_BlkputRet *ret);
// Called for each failed request (also when a retry follows); blkIdx is -1 for mkfile. The
// result is ignored.
typedef int (*Qiniu_Rio_FnNotifyErr)(void *recvr, int blkIdx, int blkSize, Qiniu_Error err);
// Called with the bytes of each chunk the server accepted, before notify; offset is where the
// chunk starts in its block (0: the block was begun anew). The result is ignored.
typedef int (*Qiniu_Rio_FnNotifyChunk)(void *recvr, int blkIdx, uint32_t offset, const char *data, size_t size);
// Called once every block is at the server, before mkfile, with the file size the put went by;
// a result other than 0 ends the put with Qiniu_Code_FileChanged and no file is made.
typedef int (*Qiniu_Rio_FnVerify)(void *recvr, int64_t fileSize);

struct Qiniu_Rio_PutExtra
{
    const char *mimeType = nullptr;          // optional, sent with mkfile
    void *notifyRecvr = nullptr;             // handed back to both callbacks
    Qiniu_Rio_FnNotify notify = nullptr;
    Qiniu_Rio_FnNotifyErr notifyErr = nullptr;
    Qiniu_Rio_FnNotifyChunk notifyChunk = nullptr;   // optional
    Qiniu_Rio_FnVerify verify = nullptr;     // optional
    int localFd = -1;                        // when set, the file is read through this open descriptor
                                             // (the caller's, left open); localFile only names it
    Qiniu_Rio_BlkputRet *progresses = nullptr;   // resume state, one record per block, or null
    size_t progressesCount = 0;              // must equal the block count when progresses is set
    const std::atomic<bool> *stop = nullptr; // checked between chunks and during each request
};

struct Qiniu_Rio_PutRet
{
    std::string hash;
    std::string key;
};

// Process-wide upload settings; zero fields take the defaults.
struct Qiniu_Rio_Settings
{
    int taskQueueSize = 0;   // unused
    int workers = 0;         // unused: blocks go one after another
    int chunkSize = 0;       // bytes per request inside a block (default 256 KiB, at most a block)
    int tryTimes = 0;        // attempts per request for transport and 5xx failures (default 3)
    int retryDelayMs = 0;    // pause between attempts (default 200)
    int timeoutSec = 0;      // an answer that takes longer fails the attempt (default 60)
};

struct Qiniu_Client
{
    void *curl = nullptr;        // easy handle, reused so connections stay open
    void *multi = nullptr;       // drives the transfers so that the stop flag is seen at once
    size_t bufferSize = 0;
    std::string lastMessage;     // storage behind Qiniu_Error::message
};

void Qiniu_Global_Init(long flags);
void Qiniu_Global_Cleanup();

void Qiniu_Client_InitNoAuth(Qiniu_Client *self, size_t bufferSize);
void Qiniu_Client_Cleanup(Qiniu_Client *self);

void Qiniu_Rio_SetSettings(const Qiniu_Rio_Settings *settings);
Qiniu_Rio_Settings Qiniu_Rio_GetSettings();

// Picks the upload host of the configuration (see above) when useConfiguredHost is not 0.
void Qiniu_Use_Zone_Huanan(int useConfiguredHost);
// Sets the host that the zone call takes before any configuration; empty or null clears it.
void Qiniu_Set_Upload_Host(const char *host);
// The host in use, with its scheme ("http://127.0.0.1:8080"); empty when none is configured.
std::string Qiniu_Upload_Host();

int Qiniu_Rio_BlockCount(int64_t fsize);

// CRC-32 (IEEE, as zlib computes it).
uint32_t Qiniu_Crc32(uint32_t crc, const void *data, size_t size);

// Uploads localFile (UTF-8 path) under key. The resume records are trusted: the caller hands on
// only those whose local bytes are unchanged. A record without a usable ctx or beyond its
// block is left out and its block sent again. Blocks whose record is complete are skipped, a
// partial block goes on from its ctx and offset at its host; when that host can't be reached or
// no longer knows the ctx, the block is sent again once, whole, at the configured host.
Qiniu_Error Qiniu_Rio_PutFile(Qiniu_Client *self, Qiniu_Rio_PutRet *ret, const char *uptoken,
                              const char *key, const char *localFile, Qiniu_Rio_PutExtra *extra);
