#include "xml/XpExcept.h"

#include "text/Ansi.h"

EXpStreamError::EXpStreamError(int64_t offset, const std::u16string& reason)
    : EXpException(narrow(reason)), StreamOffset(offset)
{
}

EXpFilterError::EXpFilterError(int64_t offset, int32_t line, int32_t column, const std::u16string& reason)
    : EXpStreamError(offset, reason), ReasonText(reason), LineNo(line), ColumnNo(column)
{
}

EXpParserError::EXpParserError(int32_t line, int32_t column, const std::u16string& source,
                               const std::u16string& reason)
    : EXpFilterError(0, line, column, reason), SourceFile(source)
{
}
