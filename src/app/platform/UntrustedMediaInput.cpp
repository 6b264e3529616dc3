#include "app/platform/UntrustedMediaInput.h"

#include <QFile>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

namespace app {

void FormatContextCloser::operator()(AVFormatContext* context) const
{
    avformat_close_input(&context);
}

FormatContextPtr openUntrustedMediaFile(const QString& path)
{
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", "mov,mp4,m4a,3gp,3g2,mj2,avi,mpeg,mpegts,matroska,webm,hevc", 0);
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    // The file: prefix keeps a colon in a file name from naming a protocol.
    const QByteArray url = "file:" + QFile::encodeName(path);
    AVFormatContext* context = nullptr;
    const int opened = avformat_open_input(&context, url.constData(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0)
        return nullptr;
    return FormatContextPtr(context);
}

} // namespace app
