#pragma once

#include <QByteArray>
#include <QObject>
#include <QtGlobal>

// The control called `name` under `root` (searched recursively), found the
// way a user finds it: by the name it has in the window, not through the
// window's generated code. A missing control, or one of another kind, ends
// the test run at once with the name in the message, so a renamed control
// fails loudly instead of crashing later on a null pointer.
template <class T> T* child(const QObject* root, const char* name) {
    if (!root)
        qFatal("child(\"%s\"): the window is null", name);
    T* found = root->findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("child(\"%s\"): %s has no %s of that name", name,
               root->objectName().isEmpty() ? root->metaObject()->className()
                                            : qPrintable(root->objectName()),
               T::staticMetaObject.className());
    return found;
}
