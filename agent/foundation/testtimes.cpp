#include "foundation/testtimes.h"

#include <QString>

#include <cmath>

namespace KELTestTimes {

namespace {
double scale()
{
#ifdef VELLOX_TEST_HOOKS
    static const double factor = [] {
        bool ok = false;
        const double value = qEnvironmentVariable("VELLOX_TEST_TIME_SCALE").toDouble(&ok);
        return ok && value > 0 && value < 1 ? value : 1.0;
    }();
    return factor;
#else
    return 1.0;
#endif
}
} // namespace

int scaled(int ms)
{
    if (ms <= 0)
        return ms;
    const double shortened = std::round(ms * scale());
    return shortened < 1 ? 1 : int(shortened);
}

} // namespace KELTestTimes
