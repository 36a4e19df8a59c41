#include "window/fonts.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QStringList>
#include <algorithm>
#include <array>

namespace servo {

namespace {

// Where Debian's fonts-wine puts its "MS Sans Serif". Its .fon sibling misrenders in Qt.
constexpr char kWineSansSerifFile[] = "/usr/share/wine/fonts/ms_sans_serif.ttf";

struct FontSubstitute
{
    std::string_view requested;
    std::string_view installed;
    std::string_view fallback; // a scalable font of the same kind, should the first be missing
    QFont::StyleHint kind;
};

constexpr std::array<FontSubstitute, 4> kFontSubstitutes{{
    {"MS Sans Serif", "MS Sans Serif", "Liberation Sans", QFont::SansSerif},
    {"Arial", "Liberation Sans", "DejaVu Sans", QFont::SansSerif},
    {"Arial Narrow", "Liberation Sans Narrow", "DejaVu Sans Condensed", QFont::SansSerif},
    {"Roman", "Liberation Serif", "DejaVu Serif", QFont::Serif},
}};

// What stands in for a bitmap font that cannot shrink.
QStringList scalableSans()
{
    return {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")};
}

constexpr double kShrinkStep = 0.25;
constexpr double kSmallestPointSize = 4;
// Enough steps to shrink from 72 pt to the smallest size, plus the change to a scalable font.
constexpr int kMaxFitSteps = 300;

QString toQString(std::string_view s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

bool isScalable(const QFont& font)
{
    const QFontInfo info(font);
    return QFontDatabase::isScalable(info.family(), info.styleName());
}

// Greedy word wrap: as many words on a line as fit the width; a word wider than the width
// stands on a line of its own (and makes the text not fit).
QStringList breakLines(const QFontMetricsF& metrics, const QString& text, qreal width, Wrap wrap)
{
    switch (wrap) {
    case Wrap::SingleLine:
        return {text};
    case Wrap::WordWrap:
        break;
    }
    QStringList lines;
    QString line;
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString longer = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
        if (!line.isEmpty() && metrics.horizontalAdvance(longer) > width) {
            lines.append(line);
            line = word;
        } else {
            line = longer;
        }
    }
    lines.append(line);
    return lines;
}

bool fits(const QFontMetricsF& metrics, const QStringList& lines, QSize box)
{
    qreal inkBelowBaseline = 0;
    for (const QString& line : lines) {
        const QRectF ink = metrics.tightBoundingRect(line);
        const qreal width = std::max(metrics.horizontalAdvance(line), ink.right());
        if (width > box.width())
            return false;
        inkBelowBaseline = std::max<qreal>(0, ink.bottom());
    }
    const qreal height =
        metrics.lineSpacing() * qreal(lines.size() - 1) + metrics.ascent() + inkBelowBaseline;
    return height <= box.height();
}

} // namespace

void loadSubstituteFonts()
{
    if (QFontDatabase::families().contains(QStringLiteral("MS Sans Serif")))
        return;
    QFontDatabase::addApplicationFont(QString::fromLatin1(kWineSansSerifFile));
}

QFont substituteFont(const layout::FontSpec& wanted)
{
    QFont font;
    const auto substitute =
        std::find_if(kFontSubstitutes.begin(), kFontSubstitutes.end(),
                     [&](const FontSubstitute& s) { return s.requested == wanted.family; });
    if (substitute != kFontSubstitutes.end()) {
        font.setFamilies({toQString(substitute->installed), toQString(substitute->fallback)});
        font.setStyleHint(substitute->kind);
    } else {
        font.setFamilies({toQString(wanted.family)});
    }
    font.setPointSizeF(wanted.pointSize);
    font.setBold(wanted.bold);
    return font;
}

FittedText fitText(const QFont& font, const QString& text, QSize box, Wrap wrap)
{
    QFont fitted = font;
    if (fitted.pointSizeF() <= 0)
        fitted.setPointSizeF(QFontInfo(font).pointSizeF());
    bool changedToScalable = false;
    QStringList lines;
    for (int step = 0; step < kMaxFitSteps; ++step) {
        const QFontMetricsF metrics(fitted);
        lines = breakLines(metrics, text, box.width(), wrap);
        if (fits(metrics, lines, box))
            break;
        if (!changedToScalable && !isScalable(fitted)) {
            fitted.setFamilies(scalableSans());
            changedToScalable = true;
            continue;
        }
        if (fitted.pointSizeF() - kShrinkStep < kSmallestPointSize)
            break;
        fitted.setPointSizeF(fitted.pointSizeF() - kShrinkStep);
    }
    return {fitted, lines.join(QLatin1Char('\n'))};
}

} // namespace servo
