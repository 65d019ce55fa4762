#include "foundation/memorytrim.h"

#include <QThreadPool>

namespace KELMemory {

void returnFreedMemorySoon()
{
    QThreadPool::globalInstance()->start([] { returnFreedMemory(); });
}

} // namespace KELMemory
