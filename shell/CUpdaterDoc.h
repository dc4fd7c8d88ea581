#pragma once

#include <QObject>

// The document of the single-document program. It holds nothing: everything that
// lasts lives in the view. It stays because the program is built as the named trio
// of document, frame and view that its template makes, and the document is the
// one a document's commands (New, Save) are routed to.
class CUpdaterDoc : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
};
