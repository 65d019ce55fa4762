#include "foundation/startup.h"

int main(int argc, char** argv)
{
    return KELStartup::runAgent(argc, argv);
}
