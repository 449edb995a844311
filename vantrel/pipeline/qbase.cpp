#include "qbase.h"

QBase::QBase(QObject *parent)
    : QObject(parent)
{
}

QBase::~QBase() = default;

void QBase::pause()
{
}

void QBase::resume()
{
}
