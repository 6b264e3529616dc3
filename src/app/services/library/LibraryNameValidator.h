#pragma once

#include <QString>

#include <optional>

namespace app {

// Rules for the name of a library folder the program creates itself.
struct LibraryNameValidator {
    static constexpr int maxLength = 20;       // user-perceived characters
    static constexpr int maxUtf8Bytes = 255;   // what ext4 and exFAT allow in one name

    enum class ValidationError { empty, tooLong, invalidCharacters, reservedName };

    static QString message(ValidationError error);
    static std::optional<ValidationError> validate(const QString& name);
    // Live filtering while the user types: drops forbidden characters and cuts to the limit.
    static QString sanitizedInput(const QString& text);
    static std::optional<QString> trimmedValidName(const QString& name);

    static bool isForbidden(char32_t scalar);
    static int characterCount(const QString& text);
};

} // namespace app
