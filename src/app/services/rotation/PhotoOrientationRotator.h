#pragma once

#include <QImage>
#include <QSet>
#include <QString>

#include <exception>
#include <functional>

namespace app {

// Quarter-turn rotation of a photo file by rewriting only its orientation, never its pixels, and
// the same turn of the viewer's preview image.
class PhotoOrientationRotator {
public:
    class RotateError : public std::exception {
    public:
        enum class Kind { writeFailed, unsupported, unreadable, notWritable };
        explicit RotateError(Kind kind, QString detail = {});
        Kind kind() const { return kind_; }
        const QString& detail() const { return detail_; }
        QString description() const;
        const char* what() const noexcept override { return what_.constData(); }

    private:
        Kind kind_;
        QString detail_;
        QByteArray what_;
    };

    // The steps of replacing the file, where a test can make a system call fail.
    enum class WriteStep { createTemporary, write, carryOwner, carryAttributes, replace };
    // Returns an errno value to fail the step with, or 0 to run it.
    using FaultInjector = std::function<int(WriteStep)>;

    static const QSet<QString>& supportedExtensions();

    // Turns the file at `path` by `turns` clockwise quarter turns (taken modulo 4, so -1 is three).
    // The new file replaces the old one atomically and keeps its mode, owner, group, extended
    // attributes (ACLs included) and access and modification times; a file with several hard
    // links is patched in place instead, when the new value fits where the old one stands. A file
    // the user may not write is refused. Throws RotateError; on every failure the file is left
    // as it was.
    // Blocks on file input and output.
    static void rotateClockwise90(const QString& path, int turns, const FaultInjector& faults = {});

    // The preview turned a quarter turn clockwise; a null image when there is nothing to turn.
    static QImage rotateDisplayImageClockwise90(const QImage& image);
};

} // namespace app
