#pragma once

// Cloud-upload routes of the local platform server, attached to its HTTP server: the block
// protocol of resumable uploads (mkblk, bput, mkfile), the assembled files kept in memory, and
// switches for tests, in C++ and under "/_test/cloud/...":
//   GET  /_test/cloud/state                 counts, switches and stored keys
//   GET  /_test/cloud/file?key=K            the stored bytes of K (404 when none)
//   POST /_test/cloud/fail?after=N&status=S chunk requests after the next N answer S (default 503)
//   POST /_test/cloud/force579?err_code=C   mkfile answers 579 with {"err_code": C}
//   POST /_test/cloud/delay?ms=D            each chunk request waits D ms
//   POST /_test/cloud/nonsense?kind=K       chunk answers 200 with K: "notjson", "huge" (over
//                                           1 MiB) or "badctx" (a ctx unfit for a URL); empty K clears
//   POST /_test/cloud/answerhost?host=H     chunk answers name H as the block's host (empty: this server)
//   POST /_test/cloud/checksum?style=S      the "checksum" of chunk answers: "sha1" (the default),
//                                           "opaque" (a text of no meaning to the client) or "none"
//   POST /_test/cloud/token?value=T         accepts T as an upload token
//   POST /_test/cloud/reset                 switches off, counts cleared (files and tokens kept)
// A chunk answer's "checksum" is by default the SHA-1 (hex) of the block's bytes from its start
// to the answer's offset, its "crc32" that of the chunk.
// Every upload request needs "Authorization: UpToken <t>" with a token the web API handed out
// (or one given to addToken); others answer 401.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class PlatformServer;

class CloudServer
{
public:
    explicit CloudServer(PlatformServer &server);
    ~CloudServer();
    CloudServer(const CloudServer &) = delete;
    CloudServer &operator=(const CloudServer &) = delete;

    // Accepts `token` besides the web API's upload tokens.
    void addToken(const std::string &token);

    // After `chunks` more successful chunk requests (mkblk or bput), every further one answers
    // `status` until cleared; chunks < 0 clears it.
    void failAfterChunks(int chunks, int status = 503);
    // mkfile stores the file, then answers 579 with {"error": ..., "err_code": errCode}.
    void force579(int errCode);
    void clear579();
    // Each chunk request waits this long before it is answered.
    void setChunkDelay(int ms);
    // Chunk answers become nonsense of this kind ("notjson", "huge", "badctx"); empty clears.
    void setNonsense(const std::string &kind);
    // Chunk answers name this host for the block's next chunks; empty names this server.
    void setAnswerHost(const std::string &host);
    // The "checksum" of chunk answers: "sha1", "opaque" or "none"; false (unchanged) for others.
    bool setChecksumStyle(const std::string &style);
    // Called on the server's thread as each upload request arrives, before it is looked at or
    // answered (its client waits meanwhile), with its route ("mkblk", "bput" or "mkfile") and
    // how many requests of that route came before it. An empty hook clears it.
    void setRequestHook(std::function<void(const std::string &route, int index)> hook);
    // Switches off (the request hook too) and counts cleared; stored files and block states stay.
    void reset();

    int mkblkCount() const;
    int bputCount() const;
    int mkfileCount() const;
    // Bytes received in chunk requests that were answered 200.
    int64_t chunkBytes() const;

    bool hasFile(const std::string &key) const;
    std::string file(const std::string &key) const;
    std::vector<std::string> keys() const;

    // "http://127.0.0.1:<port>", the host that block answers name.
    std::string uploadHost() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};
