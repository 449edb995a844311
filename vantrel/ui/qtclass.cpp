#include "qtclass.h"

QtClass::QtClass(QObject *parent)
    : QObject(parent)
{
}

QtClass::~QtClass() = default;
