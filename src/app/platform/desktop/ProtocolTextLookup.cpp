#include "app/platform/desktop/ProtocolTextLookup.h"

#include "p2p/protocol/errors/UserFacingError.h"

#include <QCoreApplication>

#include <string>

namespace app {

void installProtocolTextLookup()
{
    p2p::UserFacingError::setLookupHook([](std::string_view key) -> std::optional<std::string> {
        const std::string keyText(key);
        const QString translated = QCoreApplication::translate("p2p", keyText.c_str());
        // translate() hands the key back when nothing is translated.
        if (translated.isEmpty() || translated.toStdString() == keyText)
            return std::nullopt;
        return translated.toStdString();
    });
}

} // namespace app
