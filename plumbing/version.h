// The one version string of plexer and the gateway, fixed when the build is configured.
#pragma once

namespace plexer {

// The project's version, with the source's commit when it was built from a
// git checkout ("7.0+g1a2b3c4", ".dirty" with changes not committed).
const char* Version();

}  // namespace plexer
