// Style sheet of the rich-text views: numbered text styles (font, colour,
// face, link flag) and paragraph styles.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QTextCharFormat>
#include <vector>

struct TFontInfo {
    QString StyleName;
    QString FontName;   // logical face; see resolveFont
    int Size = 10;      // points
    QColor Color;       // invalid: the system's window text colour
    bool Bold = false;
    bool Italic = false;
    bool Underline = false;
    bool Jump = false;  // link style
};

struct TParaInfo {
    QString StyleName;
    Qt::Alignment Alignment = Qt::AlignLeft;
};

class TRVStyle {
public:
    std::vector<TFontInfo> TextStyles;
    std::vector<TParaInfo> ParaStyles;

    // The character format of a text style; a number outside the table uses
    // style 0 so that stray numbers never fail.
    QTextCharFormat charFormat(int style) const;
    bool isJump(int style) const;
};

// Maps the faces the style sheets name onto what the platform has: "Courier
// New" becomes the system's fixed-pitch font, "MS Sans Serif" and "Arial" the
// default UI font, each at the given point size.
QFont resolveFont(const QString& fontName, int pointSize);

// The sheet both code views share: styles 0-12, numbered like node types.
TRVStyle makeHtmlStyle();
// The about box's sheet: normal text, heading, subheading, keywords, 2 links.
TRVStyle makeAboutStyle();
