#include "p2p/backup/SafeFileName.h"

#include <algorithm>
#include <string_view>

namespace p2p {

namespace {

// An extension longer than this is part of the stem: cutting must not eat the whole name.
constexpr std::size_t longestKeptExtension = 16;

constexpr std::string_view partialSuffix = ".part";

bool isRefusedCharacter(unsigned char c)
{
    // Control characters and DEL; the separators; what FAT and exFAT refuse.
    if (c < 0x20 || c == 0x7F)
        return true;
    return std::string_view("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos;
}

// Length of the valid UTF-8 sequence at `at`, or 0 when the bytes there are not one.
std::size_t utf8SequenceLength(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    std::uint32_t value = 0;
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        minimum = 0x80;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        minimum = 0x800;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        minimum = 0x10000;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

std::string replaceRefusedCharacters(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8SequenceLength(text, at);
        if (length == 0) {
            out.push_back('_');
            ++at;
        } else if (length == 1 && isRefusedCharacter(static_cast<unsigned char>(text[at]))) {
            out.push_back('_');
            ++at;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    return out;
}

namespace {

bool isOnlyDotsAndBlanks(std::string_view name)
{
    return name.find_first_not_of(". ") == std::string_view::npos;
}

// Stem and extension, each cut so that the whole stays within `limit` bytes.
std::string fitted(std::string_view stem, std::string_view suffix, std::string_view extension, std::size_t limit)
{
    if (extension.size() + suffix.size() >= limit)
        extension = {};
    const std::size_t room = limit - extension.size() - suffix.size();
    std::string out(utf8Prefix(stem, room));
    out.append(suffix);
    out.append(extension);
    return out;
}

std::string_view keptExtension(std::string_view name)
{
    const std::string_view extension = fileExtension(name);
    return extension.size() <= longestKeptExtension ? extension : std::string_view{};
}

} // namespace

std::string asciiFolded(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
        [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

std::string_view utf8Prefix(std::string_view text, std::size_t maximumByteCount)
{
    if (text.size() <= maximumByteCount)
        return text;
    std::size_t end = maximumByteCount;
    // Back up over continuation bytes to the start of the sequence that would be split.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

std::string_view fileExtension(std::string_view name)
{
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return {};
    return name.substr(dot);
}

std::string_view fileStem(std::string_view name)
{
    return name.substr(0, name.size() - fileExtension(name).size());
}

std::string safeFileComponent(std::string_view name, std::string_view assetID, std::int64_t fileIndex)
{
    if (const std::size_t slash = name.rfind('/'); slash != std::string_view::npos)
        name = name.substr(slash + 1);
    std::string cleaned = replaceRefusedCharacters(name);
    if (isOnlyDotsAndBlanks(cleaned)) {
        std::string fromAsset = replaceRefusedCharacters(assetID);
        if (isOnlyDotsAndBlanks(fromAsset))
            fromAsset = "file";
        cleaned = fromAsset + "_" + std::to_string(fileIndex);
    }

    const std::string_view extension = keptExtension(cleaned);
    std::string out = fitted(std::string_view(cleaned).substr(0, cleaned.size() - extension.size()), {}, extension,
        maximumStoredNameByteCount);
    // The sink's own temporary files end in ".part"; a received file must never look like one.
    if (out.size() >= partialSuffix.size() && out.compare(out.size() - partialSuffix.size(), partialSuffix.size(), partialSuffix) == 0) {
        out = std::string(utf8Prefix(out, maximumStoredNameByteCount - 1));
        out.push_back('_');
    }
    return out;
}

std::string numberedFileName(std::string_view name, std::int64_t number)
{
    const std::string_view extension = keptExtension(name);
    const std::string suffix = "_" + std::to_string(number);
    return fitted(name.substr(0, name.size() - extension.size()), suffix, extension, maximumStoredNameByteCount);
}

} // namespace p2p
