// The Windows print spooler seam under Wine, for a test on the Linux side that holds the CUPS
// server Wine prints to. One request per run, answers on standard output, one "key: value" a line:
//   spooler_probe report               the default printer, its driver, papers (with their size
//                                      in tenths of a millimetre), bins, and a device mode (A3,
//                                      the second bin) after validation
//   spooler_probe print NAME PAGES     a document of PAGES pages named NAME; its job id, and
//                                      whether cancelling it once it was handed over succeeded
//   spooler_probe abort NAME           a document with one page, then aborted; its job id
#include "printing/printspooler.h"

#include "foundation/widestring_win.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

void say(const std::string& key, const std::string& value)
{
    std::printf("%s: %s\n", key.c_str(), value.c_str());
}

std::string utf8(const std::wstring& text)
{
    return WideString::toUtf8(text);
}

int report(PrintSpooler& spooler)
{
    std::wstring name;
    if (!spooler.defaultPrinter(&name))
        return 2;
    say("default", utf8(name));
    auto printer = spooler.openPrinter(name);
    if (!printer)
        return 3;
    PrinterInfo info;
    if (printer->info(&info))
        say("driver", utf8(info.driverName));
    DevModeBuffer devMode;
    if (!printer->currentDevMode(&devMode))
        return 4;
    for (const PrinterChoice& paper : printer->papers(devMode))
        say("paper", std::to_string(paper.id) + " " + std::to_string(paper.width) + "x"
                         + std::to_string(paper.height) + " " + utf8(paper.name));
    const std::vector<PrinterChoice> bins = printer->bins(devMode);
    for (const PrinterChoice& bin : bins)
        say("bin", std::to_string(bin.id) + " " + utf8(bin.name));
    DEVMODEW* fields = devMode.get();
    fields->dmFields |= DM_PAPERSIZE | DM_DEFAULTSOURCE;
    fields->dmPaperSize = DMPAPER_A3;
    fields->dmDefaultSource = short(bins.size() > 1 ? bins[1].id : 0);
    say("chosen bin", std::to_string(fields->dmDefaultSource));
    if (!printer->validateDevMode(&devMode))
        return 5;
    say("validated paper", std::to_string(devMode.get()->dmPaperSize));
    say("validated bin", std::to_string(devMode.get()->dmDefaultSource));
    return 0;
}

int printDocument(PrintSpooler& spooler, const std::wstring& title, int pages, bool abort)
{
    std::wstring name;
    if (!spooler.defaultPrinter(&name))
        return 2;
    DevModeBuffer devMode;
    if (auto printer = spooler.openPrinter(name); !printer || !printer->currentDevMode(&devMode))
        return 3;
    auto document = spooler.createDocument(name, devMode);
    if (!document)
        return 4;
    const int job = document->startDoc(title);
    say("job", std::to_string(job));
    if (job <= 0)
        return 5;
    // Each page a grey of its own over the printable area.
    const PrintableArea area = document->printableArea();
    for (int page = 0; page < pages; ++page) {
        const std::vector<std::uint32_t> pixels(64 * 64, 0xff000000u | (0x303030u * std::uint32_t(page + 1)));
        PageImage image;
        image.width = image.height = 64;
        image.pixels = pixels.data();
        image.bytesPerLine = 64 * 4;
        if (!document->startPage() || !document->drawImage(image, 0, 0, area.width, area.height)
            || !document->endPage())
            return 6;
    }
    if (abort) {
        document->abortDoc();
        return 0;
    }
    say("ended", document->endDoc() ? "yes" : "no");
    // Handed over, it has left this spooler: too late to take it back.
    auto printer = spooler.openPrinter(name);
    say("cancelled when handed over", printer && printer->cancelJob(job) ? "yes" : "no");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring request = argc > 1 ? argv[1] : L"";
    const auto spooler = createPlatformPrintSpooler();
    if (request == L"report")
        return report(*spooler);
    if (request == L"print" && argc > 3)
        return printDocument(*spooler, argv[2], std::stoi(argv[3]), false);
    if (request == L"abort" && argc > 2)
        return printDocument(*spooler, argv[2], 1, true);
    return 1;
}
