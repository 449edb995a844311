#pragma once

#include <QObject>

// An empty QObject of the widget toolkit.
class QtClass : public QObject
{
    Q_OBJECT

public:
    explicit QtClass(QObject *parent = nullptr);
    ~QtClass() override;
};
