#include "gui/Mru.h"

#include "gui/QtText.h"
#include "text/Ansi.h"
#include "text/Streams.h"

#include <sys/stat.h>

void addToMru(TMruList& list, const std::string& name)
{
    const std::u16string wide = qtext::toWide(qtext::fromName(name));
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (ansi::sameText(qtext::toWide(qtext::fromName(*it)), wide)) {
            list.erase(it);
            break;
        }
    }
    list.insert(list.begin(), name);
    while (list.size() > MruMaxEntries)
        list.pop_back();
}

char16_t mruAccelerator(size_t index)
{
    if (index < 10)
        return static_cast<char16_t>(u'0' + index);
    return static_cast<char16_t>(u'A' + (index - 10));
}

std::u16string mruCaption(size_t index, const std::string& name)
{
    std::u16string s = u"&";
    s += mruAccelerator(index);
    s += u' ';
    s += qtext::toWide(qtext::fromName(name));
    return s;
}

TMruList loadMruFile(const std::string& fileName)
{
    TMruList list;
    struct stat st;
    if (::stat(fileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return list;
    TMemoryStream m;
    m.loadFromFile(fileName);
    const std::string& bytes = m.bytes();
    std::string line;
    auto flush = [&]() {
        if (!line.empty())
            list.push_back(line);
        line.clear();
    };
    for (char c : bytes) {
        if (c == '\r' || c == '\n')
            flush();
        else
            line += c;
    }
    flush();
    return list;
}

void saveMruFile(const TMruList& list, const std::string& fileName)
{
    std::string bytes;
    for (const std::string& name : list) {
        bytes += name;
        bytes += "\r\n";
    }
    TFileStream f(fileName, fmCreate);
    f.writeBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

std::string mruFileBesideProgram(const std::string& programPath)
{
    size_t slash = programPath.rfind('/');
    size_t dot = programPath.rfind('.');
    std::string base = (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        ? programPath.substr(0, dot)
        : programPath;
    return base + ".mru";
}
