// The program's own pictures, drawn in code: the logo shown in empty panes,
// the splash picture and the glyphs of the buttons.
#ifndef APP_GLYPHS_H
#define APP_GLYPHS_H

#include <QIcon>
#include <QImage>

enum class TGlyph { Prev, Next, Open, SaveAs, About, Exit, Fit, Center, Preview, Difference };

// The 180 x 64 logo, 24 bits per pixel.
QImage LogoBitmap();
// The 520 x 316 splash and About picture.
QImage SplashBitmap();
// A 16 x 16 glyph.
QIcon GlyphIcon(TGlyph Glyph);

#endif
