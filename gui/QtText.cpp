#include "gui/QtText.h"

#include "text/Ansi.h"

#include <QFile>
#include <QStringDecoder>

namespace qtext {

std::string toName(const QString& s)
{
    return QFile::encodeName(s).toStdString();
}

QString fromName(const std::string& bytes)
{
    return fromMessage(bytes);
}

QString fromMessage(const std::string& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString s = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError())
        return s;
    return fromWide(ansi::widen(bytes));
}

} // namespace qtext
