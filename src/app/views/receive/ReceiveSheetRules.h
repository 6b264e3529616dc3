#pragma once

#include "app/services/receive/PeerReceiveModel.h"

#include <QList>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

// What the receive sheet shows, as plain functions of the model's fields, so they are tested
// without a screen.
namespace app::ReceiveSheetRules {

using Kind = PeerReceiveModel::Kind;
using Phase = PeerReceiveModel::Phase;

QString headerTitle(const Phase& phase, Kind kind);
// "停止" while a receive runs, "完成" otherwise.
QString headerButtonText(const Phase& phase);
// The phases in which the header button and "关闭" may close the sheet after cancelling.
bool closesAfterCancel(const Phase& phase);

QString waitingInstruction(Kind kind);
// Decimal units, as a file size: "0 字节", "123.5 kB", "1.2 GB".
QString byteText(std::int64_t byteCount);
// Bytes when a byte total is known, else assets; 0 to 1.
double progressFraction(const p2p::TransferProgress& progress);
QString countsText(const p2p::TransferProgress& progress);
QString byteAndETASummary(const p2p::TransferProgress& progress, const std::optional<QString>& remainingTimeText);
// The summary's statistics lines: stored files and bytes, then the skipped ones when any.
QStringList finishedLines(const PeerReceiveModel::FinishSummary& summary);

// Whether a library already holds photos or videos where a backup would write: directly in the
// folder, in its Photos and Videos, or in those of a backup folder inside it. Not recursive.
bool libraryLooksPopulated(const QString& libraryFolder);

// The radar's three expanding rings at time `seconds`: radius as a share of the reach, and opacity.
struct Ripple {
    double radiusFraction = 0;
    double opacity = 0;
};
Ripple ripple(double seconds, int index);
// Where the radar's centre dot of `radius` goes: at `centre` when it clears every rectangle of the
// page's content, else straight up or down to the nearest height where it does; none when no such
// height lies within `reach` of the centre.
std::optional<QPointF> radarDotCentre(QPointF centre, double radius, const QList<QRectF>& content, double reach);

// Window fitting: the sheet is 520 wide; its height is 440 but while the picker shows, where it is
// the picker's measured height, or before a measurement 500 with the drawer open and 300 without.
constexpr int sheetWidth = 520;
int windowHeight(const Phase& phase, int measuredPickerHeight, bool drawerExpanded);
// Resizes only when a side is off by more than 1.5.
bool needsResize(double currentWidth, double currentHeight, double targetWidth, double targetHeight);

} // namespace app::ReceiveSheetRules
