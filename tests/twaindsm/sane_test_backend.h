// SANE's own "test" backend as the scanner behind our DSM: a private SANE_CONFIG_DIR whose
// dll.conf loads only that backend and whose test.conf sets the pages (300 dpi A4 colour, the
// colour test pattern, a 300 mm square bed). Its "source" option offers a feeder that runs empty
// after 10 pages; other options (mode, read-return-value, read-delay ...) are set per test
// through the profile's "saneDevices".
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace sanetest {

// What the backend calls its two devices, as our DSM names them.
constexpr const char *kFirstDevice = "Noname frontend-tester";
constexpr const char *kSecondDevice = "Noname frontend-tester (2)";
constexpr const char *kFeeder = "Automatic Document Feeder";
constexpr int kFeederPages = 10;
// A4 at 300 dpi as the backend delivers it (it rounds the lines down).
constexpr int kA4Width = 2480;
constexpr int kA4Lines = 3507;

inline bool writeConfig(const std::string &folder)
{
    std::ofstream dll(folder + "/dll.conf");
    dll << "test\n";
    std::ofstream test(folder + "/test.conf");
    test << "number_of_devices 2\n"
            "mode Color\n"
            "depth 8\n"
            "resolution 300\n"
            "test-picture \"Color pattern\"\n"
            "geometry_min 0.0\n"
            "geometry_max 300.0\n"
            "br_x 210.0\n"
            "br_y 297.0\n";
    return static_cast<bool>(dll) && static_cast<bool>(test);
}

// The same test backend among every backend of the system's SANE: a dll.conf of the system's
// backends and "test", with the backends' own configuration read from the system's folder
// after `folder` (SANE_CONFIG_DIR ending in ':'). Returns the value for SANE_CONFIG_DIR, empty
// when the system has no dll.conf.
inline std::string writeConfigWithSystemBackends(const std::string &folder)
{
    std::ifstream system("/etc/sane.d/dll.conf");
    if (!system || !writeConfig(folder))
        return std::string();
    std::ofstream dll(folder + "/dll.conf", std::ios::app);
    dll << system.rdbuf();
    return static_cast<bool>(dll) ? folder + ":" : std::string();
}

// A page as scanimage writes it (binary PNM: P4 bitmap, P5 grey, P6 colour, 8 or 16 bits).
struct PnmImage {
    int width = 0, height = 0, maxValue = 1;
    char kind = 0;
    std::vector<unsigned char> pixels;
};

inline bool readPnm(const std::string &path, PnmImage &image)
{
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    in >> magic;
    if (magic.size() != 2 || magic[0] != 'P')
        return false;
    image.kind = magic[1];
    auto next = [&in](int &value) {
        in >> std::ws;
        while (in.peek() == '#') {
            std::string comment;
            std::getline(in, comment);
            in >> std::ws;
        }
        in >> value;
    };
    next(image.width);
    next(image.height);
    if (image.kind != '4')
        next(image.maxValue);
    in.get();
    const size_t samples = image.kind == '6' ? 3 : 1;
    const size_t rowBytes = image.kind == '4' ? (static_cast<size_t>(image.width) + 7) / 8
                                              : static_cast<size_t>(image.width) * samples * (image.maxValue > 255 ? 2 : 1);
    image.pixels.resize(rowBytes * image.height);
    in.read(reinterpret_cast<char *>(image.pixels.data()), static_cast<std::streamsize>(image.pixels.size()));
    return static_cast<bool>(in);
}

// One page scanned by scanimage with these options on the first test device.
inline bool scanimage(const std::string &options, const std::string &path, PnmImage &image)
{
    const std::string command = "scanimage -d test:0 --format=pnm " + options + " > '" + path + "' 2>/dev/null";
    return std::system(command.c_str()) == 0 && readPnm(path, image);
}

} // namespace sanetest
