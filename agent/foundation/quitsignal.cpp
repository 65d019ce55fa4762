#include "foundation/quitsignal.h"

QuitSignal::QuitSignal(QObject* parent)
    : QObject(parent)
{
    install();
}
