#include "gui/RVStyle.h"

#include <QApplication>
#include <QFontDatabase>

QFont resolveFont(const QString& fontName, int pointSize)
{
    QFont f;
    if (fontName == QLatin1String("Courier New")) {
        f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        f.setStyleHint(QFont::Monospace);
    } else {
        f = QApplication::font();
    }
    if (pointSize > 0)
        f.setPointSize(pointSize);
    return f;
}

QTextCharFormat TRVStyle::charFormat(int style) const
{
    QTextCharFormat fmt;
    if (TextStyles.empty())
        return fmt;
    if (style < 0 || style >= static_cast<int>(TextStyles.size()))
        style = 0;
    const TFontInfo& s = TextStyles[static_cast<size_t>(style)];
    fmt.setFont(resolveFont(s.FontName, s.Size), QTextCharFormat::FontPropertiesAll);
    fmt.setFontWeight(s.Bold ? QFont::Bold : QFont::Normal);
    fmt.setFontItalic(s.Italic);
    fmt.setFontUnderline(s.Underline);
    if (s.Color.isValid())
        fmt.setForeground(s.Color);
    if (s.Jump)
        fmt.setAnchor(true);
    return fmt;
}

bool TRVStyle::isJump(int style) const
{
    return style >= 0 && style < static_cast<int>(TextStyles.size()) && TextStyles[static_cast<size_t>(style)].Jump;
}

namespace {

TFontInfo font(const char* name, const char* face, QColor color, bool bold, bool italic, bool underline, bool jump)
{
    TFontInfo f;
    f.StyleName = QString::fromLatin1(name);
    f.FontName = QString::fromLatin1(face);
    f.Size = 10;
    f.Color = color;
    f.Bold = bold;
    f.Italic = italic;
    f.Underline = underline;
    f.Jump = jump;
    return f;
}

void addParaStyles(TRVStyle& s)
{
    s.ParaStyles.push_back({QStringLiteral("Paragraph Style"), Qt::AlignLeft});
    s.ParaStyles.push_back({QStringLiteral("Centered"), Qt::AlignHCenter});
}

} // namespace

TRVStyle makeHtmlStyle()
{
    const char* cn = "Courier New";
    const QColor sys; // invalid: window text colour
    TRVStyle s;
    s.TextStyles = {
        font("NONE", cn, sys, false, false, false, false),
        font("ELEMENT_NODE", cn, QColor(0x00, 0x00, 0xFF), false, false, false, false),
        font("ATTRIBUTE_NODE", cn, QColor(0x00, 0x00, 0x80), true, false, false, false),
        font("TEXT_NODE", cn, QColor(0x00, 0x00, 0x00), true, false, false, false),
        font("CDATA_SECTION_NODE", cn, QColor(0x00, 0x80, 0x00), false, true, false, true),
        font("ENTITY_REFERENCE_NODE", cn, QColor(0x80, 0x00, 0x80), false, false, false, true),
        font("ENTITY_NODE", cn, QColor(0x00, 0xFF, 0x00), false, false, false, false),
        font("PROCESSING_INSTRUCTION_NODE", cn, QColor(0xFF, 0x00, 0xFF), false, false, false, false),
        font("COMMENT_NODE", cn, QColor(0x80, 0x80, 0x00), false, true, false, false),
        font("DOCUMENT_NODE", cn, sys, false, false, false, false),
        font("DOCUMENT_TYPE_NODE", cn, sys, false, false, false, false),
        font("DOCUMENT_FRAGMENT_NODE", cn, sys, false, false, false, false),
        font("NOTATION_NODE", cn, sys, false, false, false, false),
    };
    addParaStyles(s);
    return s;
}

TRVStyle makeAboutStyle()
{
    const char* ar = "Arial";
    TRVStyle s;
    s.TextStyles = {
        font("Normal text", ar, QColor(), false, false, false, false),
        font("Heading", ar, QColor(0x00, 0x00, 0xFF), true, false, false, false),
        font("Subheading", ar, QColor(0x00, 0x00, 0x80), true, false, false, false),
        font("Keywords", ar, QColor(0x80, 0x00, 0x00), false, true, false, false),
        font("Jump 1", ar, QColor(0x00, 0x80, 0x00), false, false, true, true),
        font("Jump 2", ar, QColor(0x00, 0x80, 0x00), false, false, true, true),
    };
    addParaStyles(s);
    return s;
}
