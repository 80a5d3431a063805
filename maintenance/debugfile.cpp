#include "debugfile.h"

DebugFile::DebugFile() = default;
