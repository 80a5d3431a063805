#pragma once

// The desktop's light or dark preference, for dialogs that paint their own
// light and dark styles.
namespace ZuTheme {

// True for a dark desktop. The environment variable ZU_THEME ("light" or
// "dark", any case) decides when it holds one of those; otherwise the
// application palette's window colour does (dark when its lightness is below
// the middle). Without a GUI application object: light.
bool prefersDark();

// The job rows' progress bar: white text on a translucent bar, padded; the
// chunk's colour is left to each row.
extern const char kProgressBarStyle[];

} // namespace ZuTheme
