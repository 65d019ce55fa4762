#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// Where the shell's files are. The install folder is the executable's (app.dat, the agent);
// the data folder is the user's own (env.dat, the web profile, the three logs), since the
// install folder may be read-only or shared. Paths are the system's own; text read from the
// files is UTF-8.
struct ShellPaths {
    std::filesystem::path installFolder;
    std::filesystem::path dataFolder;

    std::filesystem::path appDat() const { return installFolder / "app.dat"; }
    std::filesystem::path envDat() const { return dataFolder / "env.dat"; }
    std::filesystem::path startupLog() const { return dataFolder / "browser_debug.log"; }
    std::filesystem::path engineLog() const { return dataFolder / "cef_debug.log"; }
    std::filesystem::path keyLog() const { return dataFolder / "key_debug.log"; }
    std::filesystem::path profileFolder() const { return dataFolder / "profile"; }
    std::filesystem::path cacheFolder() const { return dataFolder / "cache"; }
};

// A path from UTF-8 text, and back.
std::filesystem::path pathFromUtf8(const std::string& text);
std::string utf8Of(const std::filesystem::path& path);

// One server environment of app.dat. Strings are UTF-8 as in the file.
struct ShellEnvironment {
    std::string key;
    std::string name; // may be empty
    std::string url;
};

struct ShellConfig {
    std::string appName;     // the window title
    std::string frontEndUrl; // what the window loads; empty when app.dat names no front end
    std::vector<ShellEnvironment> environments; // in file order
};

extern const char* const kDefaultAppName;

// app.dat is searched as text, not parsed: the value of the first string member `name`,
// escapes left as they stand; empty when there is none.
std::string extractJsonString(std::string_view text, std::string_view name);

// The environment the user chose in this shell; empty when none was chosen. A byte-order mark
// and a line end or blanks that an editor added do not become part of the key.
std::string readEnvKey(const ShellPaths& paths);
// Replaces env.dat whole, so a crash mid-write never leaves half a key that selects another
// server.
bool writeEnvKey(const ShellPaths& paths, const std::string& key);

// The value of `key` in the [General] part of a settings file as Qt writes one (the agent's
// cfg.dat); empty when it is not there.
std::string readSettingsValue(const std::filesystem::path& file, const std::string& key);

// Whether the site lets DevTools open: "devmode" is "1" in the agent's settings or in app.dat.
bool siteAllowsDevTools(const ShellPaths& paths, const std::filesystem::path& agentSettings);

// `base` with a trailing "/" ensured, then the front end's entry path.
std::string frontEndUrlFor(const std::string& base);

// Fills `config` from app.dat and env.dat; false only when app.dat cannot be read.
// `builtInBase` serves when app.dat lists no environment; when it is empty too, the front-end
// URL stays empty and the shell shows a page of its own that says so.
bool loadShellConfig(const ShellPaths& paths, const std::string& builtInBase, ShellConfig& config);
