#pragma once

#include <QObject>

// The document of the single-document program. It holds nothing: everything that
// lasts lives in the view.
class CUpdaterDoc : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
};
