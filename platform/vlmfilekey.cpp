#include "vlmfilekey.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QByteArray>

extern "C"
{
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/md5.h>
}

#include "fdio.h"

namespace
{
    struct MediaState
    {
        std::string dest;
        std::string tempDir;
        std::string plain;
        bool passEnded = false;
        bool positiveSeen = false;
    };

    struct InstanceState
    {
        bool flag = false;
        bool haveKey = false;
        std::string key;
        std::string indexPath;
        std::string workPath;
        std::string lastError;
        platform::VlmFullFolder fullFolder = platform::VlmFullFolder::None;
        libvlc_event_manager_t *events = nullptr;
        std::map<std::string, MediaState> media;
    };

    std::mutex g_mutex;
    std::map<libvlc_instance_t *, std::unique_ptr<InstanceState>> g_instances;

    // The folder of `path` has (almost) no room left: a write there has run out of it.
    bool folderFull(const std::string &path)
    {
        const std::string::size_type slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
        struct statvfs fs {};
        return ::statvfs(folder.c_str(), &fs) == 0
            && static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize < 1024ULL * 1024ULL;
    }

    // libvlc's own entry points: the program's references to these names are wrapped.
    template <typename Fn>
    Fn realCall(const char *name)
    {
        return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
    }

    using AddBroadcastFn = int (*)(libvlc_instance_t *, const char *, const char *, const char *, int,
                                   const char *const *, int, int);
    using PositionFn = float (*)(libvlc_instance_t *, const char *, int);
    using DelMediaFn = int (*)(libvlc_instance_t *, const char *);
    using ReleaseFn = void (*)(libvlc_instance_t *);

    InstanceState &stateOf(libvlc_instance_t *inst)
    {
        std::unique_ptr<InstanceState> &s = g_instances[inst];
        if (!s)
            s.reset(new InstanceState);
        return *s;
    }

    InstanceState *findState(libvlc_instance_t *inst)
    {
        auto it = g_instances.find(inst);
        return it == g_instances.end() ? nullptr : it->second.get();
    }

    MediaState *findMedia(libvlc_instance_t *inst, const char *name)
    {
        InstanceState *s = findState(inst);
        if (!s || !name)
            return nullptr;
        auto it = s->media.find(name);
        return it == s->media.end() ? nullptr : &it->second;
    }

    void onVlmEvent(const libvlc_event_t *event, void *opaque)
    {
        if (event->type != libvlc_VlmMediaInstanceStatusEnd || !event->u.vlm_media_event.psz_media_name)
            return;
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_instances.find(static_cast<libvlc_instance_t *>(opaque));
        if (it == g_instances.end())
            return;
        auto m = it->second->media.find(event->u.vlm_media_event.psz_media_name);
        if (m != it->second->media.end())
            m->second.passEnded = true;
    }

    // Value of dst="..." in a stream-output chain: [begin, end) of the quoted text, unescaped.
    bool findDestination(const std::string &chain, size_t &begin, size_t &end, std::string &value)
    {
        const std::string mark = "dst=\"";
        const size_t at = chain.rfind(mark);
        if (at == std::string::npos)
            return false;
        begin = at + mark.size();
        value.clear();
        for (size_t i = begin; i < chain.size(); ++i)
        {
            const char c = chain[i];
            if (c == '\\' && i + 1 < chain.size())
                value += chain[++i];
            else if (c == '"')
            {
                end = i;
                return !value.empty();
            }
            else
                value += c;
        }
        return false;
    }

    std::string escapeQuoted(const std::string &text)
    {
        std::string out;
        for (char c : text)
        {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        return out;
    }

    void removePlain(MediaState &m)
    {
        if (!m.plain.empty())
            ::unlink(m.plain.c_str());
        if (!m.tempDir.empty())
            ::rmdir(m.tempDir.c_str());
        m.plain.clear();
        m.tempDir.clear();
    }

    std::string hex(const std::string &bytes)
    {
        return QByteArray::fromStdString(bytes).toHex().toStdString();
    }

    bool isHexText(const std::string &text)
    {
        return std::all_of(text.begin(), text.end(), [](char c) {
            return c != '\0' && std::strchr("0123456789abcdefABCDEF", c) != nullptr;
        });
    }

    std::string md5(const std::string &bytes)
    {
        uint8_t digest[16];
        av_md5_sum(digest, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        return std::string(reinterpret_cast<const char *>(digest), 16);
    }

    std::string avError(int code)
    {
        char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
        av_strerror(code, buf, sizeof buf);
        return buf;
    }

    std::string jsonText(const std::string &text)
    {
        std::string out = "\"";
        for (unsigned char c : text)
        {
            if (c == '"' || c == '\\')
                out += '\\', out += char(c);
            else if (c < 0x20)
            {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            }
            else
                out += char(c);
        }
        return out + "\"";
    }

    // A new file of our own (the index lives in the shared temp folder: no following links).
    bool writeFile(const std::string &path, const std::string &bytes)
    {
        ::unlink(path.c_str());
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            return false;
        const bool written = platform::writeAll(fd, bytes.data(), bytes.size());
        return ::close(fd) == 0 && written;
    }

    struct TrackInfo
    {
        int index = 0;
        std::string type;
        std::string codec;
        long long samples = 0;
        long long durationMs = 0;
    };

    // The remux itself; the caller removes partial output on failure.
    bool remuxEncrypted(const std::string &plainPath, const std::string &destPath, const std::string &key,
                        const std::string &kid, std::vector<TrackInfo> &tracks, std::string &error)
    {
        AVFormatContext *in = nullptr;
        AVFormatContext *out = nullptr;
        AVPacket *pkt = av_packet_alloc();
        AVDictionary *opts = nullptr;
        std::vector<int> map;
        std::vector<int64_t> lastDts;
        bool ok = false;
        bool headerWritten = false;
        int r = 0;

        auto fail = [&](const std::string &what, int code) {
            error = what + (code < 0 ? ": " + avError(code) : std::string());
        };

        if (!pkt)
        {
            fail("out of memory", 0);
            return false;
        }
        if ((r = avformat_open_input(&in, plainPath.c_str(), nullptr, nullptr)) < 0)
            fail("cannot open the transcoded file", r);
        else if ((r = avformat_find_stream_info(in, nullptr)) < 0)
            fail("cannot read the transcoded file", r);
        else if ((r = avformat_alloc_output_context2(&out, nullptr, "mp4", destPath.c_str())) < 0 || !out)
            fail("cannot create the mp4 muxer", r);
        else
        {
            bool streamsOk = true;
            for (unsigned i = 0; i < in->nb_streams && streamsOk; ++i)
            {
                const AVCodecParameters *par = in->streams[i]->codecpar;
                if (par->codec_type != AVMEDIA_TYPE_VIDEO && par->codec_type != AVMEDIA_TYPE_AUDIO)
                {
                    map.push_back(-1);
                    continue;
                }
                AVStream *st = avformat_new_stream(out, nullptr);
                if (!st || avcodec_parameters_copy(st->codecpar, par) < 0)
                {
                    streamsOk = false;
                    break;
                }
                st->codecpar->codec_tag = 0;
                st->time_base = in->streams[i]->time_base;
                map.push_back(st->index);
                TrackInfo t;
                t.index = st->index;
                t.type = par->codec_type == AVMEDIA_TYPE_VIDEO ? "video" : "audio";
                t.codec = avcodec_get_name(par->codec_id);
                tracks.push_back(t);
            }
            lastDts.assign(tracks.size(), AV_NOPTS_VALUE);
            if (!streamsOk)
                fail("cannot copy the streams", 0);
            else if (tracks.empty())
                fail("the transcoded file has no audio or video", 0);
            else if ((r = avio_open(&out->pb, destPath.c_str(), AVIO_FLAG_WRITE)) < 0)
                fail("cannot create the output", r);
            else
            {
                av_dict_set(&opts, "encryption_scheme", "cenc-aes-ctr", 0);
                av_dict_set(&opts, "encryption_key", hex(key).c_str(), 0);
                av_dict_set(&opts, "encryption_kid", hex(kid).c_str(), 0);
                if ((r = avformat_write_header(out, &opts)) < 0)
                    fail("cannot start the encrypted mp4", r);
                else if (av_dict_count(opts) != 0)
                    fail("the mp4 muxer does not support encryption", 0);
                else
                {
                    headerWritten = true;
                    ok = true;
                    while ((r = av_read_frame(in, pkt)) >= 0)
                    {
                        const int si = pkt->stream_index;
                        if (si < 0 || si >= static_cast<int>(map.size()) || map[si] < 0)
                        {
                            av_packet_unref(pkt);
                            continue;
                        }
                        AVStream *ist = in->streams[si];
                        AVStream *ost = out->streams[map[si]];
                        TrackInfo &t = tracks[map[si]];
                        ++t.samples;
                        if (pkt->duration > 0)
                            t.durationMs += av_rescale_q(pkt->duration, ist->time_base, AVRational {1, 1000});
                        av_packet_rescale_ts(pkt, ist->time_base, ost->time_base);
                        // libvlc's mp4 output may repeat a decoding time (its first frames do);
                        // the muxer takes strictly rising ones only, so a repeat moves on by one tick.
                        int64_t &last = lastDts[map[si]];
                        if (pkt->dts != AV_NOPTS_VALUE && last != AV_NOPTS_VALUE && pkt->dts <= last)
                        {
                            if (pkt->pts != AV_NOPTS_VALUE && pkt->pts >= pkt->dts)
                                pkt->pts = std::max<int64_t>(pkt->pts, last + 1);
                            pkt->dts = last + 1;
                        }
                        if (pkt->dts != AV_NOPTS_VALUE)
                            last = pkt->dts;
                        pkt->stream_index = map[si];
                        pkt->pos = -1;
                        if ((r = av_interleaved_write_frame(out, pkt)) < 0)
                        {
                            fail("cannot write a sample", r);
                            ok = false;
                            break;
                        }
                    }
                    if (ok && r != AVERROR_EOF)
                    {
                        fail("cannot read the transcoded file", r);
                        ok = false;
                    }
                }
            }
        }

        if (headerWritten && (r = av_write_trailer(out)) < 0 && ok)
        {
            fail("cannot finish the encrypted mp4", r);
            ok = false;
        }
        if (out && out->pb && avio_closep(&out->pb) < 0 && ok)
        {
            fail("cannot close the output", 0);
            ok = false;
        }
        for (const TrackInfo &t : tracks)
            if (ok && t.samples == 0 && t.type == "video")
            {
                fail("the transcoded video has no frames (libvlc writes none for a single-frame clip)", 0);
                ok = false;
            }
        av_dict_free(&opts);
        avformat_free_context(out);
        avformat_close_input(&in);
        av_packet_free(&pkt);
        return ok;
    }
}

namespace platform
{
    std::string vlmFileError(libvlc_instance_t *instance)
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        const InstanceState *s = findState(instance);
        return s ? s->lastError : std::string();
    }

    std::string vlmContentKey(const std::string &keyText)
    {
        if (keyText.size() == 32 && isHexText(keyText))
            return QByteArray::fromHex(QByteArray::fromStdString(keyText)).toStdString();
        return md5(keyText);
    }

    long long vlmVideoFrames(const std::string &path)
    {
        AVFormatContext *in = nullptr;
        if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0)
            return -1;
        long long frames = -1;
        if (avformat_find_stream_info(in, nullptr) >= 0)
        {
            const int at = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
            if (at == AVERROR_STREAM_NOT_FOUND)
                frames = 0;
            else if (at >= 0)
            {
                const AVStream *st = in->streams[at];
                const AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
                if (st->nb_frames > 0)
                    frames = st->nb_frames;
                else if (rate.num > 0 && rate.den > 0 && st->duration > 0 && st->duration != AV_NOPTS_VALUE)
                    frames = av_rescale_q(st->duration, st->time_base, av_inv_q(rate));
                else if (rate.num > 0 && rate.den > 0 && in->duration > 0 && in->duration != AV_NOPTS_VALUE)
                    frames = av_rescale_q(in->duration, AV_TIME_BASE_Q, av_inv_q(rate));
            }
        }
        avformat_close_input(&in);
        return frames;
    }

    VlmFullFolder vlmFullFolder(libvlc_instance_t *instance)
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        const InstanceState *s = findState(instance);
        return s ? s->fullFolder : VlmFullFolder::None;
    }

    bool vlmEncryptFile(const std::string &plainPath, const std::string &destPath, const std::string &indexPath,
                        const std::string &keyText, std::string *error, bool *destFull)
    {
        if (destFull)
            *destFull = false;
        const std::string key = vlmContentKey(keyText);
        const std::string kid = md5(key);
        std::vector<TrackInfo> tracks;
        std::string why;
        bool ok = remuxEncrypted(plainPath, destPath, key, kid, tracks, why);
        if (ok)
        {
            std::string index = "{\"scheme\":\"cenc-aes-ctr\",\"kid\":\"" + hex(kid) + "\",\"tracks\":[";
            for (size_t i = 0; i < tracks.size(); ++i)
            {
                const TrackInfo &t = tracks[i];
                if (i)
                    index += ",";
                index += "{\"index\":" + std::to_string(t.index) + ",\"type\":" + jsonText(t.type)
                    + ",\"codec\":" + jsonText(t.codec) + ",\"samples\":" + std::to_string(t.samples)
                    + ",\"duration_ms\":" + std::to_string(t.durationMs) + "}";
            }
            index += "]}\n";
            if (indexPath.empty() || !writeFile(indexPath, index))
            {
                why = "cannot write the index file";
                ok = false;
            }
        }
        if (!ok)
        {
            // Asked before the partial output gives its room back.
            if (destFull)
                *destFull = folderFull(destPath);
            ::unlink(destPath.c_str());
            if (!indexPath.empty())
                ::unlink(indexPath.c_str());
            if (error)
                *error = why;
        }
        return ok;
    }
}

extern "C"
{
    int libvlc_vlm_set_file_flag(libvlc_instance_t *p_instance, int flag)
    {
        if (!p_instance)
            return -1;
        libvlc_event_manager_t *events = nullptr;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            InstanceState &s = stateOf(p_instance);
            s.flag = flag != 0;
            if (!s.flag || s.events)
                return 0;
        }
        // Outside the lock: the event manager may start the VLM, whose threads send events.
        events = libvlc_vlm_get_event_manager(p_instance);
        if (!events || libvlc_event_attach(events, libvlc_VlmMediaInstanceStatusEnd, onVlmEvent, p_instance) != 0)
            return -1;
        std::lock_guard<std::mutex> lock(g_mutex);
        stateOf(p_instance).events = events;
        return 0;
    }

    int libvlc_vlm_set_file_key(libvlc_instance_t *p_instance, const char *key)
    {
        if (!p_instance || !key)
            return -1;
        std::lock_guard<std::mutex> lock(g_mutex);
        InstanceState &s = stateOf(p_instance);
        s.key = key;
        s.haveKey = true;
        return 0;
    }

    int libvlc_vlm_set_index_path(libvlc_instance_t *p_instance, const char *path)
    {
        if (!p_instance || !path)
            return -1;
        std::lock_guard<std::mutex> lock(g_mutex);
        stateOf(p_instance).indexPath = path;
        return 0;
    }

    int libvlc_vlm_set_work_path(libvlc_instance_t *p_instance, const char *path)
    {
        if (!p_instance || !path || !*path)
            return -1;
        std::lock_guard<std::mutex> lock(g_mutex);
        std::string &work = stateOf(p_instance).workPath;
        work = path;
        if (work.back() != '/')
            work += '/';
        return 0;
    }

    int __wrap_libvlc_vlm_add_broadcast(libvlc_instance_t *p_instance, const char *psz_name, const char *psz_input,
                                        const char *psz_output, int i_options, const char *const *ppsz_options,
                                        int b_enabled, int b_loop)
    {
        static const AddBroadcastFn real = realCall<AddBroadcastFn>("libvlc_vlm_add_broadcast");
        if (!real)
            return -1;
        std::string output = psz_output ? psz_output : "";
        std::string name = psz_name ? psz_name : "";
        MediaState media;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            InstanceState *s = findState(p_instance);
            if (!s || !s->flag)
                return real(p_instance, psz_name, psz_input, psz_output, i_options, ppsz_options, b_enabled, b_loop);
            if (!s->haveKey || s->indexPath.empty() || s->workPath.empty() || name.empty() || s->media.count(name))
                return -1;

            // The broadcast writes a plain MP4 into a private folder of the work folder.
            size_t begin = 0, end = 0;
            if (!findDestination(output, begin, end, media.dest))
                return -1;
            std::vector<char> templ;
            const std::string pattern = s->workPath + "vlm-XXXXXX";
            templ.assign(pattern.begin(), pattern.end());
            templ.push_back('\0');
            if (!mkdtemp(templ.data()))
            {
                s->lastError = "cannot create a private folder in " + s->workPath;
                return -1;
            }
            media.tempDir = templ.data();
            media.plain = media.tempDir + "/plain.mp4";
            output.replace(begin, end - begin, escapeQuoted(media.plain));
            s->media[name] = media;
        }
        const int r = real(p_instance, psz_name, psz_input, output.c_str(), i_options, ppsz_options, b_enabled, b_loop);
        if (r != 0)
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            if (InstanceState *s = findState(p_instance))
            {
                auto it = s->media.find(name);
                if (it != s->media.end())
                {
                    removePlain(it->second);
                    s->media.erase(it);
                }
            }
        }
        return r;
    }

    float __wrap_libvlc_vlm_get_media_instance_position(libvlc_instance_t *p_instance, const char *psz_name,
                                                        int i_instance)
    {
        static const PositionFn real = realCall<PositionFn>("libvlc_vlm_get_media_instance_position");
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            MediaState *m = findMedia(p_instance, psz_name);
            if (m && m->passEnded)
            {
                // The pass is over; the loop's restarts only fail (and block the VLM), so don't ask.
                const bool first = !m->positiveSeen;
                m->positiveSeen = true;
                return first ? 1.0f : 0.0f;
            }
        }
        if (!real)
            return -1.0f;
        const float p = real(p_instance, psz_name, i_instance);
        if (p > 0)
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            if (MediaState *m = findMedia(p_instance, psz_name))
                m->positiveSeen = true;
        }
        return p;
    }

    int __wrap_libvlc_vlm_del_media(libvlc_instance_t *p_instance, const char *psz_name)
    {
        static const DelMediaFn real = realCall<DelMediaFn>("libvlc_vlm_del_media");
        if (!real)
            return -1;
        // Deleting stops the broadcast: its file output is closed when this returns.
        const int r = real(p_instance, psz_name);

        MediaState media;
        std::string key, indexPath;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            InstanceState *s = findState(p_instance);
            if (!s || !psz_name)
                return r;
            auto it = s->media.find(psz_name);
            if (it == s->media.end())
                return r;
            media = it->second;
            key = s->key;
            indexPath = s->indexPath;
            s->media.erase(it);
        }
        bool ok = false;
        bool destFull = false;
        platform::VlmFullFolder full = platform::VlmFullFolder::None;
        std::string why;
        struct stat st;
        if (r != 0)
            why = "libvlc could not delete the broadcast";
        else if (!media.passEnded)
            why = "the pass did not reach the end of the source";
        else if (::stat(media.plain.c_str(), &st) != 0 || st.st_size == 0)
            why = "the pass wrote no output (the source could not be opened or has no frames)";
        else
            ok = platform::vlmEncryptFile(media.plain, media.dest, indexPath, key, &why, &destFull);
        // Asked while the plain copy still takes its room.
        if (!ok && !destFull && !media.plain.empty() && folderFull(media.plain))
            full = platform::VlmFullFolder::Work;
        if (!ok && destFull)
            full = platform::VlmFullFolder::Destination;
        removePlain(media);
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            if (InstanceState *s = findState(p_instance)) {
                s->lastError = ok ? std::string() : why;
                s->fullFolder = full;
            }
        }
        return ok ? 0 : -1;
    }

    void __wrap_libvlc_vlm_release(libvlc_instance_t *p_instance)
    {
        static const ReleaseFn real = realCall<ReleaseFn>("libvlc_vlm_release");
        std::unique_ptr<InstanceState> state;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            auto it = g_instances.find(p_instance);
            if (it != g_instances.end())
            {
                state = std::move(it->second);
                g_instances.erase(it);
            }
        }
        if (state && state->events)
            libvlc_event_detach(state->events, libvlc_VlmMediaInstanceStatusEnd, onVlmEvent, p_instance);
        if (real)
            real(p_instance);
        // Broadcasts that were never deleted leave no plain copy behind.
        if (state)
            for (auto &m : state->media)
                removePlain(m.second);
    }
}
