// The agent as the scan benchmarks run it: a private program folder whose one environment is the
// benchmark's upload server, and a virtual A4 colour scanner at 300 dpi with a given number of
// pages.
#pragma once

#include "uploadserver.h"

#include "agentsandbox.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace bench {

// Returns the folder the batch "bench" is saved in.
inline QString prepareScanAgent(vtest::AgentSandbox& sandbox, const UploadServerProcess& server, int pages)
{
    sandbox.usePrivateProgramFolder(QJsonObject{
        { "appname", "vellox" }, { "appversion", "1.0.0" }, { "current", "local" },
        { "domains", QJsonArray{ QJsonObject{ { "key", "local" }, { "name", "local" }, { "url", server.url("/") } } } } });
    const QString profile = sandbox.root() + "/sources.json";
    QFile file(profile);
    file.open(QIODevice::WriteOnly);
    file.write(QJsonDocument(QJsonObject{ { "sources", QJsonArray{ QJsonObject{
        { "productName", "Bench Scanner" }, { "pages", pages }, { "resolution", 300 },
        { "paperSize", "A4" }, { "pixelType", "rgb" } } } } }).toJson());
    file.close();
    sandbox.setEnv("TWAINDSM_SOURCES", profile);
    const QString output = sandbox.root() + "/out";
    sandbox.setConfig("outputpath", output);
    return output + "/bench/";
}

} // namespace bench
