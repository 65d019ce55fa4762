// Starts the agent the way the shell does, from the given install folder, prints its process
// id and waits; a test kills this launcher to see the agent go with it.
#include "agentprocess.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    AgentProcess agent;
    if (!agent.launch(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "%s\n", qPrintable(agent.errorString()));
        return 1;
    }
    std::printf("%lld\n", static_cast<long long>(agent.processId()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
