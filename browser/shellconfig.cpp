#include "shellconfig.h"

#include "shellrules.h"

#include <fstream>
#include <iterator>
#include <system_error>

const char* const kDefaultAppName = "Corvane智能批阅机";

namespace {
constexpr std::string_view kByteOrderMark("\xEF\xBB\xBF");
constexpr std::string_view kFrontEndPath("reviewer/?isWindows=1#/home");
constexpr std::string_view kDefaultEnvironment("online");

std::string_view withoutByteOrderMark(std::string_view text)
{
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        text.remove_prefix(kByteOrderMark.size());
    return text;
}

std::string quoted(std::string_view word)
{
    return '"' + std::string(word) + '"';
}

bool readWholeFile(const std::filesystem::path& path, std::string& text)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

std::vector<ShellEnvironment> environmentsIn(std::string_view text)
{
    std::vector<ShellEnvironment> found;
    const std::string keyWord = quoted("key");
    size_t position = 0;
    while (text.size() - position >= keyWord.size()) {
        const size_t keyAt = text.find(keyWord, position);
        if (keyAt == std::string_view::npos)
            break;
        const size_t braceAt = text.find('}', keyAt);
        if (braceAt == std::string_view::npos)
            break;
        const std::string_view entry = text.substr(keyAt, braceAt - keyAt);
        ShellEnvironment environment {extractJsonString(entry, "key"), extractJsonString(entry, "name"),
                                      extractJsonString(entry, "url")};
        if (!environment.key.empty() && !environment.url.empty())
            found.push_back(std::move(environment));
        position = braceAt + 1;
    }
    return found;
}

void makeDataFolder(const ShellPaths& paths)
{
    std::error_code ignored;
    std::filesystem::create_directories(paths.dataFolder, ignored);
}
} // namespace

std::filesystem::path pathFromUtf8(const std::string& text)
{
    return std::filesystem::u8path(text);
}

std::string utf8Of(const std::filesystem::path& path)
{
    return path.u8string();
}

std::string extractJsonString(std::string_view text, std::string_view name)
{
    const std::string member = quoted(name);
    const size_t nameAt = text.find(member);
    if (nameAt == std::string_view::npos)
        return {};
    const size_t colonAt = text.find(':', nameAt + member.size());
    if (colonAt == std::string_view::npos)
        return {};
    const size_t openAt = text.find('"', colonAt + 1);
    if (openAt == std::string_view::npos)
        return {};
    const size_t closeAt = text.find('"', openAt + 1);
    if (closeAt == std::string_view::npos)
        return {};
    return std::string(text.substr(openAt + 1, closeAt - openAt - 1));
}

std::string readEnvKey(const ShellPaths& paths)
{
    makeDataFolder(paths);
    std::string text;
    if (!readWholeFile(paths.envDat(), text))
        return {};
    std::string line(withoutByteOrderMark(text));
    const size_t lineEnd = line.find('\n');
    if (lineEnd != std::string::npos)
        line.resize(lineEnd);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    return line;
}

bool writeEnvKey(const ShellPaths& paths, const std::string& key)
{
    makeDataFolder(paths);
    const std::filesystem::path target = paths.envDat();
    std::filesystem::path partial = target;
    partial += ".part";
    {
        std::ofstream file(partial, std::ios::binary | std::ios::trunc);
        if (!file || !file.write(key.data(), std::streamsize(key.size())) || !file.flush())
            return false;
    }
    std::error_code error;
    std::filesystem::rename(partial, target, error);
    if (error) {
        // Where renaming onto an existing file is refused, the old key goes first.
        std::filesystem::remove(target, error);
        std::filesystem::rename(partial, target, error);
    }
    if (error)
        std::filesystem::remove(partial, error);
    return !error;
}

std::string readSettingsValue(const std::filesystem::path& file, const std::string& key)
{
    std::ifstream in(file);
    std::string line;
    bool general = true; // keys before any section belong to it too
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line.front() == '[') {
            general = line == "[General]";
            continue;
        }
        const size_t equals = line.find('=');
        if (!general || equals == std::string::npos)
            continue;
        std::string name = line.substr(0, equals);
        while (!name.empty() && name.back() == ' ')
            name.pop_back();
        if (name != key)
            continue;
        std::string value = line.substr(equals + 1);
        value.erase(0, value.find_first_not_of(' '));
        return value;
    }
    return {};
}

bool siteAllowsDevTools(const ShellPaths& paths, const std::filesystem::path& agentSettings)
{
    std::string appDat;
    readWholeFile(paths.appDat(), appDat);
    return ShellRules::devToolsAllowed(readSettingsValue(agentSettings, "devmode"),
                                       extractJsonString(withoutByteOrderMark(appDat), "devmode"));
}

std::string frontEndUrlFor(const std::string& base)
{
    if (!base.empty() && base.back() == '/')
        return base + std::string(kFrontEndPath);
    return base + '/' + std::string(kFrontEndPath);
}

bool loadShellConfig(const ShellPaths& paths, const std::string& builtInBase, ShellConfig& config)
{
    std::string file;
    if (!readWholeFile(paths.appDat(), file))
        return false;
    const std::string_view text = withoutByteOrderMark(file);

    config.appName = extractJsonString(text, "appname");
    if (config.appName.empty())
        config.appName = kDefaultAppName;
    config.environments = environmentsIn(text);

    std::string current = readEnvKey(paths);
    if (current.empty())
        current = extractJsonString(text, "current");
    if (current.empty())
        current = kDefaultEnvironment;

    std::string base;
    for (const ShellEnvironment& environment : config.environments) {
        if (environment.key == current) {
            base = environment.url;
            break;
        }
    }
    if (base.empty() && !config.environments.empty())
        base = config.environments.front().url;
    if (base.empty())
        base = builtInBase;
    config.frontEndUrl = base.empty() ? std::string() : frontEndUrlFor(base);
    return true;
}
