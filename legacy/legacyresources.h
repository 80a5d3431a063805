#pragma once

namespace ZuLegacy {
// Registers the window's pictures (":/imgs/...") once; the library is
// static, so its resources are not registered by themselves.
void initResources();
}
