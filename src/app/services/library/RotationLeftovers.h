#pragma once

#include <QByteArray>

#include <string>

namespace app::RotationLeftovers {

// A rotation writes the new copy of NAME beside it as ".NAME.rotating-XXXXXX" (hidden, so no scan
// lists it as a photo) and holds an flock on it until it is renamed into place; a crash leaves it.
std::string temporaryTemplate(const std::string& target);
bool isTemporaryName(const char* name);

// Removes the temporary `name` in the open folder `dirFd` when it is stale: untouched for a
// minute and not locked by a writer. True when it was removed.
bool removeIfStale(int dirFd, const char* name);
// Same for every temporary file in `folder`.
void removeStale(const QByteArray& folder);

} // namespace app::RotationLeftovers
