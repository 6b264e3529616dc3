#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace p2p {

// Longest name the sink stores: the 255-byte limit of every common file system, less the
// ".part" of the temporary file it is received under.
inline constexpr std::size_t maximumStoredNameByteCount = 250;

// One path component made from a name the phone sent: only its last component; NUL, control
// characters, `\` and what FAT and exFAT refuse (`: * ? " < > |`) become "_", and so does a byte
// that is not valid UTF-8; "", "." and ".." (any name of dots and blanks only) become
// "<asset>_<index>"; cut to maximumStoredNameByteCount bytes at a character boundary, keeping the
// extension; a name ending in ".part" gets a trailing "_". Never fails, never empty.
std::string safeFileComponent(std::string_view name, std::string_view assetID, std::int64_t fileIndex);

// `text` with each character a FAT or exFAT folder entry refuses (NUL and other control
// characters, `/ \ : * ? " < > |`) and each byte that is not valid UTF-8 replaced by "_".
std::string replaceRefusedCharacters(std::string_view text);

// `name` with "_<number>" before its extension, cut to stay within maximumStoredNameByteCount.
std::string numberedFileName(std::string_view name, std::int64_t number);

// The name without its last extension ("IMG_1.HEIC" → "IMG_1"); a leading dot starts no extension.
std::string_view fileStem(std::string_view name);
std::string_view fileExtension(std::string_view name); // with its dot, or empty

// `text` with A–Z lowered, as exFAT and FAT compare names.
std::string asciiFolded(std::string text);

// The longest prefix of `text` of at most `maximumByteCount` bytes that does not end inside a
// UTF-8 sequence.
std::string_view utf8Prefix(std::string_view text, std::size_t maximumByteCount);

} // namespace p2p
