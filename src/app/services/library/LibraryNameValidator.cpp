#include "app/services/library/LibraryNameValidator.h"

#include <QChar>
#include <QList>
#include <QTextBoundaryFinder>

namespace app {

namespace {

// Scalars of the text; a lone surrogate comes out as itself so it can be refused.
QList<char32_t> scalars(const QString& text)
{
    QList<char32_t> out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out.append(QChar::surrogateToUcs4(c, text[i + 1]));
            ++i;
        } else {
            out.append(c.unicode());
        }
    }
    return out;
}

// Index just past the first `count` grapheme clusters.
qsizetype graphemePrefixEnd(const QString& text, int count)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int seen = 0;
    while (seen < count) {
        if (finder.toNextBoundary() < 0)
            return text.size();
        ++seen;
    }
    return finder.position();
}

} // namespace

bool LibraryNameValidator::isForbidden(char32_t s)
{
    switch (s) {
    case '/': case '\\': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
        return true;
    case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x85: case 0x2028: case 0x2029:
        return true;
    default:
        break;
    }
    if (s >= 0xD800 && s <= 0xDFFF)
        return true;
    if (QChar::isNonCharacter(s))
        return true;
    switch (QChar::category(s)) {
    case QChar::Other_NotAssigned:
    case QChar::Other_Control:
    case QChar::Other_Format:
        return true;
    default:
        return false;
    }
}

int LibraryNameValidator::characterCount(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() >= 0)
        ++count;
    return count;
}

QString LibraryNameValidator::message(ValidationError error)
{
    switch (error) {
    case ValidationError::empty:
        return "请输入图库名称";
    case ValidationError::tooLong:
        return QString("名称最长 %1 个字符").arg(maxLength);
    case ValidationError::invalidCharacters:
        return "名称不能包含 / \\ : * ? \" < > | 等特殊符号";
    case ValidationError::reservedName:
        return "不能使用这个名称";
    }
    return {};
}

std::optional<LibraryNameValidator::ValidationError> LibraryNameValidator::validate(const QString& name)
{
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return ValidationError::empty;
    // Twenty characters with combining marks can still be too long for a folder name.
    if (characterCount(trimmed) > maxLength || trimmed.toUtf8().size() > maxUtf8Bytes)
        return ValidationError::tooLong;
    if (trimmed == "." || trimmed == "..")
        return ValidationError::reservedName;
    for (char32_t s : scalars(trimmed)) {
        if (isForbidden(s))
            return ValidationError::invalidCharacters;
    }
    return std::nullopt;
}

QString LibraryNameValidator::sanitizedInput(const QString& text)
{
    QString kept;
    kept.reserve(text.size());
    for (char32_t s : scalars(text)) {
        if (!isForbidden(s))
            kept.append(QString::fromUcs4(&s, 1));
    }
    return kept.left(graphemePrefixEnd(kept, maxLength));
}

std::optional<QString> LibraryNameValidator::trimmedValidName(const QString& name)
{
    const QString trimmed = name.trimmed();
    if (validate(trimmed))
        return std::nullopt;
    return trimmed;
}

} // namespace app
