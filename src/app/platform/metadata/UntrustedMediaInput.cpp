#include "app/platform/metadata/UntrustedMediaInput.h"
#include "app/platform/metadata/MediaLimits.h"
#include "app/platform/metadata/MetadataFile.h"

#include <QFile>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

#include <cstdio>
#include <limits>

namespace app {

namespace {

// FFmpeg's input over a MetadataFile, for header reads.
struct HeaderInput {
    explicit HeaderInput(const QByteArray& path) : file(path) {}
    MetadataFile file;
    qint64 position = 0;
};

// FFmpeg's own input buffer size: a seek lands on at most this much unwanted data.
constexpr int kInputBufferSize = 32 * 1024;

int readHeaderInput(void* opaque, uint8_t* buffer, int size)
{
    auto* input = static_cast<HeaderInput*>(opaque);
    const qint64 n = input->file.read(input->position, buffer, size);
    if (n < 0)
        return AVERROR(EIO);
    if (n == 0)
        return AVERROR_EOF;
    input->position += n;
    return int(n);
}

int64_t seekHeaderInput(void* opaque, int64_t offset, int whence)
{
    auto* input = static_cast<HeaderInput*>(opaque);
    const qint64 size = input->file.size();
    if (whence & AVSEEK_SIZE)
        return size;
    qint64 base = 0;
    switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = input->position; break;
    case SEEK_END: base = size; break;
    default: return AVERROR(EINVAL);
    }
    if ((offset > 0 && base > std::numeric_limits<qint64>::max() - offset) || base + offset < 0)
        return AVERROR(EINVAL);
    input->position = base + offset;
    return input->position;
}

void freeHeaderInput(AVIOContext* io)
{
    if (!io)
        return;
    delete static_cast<HeaderInput*>(io->opaque);
    av_freep(&io->buffer);
    avio_context_free(&io);
}

// A context reading through a HeaderInput; null when the file cannot be opened.
AVFormatContext* headerContext(const QString& path)
{
    auto* input = new HeaderInput(QFile::encodeName(path));
    // FFmpeg sizes what it keeps from the counts a header declares, before it reads what they count.
    if (!input->file.isOpen() || !headerReadWithinBound(input->file)) {
        delete input;
        return nullptr;
    }
    auto* buffer = static_cast<unsigned char*>(av_malloc(kInputBufferSize));
    AVIOContext* io = buffer ? avio_alloc_context(buffer, kInputBufferSize, 0, input, readHeaderInput, nullptr,
                                                  seekHeaderInput)
                             : nullptr;
    if (!io) {
        av_free(buffer);
        delete input;
        return nullptr;
    }
    AVFormatContext* context = avformat_alloc_context();
    if (!context) {
        freeHeaderInput(io);
        return nullptr;
    }
    context->pb = io;
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    return context;
}

} // namespace

void FormatContextCloser::operator()(AVFormatContext* context) const
{
    // A custom input outlives avformat_close_input, which does not free it.
    AVIOContext* custom = context && (context->flags & AVFMT_FLAG_CUSTOM_IO) ? context->pb : nullptr;
    avformat_close_input(&context);
    freeHeaderInput(custom);
}

FormatContextPtr openUntrustedMediaFile(const QString& path, MediaAccess access, const AVIOInterruptCB* interrupt,
                                        int* error)
{
    if (error)
        *error = AVERROR(ENOMEM);
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", "mov,mp4,m4a,3gp,3g2,mj2,avi,mpeg,mpegts,matroska,webm,hevc", 0);
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    // The file: prefix keeps a colon in a file name from naming a protocol.
    const QByteArray url = "file:" + QFile::encodeName(path);
    AVFormatContext* context = nullptr;
    AVIOContext* custom = nullptr;
    if (access == MediaAccess::headers) {
        context = headerContext(path);
        if (!context) {
            if (error)
                *error = AVERROR(EIO);
            av_dict_free(&options);
            return nullptr;
        }
        custom = context->pb;
    } else if (const MetadataFile file(QFile::encodeName(path));
               !file.isOpen() || file.size() <= 0 || !headerReadWithinBound(file)) {
        // Playing reads the same header first. Only a regular file with something in it is handed
        // on: FFmpeg's own open of a FIFO waits for a writer that may never come.
        if (error)
            *error = AVERROR(EIO);
        av_dict_free(&options);
        return nullptr;
    } else if (interrupt) {
        context = avformat_alloc_context();
        if (!context) {
            av_dict_free(&options);
            return nullptr;
        }
    }
    if (interrupt)
        context->interrupt_callback = *interrupt;
    const int opened = avformat_open_input(&context, url.constData(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) {
        if (error)
            *error = opened;
        // On failure FFmpeg has freed the context but not a custom input.
        freeHeaderInput(custom);
        return nullptr;
    }
    return FormatContextPtr(context);
}

} // namespace app
