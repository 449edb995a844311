#include "qreplyrelay.h"

QReplyRelay::QReplyRelay(int serial, QObject *owner)
    : QObject(owner)
    , m_serial(serial)
{
}

int QReplyRelay::serial() const
{
    return m_serial;
}

const char *QReplyRelay::slotSignature()
{
    return "onReponse(bool, const QValue&, const QString&)";
}

void QReplyRelay::onReponse(bool ok, const QValue &data, const QString &msg)
{
    emit replied(m_serial, ok, data, msg);
    deleteLater();
}
