// Which person detectors hold up on images without people. For every image it takes the best score of
// each detector at the sizes the sorting decodes (1024 and 640 pixels): dlib's frontal face detector
// (the application's, on both passes) and OpenCV's Haar cascades for full bodies, upper bodies and
// profile faces. Images: opencv-doc's examples/data (people: the calibration shots of a person holding
// a chessboard, the basketball pair and the football player), the project's media fixtures, and
// generated person-free images (chat screens, documents, spreadsheets, code, drawings, app screens).
// For each detector it prints the lowest threshold that fires on no person-free image and how many
// pictures of people it still finds there, beside what the face detector alone finds.
//
//   PersonDetectorSurveyBench [--scores]     (needs opencv-doc and opencv-data installed)

#include "app/models/MediaItem.h"
#include "app/platform/decoding/ImageDecoder.h"
#include "app/platform/noncaptured/PersonDetector.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>

using namespace app;

namespace {

const char* const examples = "/usr/share/doc/opencv-doc/examples/data";
const char* const cascades = "/usr/share/opencv4/haarcascades";

struct Sample {
    QString name;
    bool hasPeople = false;
    QImage large; // longest side 1024 at most
    QImage small; // 640
};

bool showsPeople(const QString& name)
{
    static const QStringList people = {"basketball1.png", "basketball2.png", "messi5.jpg"};
    // left01..left14 and right01..right14: a person holding a calibration board.
    static const QRegularExpression calibration(QStringLiteral("^(left|right)\\d\\d\\.jpg$"));
    return people.contains(name) || calibration.match(name).hasMatch();
}

QImage fitted(const QImage& image, int side)
{
    if (std::max(image.width(), image.height()) <= side)
        return image;
    return image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

QList<QImage> generatedImages()
{
    QList<QImage> images;
    QRandomGenerator random(20261207);
    const auto canvas = [](int w, int h, QColor fill) {
        QImage image(w, h, QImage::Format_RGB32);
        image.fill(fill);
        return image;
    };
    for (int seed = 0; seed < 4; ++seed) { // chat screens
        QImage image = canvas(1170, 2532, QColor(242, 242, 247));
        QPainter p(&image);
        QFont font = p.font();
        font.setPixelSize(40);
        p.setFont(font);
        for (int i = 0; i < 14; ++i) {
            const bool mine = (i + seed) % 2 == 1;
            p.setPen(Qt::NoPen);
            p.setBrush(mine ? QColor(52, 199, 89) : Qt::white);
            p.drawRoundedRect(QRect(mine ? 420 : 60, 320 + i * 150, 690, 120), 36, 36);
            p.setPen(Qt::black);
            p.drawText(QRect(90 + (mine ? 360 : 0), 320 + i * 150, 630, 120), Qt::AlignVCenter,
                       QStringLiteral("明天几点见？ Message %1 / %2").arg(i).arg(seed));
        }
        images.append(image);
    }
    for (int seed = 0; seed < 4; ++seed) { // documents
        QImage image = canvas(1240, 1754, Qt::white);
        QPainter p(&image);
        QFont font = p.font();
        font.setPixelSize(seed % 2 ? 22 : 30);
        p.setFont(font);
        p.setPen(Qt::black);
        for (int line = 0; line < 50; ++line)
            p.drawText(100, 140 + line * 32, seed % 2 ? QStringLiteral("第 %1 条：本合同双方约定的交付日期与付款方式如下所述。").arg(line)
                                                      : QStringLiteral("Lorem ipsum dolor sit amet, consectetur adipiscing %1").arg(line));
        images.append(image);
    }
    for (int seed = 0; seed < 3; ++seed) { // spreadsheets
        QImage image = canvas(1920, 1080, Qt::white);
        QPainter p(&image);
        p.setPen(QColor(200, 200, 200));
        for (int x = 0; x < 1920; x += 120 + seed * 10)
            p.drawLine(x, 0, x, 1080);
        for (int y = 0; y < 1080; y += 30)
            p.drawLine(0, y, 1920, y);
        p.setPen(Qt::black);
        for (int r = 0; r < 36; ++r)
            for (int c = 0; c < 15; ++c)
                p.drawText(c * (120 + seed * 10) + 6, r * 30 + 22, QString::number(random.bounded(100000)));
        images.append(image);
    }
    for (int seed = 0; seed < 3; ++seed) { // code editor
        QImage image = canvas(1920, 1080, QColor(30, 30, 30));
        QPainter p(&image);
        QFont font(QStringLiteral("monospace"));
        font.setPixelSize(18);
        p.setFont(font);
        const QColor colors[] = {QColor(86, 156, 214), QColor(206, 145, 120), QColor(220, 220, 170), QColor(106, 153, 85)};
        for (int line = 0; line < 45; ++line) {
            p.setPen(colors[(line + seed) % 4]);
            p.drawText(60 + (line % 5) * 30, 30 + line * 23, QStringLiteral("if (items[%1].isValid()) { return parse(%2); }").arg(line).arg(seed));
        }
        images.append(image);
    }
    for (int seed = 0; seed < 4; ++seed) { // drawings
        QImage image = canvas(1600, 1200, QColor::fromHsv(random.bounded(360), 40, 250));
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        for (int i = 0; i < 30; ++i) {
            p.setPen(QPen(QColor::fromHsv(random.bounded(360), 200, 200), 1 + random.bounded(8)));
            p.setBrush(i % 3 ? Qt::NoBrush : QBrush(QColor::fromHsv(random.bounded(360), 150, 230)));
            const QRect r(random.bounded(1400), random.bounded(1000), 40 + random.bounded(300), 40 + random.bounded(300));
            if (i % 2)
                p.drawEllipse(r);
            else
                p.drawRect(r);
        }
        images.append(image);
    }
    for (int seed = 0; seed < 4; ++seed) { // app screens: cards, buttons, icons
        QImage image = canvas(1170, 2532, Qt::white);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        QFont font = p.font();
        font.setPixelSize(38);
        p.setFont(font);
        for (int i = 0; i < 8; ++i) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(245, 245, 245));
            p.drawRoundedRect(QRect(40, 200 + i * 280, 1090, 250), 30, 30);
            p.setBrush(QColor::fromHsv((seed * 40 + i * 30) % 360, 180, 230));
            p.drawEllipse(QRect(80, 240 + i * 280, 170, 170));
            p.setPen(Qt::black);
            p.drawText(290, 300 + i * 280, QStringLiteral("订单 %1 · 已发货").arg(1000 + i + seed));
            p.setPen(Qt::gray);
            p.drawText(290, 360 + i * 280, QStringLiteral("预计周三送达"));
        }
        images.append(image);
    }
    return images;
}

struct Scores {
    double dlibFace = -std::numeric_limits<double>::infinity(); // the application's two passes
    double fullBody = -std::numeric_limits<double>::infinity();
    double upperBody = -std::numeric_limits<double>::infinity();
    double profileFace = -std::numeric_limits<double>::infinity();
};

double bestCascadeScore(cv::CascadeClassifier& cascade, const QImage& image)
{
    const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
    const cv::Mat mat(gray.height(), gray.width(), CV_8UC1, const_cast<uchar*>(gray.constBits()),
                      static_cast<size_t>(gray.bytesPerLine()));
    cv::Mat equalized;
    cv::equalizeHist(mat, equalized);
    std::vector<cv::Rect> found;
    std::vector<int> levels;
    std::vector<double> weights;
    cascade.detectMultiScale(equalized, found, levels, weights, 1.1, 3, 0, cv::Size(), cv::Size(), true);
    double best = -std::numeric_limits<double>::infinity();
    for (double w : weights)
        best = std::max(best, w);
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const bool printScores = argc > 1 && QByteArray(argv[1]) == "--scores";

    cv::CascadeClassifier fullBody(std::string(cascades) + "/haarcascade_fullbody.xml");
    cv::CascadeClassifier upperBody(std::string(cascades) + "/haarcascade_upperbody.xml");
    cv::CascadeClassifier profileFace(std::string(cascades) + "/haarcascade_profileface.xml");
    if (fullBody.empty() || upperBody.empty() || profileFace.empty() || !QDir(examples).exists()) {
        std::fprintf(stderr, "needs opencv-data (%s) and opencv-doc (%s)\n", cascades, examples);
        return 2;
    }

    QList<Sample> samples;
    const auto decoder = makeMediaImageDecoder();
    const auto addFile = [&](const QString& path, bool hasPeople) {
        MediaItem item;
        item.url = path;
        const QImage large = decoder->decode(item, 1024);
        const QImage small = decoder->decode(item, 640);
        if (!large.isNull() && !small.isNull())
            samples.append({QFileInfo(path).fileName(), hasPeople, large, small});
    };
    for (const QFileInfo& file : QDir(examples).entryInfoList({"*.jpg", "*.png"}, QDir::Files, QDir::Name))
        addFile(file.filePath(), showsPeople(file.fileName()));
    const QString fixtures = QStringLiteral(TESS_SOURCE_DIR "/tests/fixtures");
    for (const QString& folder : {QStringLiteral("/media"), QStringLiteral("/thumbnails")})
        for (const QFileInfo& file : QDir(fixtures + folder).entryInfoList(QDir::Files, QDir::Name))
            addFile(file.filePath(), false);
    int generated = 0;
    for (const QImage& image : generatedImages())
        samples.append({QStringLiteral("generated-%1").arg(++generated), false, fitted(image, 1024), fitted(image, 640)});

    const auto detector = makePersonDetector();
    std::map<QString, Scores> scores;
    for (const Sample& s : samples) {
        Scores& score = scores[s.name];
        const PersonDetectorScores first = measurePersonDetectors(s.large);
        const PersonDetectorScores second = measurePersonDetectors(s.small);
        for (double v : first.faceScores)
            score.dlibFace = std::max(score.dlibFace, v);
        for (double v : second.upsampledFaceScores)
            score.dlibFace = std::max(score.dlibFace, v);
        score.fullBody = bestCascadeScore(fullBody, s.large);
        score.upperBody = bestCascadeScore(upperBody, s.small);
        score.profileFace = std::max(bestCascadeScore(profileFace, s.large), bestCascadeScore(profileFace, s.small));
        if (printScores)
            std::printf("%-34s %-6s face %7.2f  full body %7.2f  upper body %7.2f  profile %7.2f\n", qPrintable(s.name),
                        s.hasPeople ? "people" : "none", score.dlibFace, score.fullBody, score.upperBody, score.profileFace);
    }

    int people = 0, clean = 0;
    for (const Sample& s : samples)
        (s.hasPeople ? people : clean) += 1;
    std::printf("%d images: %d with people, %d without (opencv-doc, fixtures, %d generated)\n",
                int(samples.size()), people, clean, generated);

    using Pick = double Scores::*;
    const std::pair<const char*, Pick> detectors[] = {
        {"dlib frontal face", &Scores::dlibFace},
        {"Haar full body", &Scores::fullBody},
        {"Haar upper body", &Scores::upperBody},
        {"Haar profile face", &Scores::profileFace},
    };
    for (const auto& [name, pick] : detectors) {
        // At the default threshold (0 for dlib; any hit for a cascade) and at the lowest clean one.
        const double defaultThreshold = pick == &Scores::dlibFace ? 0.0 : -std::numeric_limits<double>::max();
        int falseHits = 0, foundAtDefault = 0, foundClean = 0, foundBeyondFaces = 0;
        double worstFalse = -std::numeric_limits<double>::infinity();
        QStringList falseNames;
        for (const Sample& s : samples) {
            const double v = scores[s.name].*pick;
            if (!s.hasPeople && v >= defaultThreshold && v > -std::numeric_limits<double>::infinity()) {
                ++falseHits;
                falseNames.append(s.name);
            }
            if (!s.hasPeople)
                worstFalse = std::max(worstFalse, v);
            if (s.hasPeople && v >= defaultThreshold && v > -std::numeric_limits<double>::infinity())
                ++foundAtDefault;
        }
        const double cleanThreshold = std::max(worstFalse, defaultThreshold);
        for (const Sample& s : samples) {
            const double v = scores[s.name].*pick;
            if (s.hasPeople && v > cleanThreshold) {
                ++foundClean;
                if (!(scores[s.name].dlibFace >= 0))
                    ++foundBeyondFaces;
            }
        }
        std::printf("%-18s default threshold: fires on %2d of %d person-free (%s), finds %2d of %d with people\n", name,
                    falseHits, clean, qPrintable(falseNames.mid(0, 6).join(", ")), foundAtDefault, people);
        std::printf("%-18s above %.2f (clean): finds %2d of %d with people, %d of them missed by the face detector\n", "",
                    cleanThreshold, foundClean, people, foundBeyondFaces);
    }
    return 0;
}
