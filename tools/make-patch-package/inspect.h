// make-patch-package inspect PKG: what a package holds, for a release
// engineer deciding whether to ship it.
#pragma once

namespace mpp {

// Prints the manifest, every list with its lines, every entry with its sizes
// and the signing key id. 0, 1 when PKG cannot be read as a ZIP, 2 on a
// usage error.
int inspectCommand(int argc, char** argv);

}  // namespace mpp
