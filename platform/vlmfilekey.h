#pragma once

#include <string>

#include <vlc/vlc.h>

// File-key extension of the VLM: with the file flag set on an instance, a broadcast's file
// output ends up enciphered under a key, and an index file describes it.
//
// How it works: the broadcast writes its MP4 into a private folder ("vlm-XXXXXX/", mode 0700)
// of the instance's work folder, never beside the destination; the caller owns the work folder
// and removes what a killed run left there. When the broadcast is deleted after its pass
// reached the end, the MP4 is stream-copied with libavformat to the destination as ISO Common
// Encryption ("cenc-aes-ctr", not fragmented; a decoding time that libvlc repeats is moved on by
// one tick), the index is written and the plain copy removed.
// libvlc_vlm_del_media then returns -1 when that pass failed or never reached its end (and
// vlmFileError says why): no plain MP4 is ever left at the destination. Because a short input can finish between two position
// polls, a pass that ended before any position above 0 was read reports 1.0 once, then 0.0.
//
// Content key (16 bytes): a key text of exactly 32 hex digits gives those 16 bytes; any other
// text gives the MD5 of its bytes. Key id: the MD5 of the 16 content-key bytes.
//
// Index file: UTF-8 JSON, e.g.
//   {"scheme":"cenc-aes-ctr","kid":"<32 hex>","tracks":[{"index":0,"type":"video",
//    "codec":"h264","samples":75,"duration_ms":3000},...]}
//
// The calls below are linked in place of libvlc's own through
//   -Wl,--wrap=libvlc_vlm_add_broadcast,--wrap=libvlc_vlm_get_media_instance_position,
//   --wrap=libvlc_vlm_del_media,--wrap=libvlc_vlm_release
// (the VLM_FILEKEY_LINK_OPTIONS of the program that uses them); instances without the flag
// behave exactly like plain libvlc.
extern "C"
{
    // 0 on success, -1 on a null instance.
    int libvlc_vlm_set_file_flag(libvlc_instance_t *p_instance, int flag);
    // The key text, NUL-terminated; 0 on success, -1 on a null instance or key.
    int libvlc_vlm_set_file_key(libvlc_instance_t *p_instance, const char *key);
    // Index file path (UTF-8); 0 on success, -1 on a null instance or path.
    int libvlc_vlm_set_index_path(libvlc_instance_t *p_instance, const char *path);
    // Private folder (UTF-8, existing) for the plain transcodes; a flagged instance adds no
    // broadcast without it. 0 on success, -1 on a null instance or an empty path.
    int libvlc_vlm_set_work_path(libvlc_instance_t *p_instance, const char *path);
}

namespace platform
{
    // Why the last libvlc_vlm_del_media of a flagged instance returned -1 (empty after success).
    std::string vlmFileError(libvlc_instance_t *instance);
    // Which folder had no room left when that call failed: the work folder (the plain
    // transcode) or the destination's.
    enum class VlmFullFolder { None, Work, Destination };
    VlmFullFolder vlmFullFolder(libvlc_instance_t *instance);
    // Frames of the first video stream of a media file (its count, else duration times frame
    // rate); -1 when libavformat can't tell, 0 for a file without video.
    long long vlmVideoFrames(const std::string &path);
    // The 16-byte content key for a key text (rule above).
    std::string vlmContentKey(const std::string &keyText);
    // Stream-copies an MP4 (or any input libavformat reads) to destPath as CENC MP4 and writes
    // the index at indexPath. On failure nothing is left at destPath or indexPath and
    // *error (if given) says why, and *destFull whether the destination's folder had no room left.
    bool vlmEncryptFile(const std::string &plainPath, const std::string &destPath,
                        const std::string &indexPath, const std::string &keyText,
                        std::string *error = nullptr, bool *destFull = nullptr);
}
