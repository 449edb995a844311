#pragma once

#include <QObject>

#include "qvalue.h"

// Receiver of one web reply that passes it on tagged with the number of its request, so that
// an owner with several requests under way can tell which one answered. Deletes itself after
// the reply; dies with its owner when the owner goes first.
class QReplyRelay : public QObject
{
    Q_OBJECT

public:
    QReplyRelay(int serial, QObject *owner);

    int serial() const;

    // The signature to hand to QUser as the reply slot.
    static const char *slotSignature();

signals:
    void replied(int serial, bool ok, const QValue &data, const QString &msg);

public slots:
    void onReponse(bool ok, const QValue &data, const QString &msg);

private:
    int m_serial;
};
