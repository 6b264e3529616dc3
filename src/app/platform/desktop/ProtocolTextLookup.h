#pragma once

namespace app {

// Lets the transfer package's user texts go through Qt's translations; with none
// installed every text stays its Chinese fallback.
void installProtocolTextLookup();

} // namespace app
