#include "app/views/receive/ReceiveSheetRules.h"

#include "app/models/DisplayText.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <vector>

namespace app::ReceiveSheetRules {

QString headerTitle(const Phase& phase, Kind kind)
{
    const bool wired = kind == Kind::wired;
    switch (phase.kind) {
    case Phase::Kind::choosingDestination: return wired ? "一线备份" : "准备接收移动端备份";
    case Phase::Kind::waitingForPeer: return wired ? "等待 USB 连接" : "等待 iPhone 连接";
    case Phase::Kind::negotiating: return "正在核对已备份内容";
    case Phase::Kind::transferring: return "正在接收";
    case Phase::Kind::finished: return "接收完成";
    case Phase::Kind::failed: return "接收失败";
    }
    return {};
}

bool closesAfterCancel(const Phase& phase)
{
    return phase.is(Phase::Kind::finished) || phase.is(Phase::Kind::failed)
        || phase.is(Phase::Kind::choosingDestination);
}

QString headerButtonText(const Phase& phase)
{
    return closesAfterCancel(phase) ? "完成" : "停止";
}

QString waitingInstruction(Kind kind)
{
    return kind == Kind::wired ? "在 iPhone 一线备份中点「准备连接」，然后输入配对码"
                               : "在 iPhone 上选择这台电脑，然后输入配对码";
}

QString byteText(std::int64_t byteCount)
{
    return DisplayText::byteCount(byteCount);
}

double progressFraction(const p2p::TransferProgress& progress)
{
    double fraction = 0;
    if (progress.totalByteCount >= 1)
        fraction = double(progress.completedByteCount) / double(progress.totalByteCount);
    else if (progress.totalAssetCount >= 1)
        fraction = double(progress.completedAssetCount) / double(progress.totalAssetCount);
    return std::clamp(fraction, 0.0, 1.0);
}

QString countsText(const p2p::TransferProgress& progress)
{
    return QString("%1 / %2 个项目").arg(progress.completedAssetCount).arg(progress.totalAssetCount);
}

QString byteAndETASummary(const p2p::TransferProgress& progress, const std::optional<QString>& remainingTimeText)
{
    QString text = byteText(progress.completedByteCount);
    if (progress.totalByteCount >= 1)
        text += " / " + byteText(progress.totalByteCount);
    if (remainingTimeText)
        text += " · " + *remainingTimeText;
    return text;
}

QStringList finishedLines(const PeerReceiveModel::FinishSummary& summary)
{
    QStringList lines{QString("落地 %1 个文件 · ").arg(summary.storedFileCount) + byteText(summary.storedByteCount)};
    if (summary.skippedAssetCount >= 1)
        lines << QString("跳过 %1 项（图库中已有）").arg(summary.skippedAssetCount);
    return lines;
}

bool libraryLooksPopulated(const QString& libraryFolder)
{
    static const QStringList mediaExtensions
        = {"jpg", "jpeg", "heic", "heif", "png", "gif", "tif", "tiff", "mov", "mp4", "m4v", "avi"};
    const QDir library(libraryFolder);
    QStringList candidates = {library.path(), library.filePath("Photos"), library.filePath("Videos")};
    for (const QString& child : library.entryList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
        if (child.startsWith("Kalvenstroud_"))
            candidates << library.filePath(child + "/Photos") << library.filePath(child + "/Videos");
    }
    for (const QString& candidate : std::as_const(candidates)) {
        for (const QFileInfo& entry : QDir(candidate).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
            if (mediaExtensions.contains(entry.suffix().toLower()))
                return true;
        }
    }
    return false;
}

Ripple ripple(double seconds, int index)
{
    const double progress = std::fmod(seconds / 2.4 + index / 3.0, 1.0);
    return {progress, (1.0 - progress) * 0.45};
}

std::optional<QPointF> radarDotCentre(QPointF centre, double radius, const QList<QRectF>& content, double reach)
{
    constexpr double margin = 2;
    auto clear = [&](double y) {
        const QRectF dot(centre.x() - radius, y - radius, 2 * radius, 2 * radius);
        return std::none_of(content.begin(), content.end(), [&](const QRectF& r) { return r.intersects(dot); });
    };
    // The clear heights nearest the centre are just above or just below some rectangle.
    std::vector<double> heights {centre.y()};
    for (const QRectF& r : content) {
        heights.push_back(r.top() - radius - margin);
        heights.push_back(r.bottom() + radius + margin);
    }
    std::stable_sort(heights.begin(), heights.end(),
        [&](double a, double b) { return std::abs(a - centre.y()) < std::abs(b - centre.y()); });
    for (double y : heights) {
        if (std::abs(y - centre.y()) > reach)
            break;
        if (clear(y))
            return QPointF(centre.x(), y);
    }
    return std::nullopt;
}

int windowHeight(const Phase& phase, int measuredPickerHeight, bool drawerExpanded)
{
    if (!phase.is(Phase::Kind::choosingDestination))
        return 440;
    if (measuredPickerHeight > 1)
        return measuredPickerHeight;
    return drawerExpanded ? 500 : 300;
}

bool needsResize(double currentWidth, double currentHeight, double targetWidth, double targetHeight)
{
    targetWidth = std::max(targetWidth, double(sheetWidth));
    targetHeight = std::max(targetHeight, 1.0);
    return std::abs(currentWidth - targetWidth) > 1.5 || std::abs(currentHeight - targetHeight) > 1.5;
}

} // namespace app::ReceiveSheetRules
