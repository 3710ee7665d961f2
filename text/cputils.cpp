#include "text/cputils.h"

#include "text/Ansi.h"

#include <cstring>
#include <string_view>

namespace {

struct CodePageTable {
    const char* name;
    const char16_t* map; // 256 entries, kUndefined where the byte has no character
};

constexpr char16_t kUndefined = 0xFFFF;

#include "text/codepages.inc"

struct AliasGroup {
    const char* canonical;
    std::initializer_list<const char*> names;
};

// Several rows deliberately differ from other registries: the ASCII and
// Latin-1 names decode as Windows-1252 (what pages so labelled really hold),
// the Macintosh names go to the matching Windows code pages.
const AliasGroup aliasGroups[] = {
    {"ascii", {"ascii", "iso-ir-6us"}},
    {"cp1250", {"x-mac-ce", "windows-1250", "x-cp1250", "CP870", "cp1250"}},
    {"cp1251", {"ibm866", "cp1251", "koi8-u", "koi8-ru", "x-mac-cyrillic", "windows-1251"}},
    {"cp1252", {"x-Europa", "x-IA5-German", "x-IA5-Norwegian", "x-IA5-Swedish", "us-ascii",
                "ANSI_X3.4-1968", "ANSI_X3.4-1986", "cp367", "csASCII", "IBM367",
                "ISO_646.irv:1991", "ISO646-US", "iso-8859-1", "cp819", "Latin1", "ibm819",
                "iso_8859-1", "iso_8859-1:1987", "iso8859-1", "iso-ir-100", "macintosh",
                "Windows-1252", "iso-ir-6", "us", "x-ansi", "cp1252"}},
    {"cp1253", {"x-mac-greek", "windows-1253", "cp1253"}},
    {"cp1254", {"CP1026", "x-mac-turkish", "windows-1254", "cp1254"}},
    {"cp1255", {"DOS-862", "iso-8859-8-i", "logical", "x-mac-hebrew", "windows-1255", "cp1255"}},
    {"cp1256", {"ASMO-708", "DOS-720", "x-mac-arabic", "windows-1256", "cp1256"}},
    {"cp1257", {"ibm775", "CP500", "windows-1257", "cp1257"}},
    {"cp1258", {"windows-1258", "x-IA5", "cp1258"}},
    {"cp437", {"IBM437", "437", "cp437", "csPC8", "CodePage437"}},
    {"cp737", {"ibm737", "cp737"}},
    {"cp775", {"cp775"}},
    {"cp850", {"ibm850", "cp850"}},
    {"cp852", {"ibm852", "cp852"}},
    {"cp855", {"cp855"}},
    {"cp856", {"cp856"}},
    {"cp857", {"ibm857", "cp857"}},
    {"cp860", {"cp860"}},
    {"cp861", {"ibm861", "cp861"}},
    {"cp863", {"cp863"}},
    {"cp864", {"cp864"}},
    {"cp865", {"cp865"}},
    {"cp866", {"cp866"}},
    {"cp869", {"ibm869", "cp869"}},
    {"cp874", {"windows-874", "DOS-874", "TIS-620", "cp874"}},
    {"iso8859_1", {"csISO", "l1", "iso8859_1"}},
    {"iso8859_2", {"iso-8859-2", "csISOLatin2", "iso_8859-2", "iso_8859-2:1987", "iso8859-2",
                   "iso-ir-101", "l2", "latin2", "iso8859_2"}},
    {"iso8859_3", {"iso-8859-3", "Latin3", "ISO_8859-3", "ISO_8859-3:1988", "iso-ir-109", "l3",
                   "iso8859_3"}},
    {"iso8859_4", {"iso-8859-4", "csISOLatin4", "ISO_8859-4", "ISO_8859-4:1988", "iso-ir-110",
                   "l4", "latin4", "iso8859_4"}},
    {"iso8859_5", {"iso-8859-5", "csISOLatin5", "csISOLatinCyrillic", "cyrillic", "ISO_8859-5",
                   "ISO_8859-5:1988", "iso-ir-144", "iso8859-5", "iso8859_5"}},
    {"iso8859_6", {"iso-8859-6", "arabic", "csISOLatinArabic", "ECMA-114", "ISO_8859-6",
                   "ISO_8859-6:1987", "iso-ir-127", "iso8859_6"}},
    {"iso8859_7", {"iso-8859-7", "csISOLatinGreek", "ECMA-118", "ELOT_928", "greek", "greek8",
                   "ISO_8859-7", "ISO_8859-7:1987", "iso-ir-126", "iso8859_7"}},
    {"iso8859_8", {"iso-8859-8", "csISOLatinHebrew", "hebrew", "ISO_8859-8", "ISO_8859-8:1988",
                   "iso-ir-138", "visual", "ISO_8859-8-I", "iso8859_8"}},
    {"iso8859_9", {"iso-8859-9", "Latin5", "ISO_8859-9", "ISO_8859-9:1989", "iso-ir-148", "l5",
                   "iso8859_9"}},
    {"iso8859_10", {"iso8859_10"}},
    {"iso8859_11", {"iso-8859-11"}},
    {"iso8859_13", {"iso8859_13"}},
    {"iso8859_14", {"iso8859_14"}},
    {"iso8859_15", {"iso-8859-15", "Latin9", "ISO_8859-15", "l9", "iso8859_15"}},
    {"iso8859_16", {"iso8859_16"}},
    {"koi8_r", {"koi8-r", "csKOI8R", "koi", "koi8", "koi8r", "koi8_r"}},
};

cputils::TCharsetAliases buildAliases()
{
    cputils::TCharsetAliases aliases;
    for (const AliasGroup& group : aliasGroups)
        for (const char* name : group.names)
            aliases.emplace(name, group.canonical);
    return aliases;
}

// Built during start-up, before any conversion can ask for it.
const cputils::TCharsetAliases& startupAliases = cputils::charsetAliases();

const char16_t* decoderFor(const std::string& canonical)
{
    for (const CodePageTable& table : codePageTables)
        if (canonical == table.name)
            return table.map;
    return nullptr;
}

} // namespace

namespace cputils {

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const noexcept
{
    return ansi::compareText(std::string_view(a), std::string_view(b)) < 0;
}

const TCharsetAliases& charsetAliases()
{
    static const TCharsetAliases aliases = buildAliases();
    return aliases;
}

} // namespace cputils

const char16_t* charsetDecoder(const std::string& charset)
{
    const cputils::TCharsetAliases& aliases = cputils::charsetAliases();
    auto it = aliases.find(charset);
    return it == aliases.end() ? nullptr : decoderFor(it->second);
}

bool decodeCharset(const std::string& charset, std::string_view bytes, std::u16string& result)
{
    const char16_t* map = charsetDecoder(charset);
    return map && decodeWith(map, bytes, result);
}

bool decodeWith(const char16_t* map, std::string_view bytes, std::u16string& result)
{
    std::u16string out(bytes.size(), u'\0');
    bool ok = true;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char16_t c = map[static_cast<unsigned char>(bytes[i])];
        if (c == kUndefined) {
            c = u'?';
            ok = false;
        }
        out[i] = c;
    }
    result = std::move(out);
    return ok;
}
