#include "foundation/crashhandler.h"

#include <cstdio>

CrashHandler& CrashHandler::instance()
{
    static CrashHandler handler;
    return handler;
}

void CrashHandler::setDumpFolder(const std::string& folder)
{
    if (installed)
        return;
    installed = install(folder);
}

std::string CrashHandler::guidText(std::uint32_t data1, std::uint16_t data2, std::uint16_t data3,
                                   const std::uint8_t data4[8])
{
    char text[40];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", unsigned(data1),
                  unsigned(data2), unsigned(data3), data4[0], data4[1], data4[2], data4[3], data4[4], data4[5],
                  data4[6], data4[7]);
    return text;
}
