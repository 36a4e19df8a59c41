#pragma once

#include "window/layout.h"

#include <QFont>
#include <QSize>
#include <QString>

namespace servo {

// Makes the fonts the window asks for available. "MS Sans Serif" ships with fonts-wine as a
// bitmap TrueType file outside fontconfig's folders; it is loaded into the application here.
// Needs a QGuiApplication. Calling it again does nothing more.
void loadSubstituteFonts();

// The installed font that stands for a requested one: "MS Sans Serif" is the bitmap font of
// fonts-wine, "Arial" Liberation Sans, "Arial Narrow" Liberation Sans Narrow and "Roman"
// Liberation Serif (fontconfig would map "Roman" to a sans font). Other families are asked of
// fontconfig by name. Each substitute falls back to a font of the same kind when missing.
QFont substituteFont(const layout::FontSpec& wanted);

enum class Wrap {
    SingleLine, // the text stays on one line
    WordWrap,   // lines break between words, as a button's caption does
};

struct FittedText
{
    QFont font;
    QString text; // with a line break wherever a word-wrapped text breaks
};

// The font, shrunk where needed, in which text fits box in full: every line no wider than the
// box, and the lines, top-aligned, no taller than it (ink below the baseline included, the
// font's unused leading not). A bitmap font that does not fit is replaced by a scalable one of
// the same kind. The point size shrinks in quarter points and stops at 4 pt, so a text that
// cannot fit still shows, at its smallest.
FittedText fitText(const QFont& font, const QString& text, QSize box, Wrap wrap);

} // namespace servo
