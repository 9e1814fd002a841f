// Ctrl-C and kill stop the build at the next step instead of at once, so
// that the scratch files and a half-written package are removed on the way.
#pragma once

namespace mpp {

void installInterruptHandlers();

// True once SIGINT, SIGTERM or SIGHUP arrived.
bool interrupted();

}  // namespace mpp
