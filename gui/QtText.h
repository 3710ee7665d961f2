// Conversions at the boundary between the core's text and the toolkit's.
//
// Wide text is UTF-16 on both sides. The desktop program's 8-bit texts are
// file names and URLs as the file system takes them (UTF-8 bytes on this
// platform), so a typed or picked name reaches open() unchanged. Messages
// from the core are 8-bit too but may be in the ANSI code page; they are
// shown as UTF-8 when they are valid UTF-8 and widened through the code
// page otherwise, so that no byte is ever dropped from a message.
#pragma once

#include <QString>
#include <string>

namespace qtext {

inline QString fromWide(const std::u16string& s) { return QString::fromStdU16String(s); }
inline std::u16string toWide(const QString& s) { return s.toStdU16String(); }

// A name as the file system and the recently-used list hold it.
std::string toName(const QString& s);
QString fromName(const std::string& bytes);

// An 8-bit message or error line of the core, for display.
QString fromMessage(const std::string& bytes);

} // namespace qtext
