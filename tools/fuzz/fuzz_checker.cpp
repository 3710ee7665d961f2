// The XML checker on arbitrary bytes.
#include "tools/fuzz/FuzzSetup.h"
#include "xml/XpParser.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    IsolateFuzzProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TMemoryStream stream;
    stream.writeBuffer(data, static_cast<int64_t>(size));
    stream.setPosition(0);
    TXpParser parser;
    try {
        parser.ParseFromStream(stream);
    } catch (const std::exception&) {
        // Failures the checker raises instead of listing are allowed; a
        // crash, a leak or undefined behaviour is not.
    }
    return 0;
}
