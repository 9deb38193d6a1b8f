// Compiled only by the boundary check, which expects it not to compile.
#include QSN_PROBE_HEADER
