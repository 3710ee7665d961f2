// The converter's road on arbitrary bytes: text list, tree builder, XML
// writer, then our own checker over the result. Built with
// ORTAVIX_FUZZ_WELL_FORMED the checker's verdict must be "well-formed".
#include "html/HtmlParser.h"
#include "text/Unicode.h"
#include "tools/fuzz/FuzzSetup.h"
#include "xml/XpParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    IsolateFuzzProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TMemoryStream input;
    input.writeBuffer(data, static_cast<int64_t>(size));
    input.setPosition(0);
    TWideStringList list;
    list.loadFromStream(input);
    THtmlParser builder;
    std::unique_ptr<TDocument> document = builder.parseString(list.text());
    if (!document)
        return 0;
    TMemoryStream xml;
    document->saveToStream(xml);
    xml.setPosition(0);
    TXpParser checker;
    bool wellFormed = false;
    try {
        wellFormed = checker.ParseFromStream(xml);
    } catch (const std::exception&) {
    }
#ifdef ORTAVIX_FUZZ_WELL_FORMED
    if (!wellFormed) {
        for (const std::string& line : checker.ErrorLines)
            std::fprintf(stderr, "%s\n", line.c_str());
        std::abort();
    }
#else
    (void)wellFormed;
#endif
    return 0;
}
