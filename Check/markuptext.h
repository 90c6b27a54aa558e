// Text as a report's markup may hold it: each character that the markup
// forbids is shown as \xNN or \uNNNN instead. XML 1.0 forbids the controls
// but tab and the line ends, unpaired surrogates, U+FFFE and U+FFFF; HTML
// also the controls from U+007F to U+009F, form feed allowed, and the
// non-characters U+FDD0 to U+FDEF.
#ifndef CHECK_MARKUPTEXT_H
#define CHECK_MARKUPTEXT_H

#include <QString>

enum class Markup { Xml, Html };

inline QString markupSafe(const QString &text, Markup markup)
{
    const bool html = markup == Markup::Html;
    QString shown;
    shown.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const ushort u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            shown += c;
            shown += text[++i];
            continue;
        }
        const bool blank = u == '\t' || u == '\n' || u == '\r' || (html && u == '\f');
        const bool forbidden = (u < 0x20 && !blank) || c.isSurrogate() || u == 0xFFFE || u == 0xFFFF ||
                               (html && ((u >= 0x7F && u <= 0x9F) || (u >= 0xFDD0 && u <= 0xFDEF)));
        if (forbidden)
            shown += u < 0x100 ? QStringLiteral("\\x%1").arg(u, 2, 16, QChar('0'))
                               : QStringLiteral("\\u%1").arg(u, 4, 16, QChar('0'));
        else
            shown += c;
    }
    return shown;
}

#endif
