#include "LockKeys.h"

#include <QGuiApplication>

#if defined(Q_OS_WIN)
#include <windows.h>
#elif defined(UPDATER_HAVE_X11)
#include <X11/XKBlib.h>
#endif

bool lockKeyOn(LockKey key)
{
#if defined(Q_OS_WIN)
    const int virtualKey = key == LockKey::Caps  ? VK_CAPITAL
                           : key == LockKey::Num ? VK_NUMLOCK
                                                 : VK_SCROLL;
    return (GetKeyState(virtualKey) & 1) != 0;
#elif defined(UPDATER_HAVE_X11)
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->display())
        return false;
    unsigned int state = 0;
    if (XkbGetIndicatorState(x11->display(), XkbUseCoreKbd, &state) != 0)
        return false;
    // Indicator bits of the core keyboard: Caps Lock 0, Num Lock 1, Scroll Lock 2.
    const unsigned bit = key == LockKey::Caps ? 0x1u : key == LockKey::Num ? 0x2u : 0x4u;
    return (state & bit) != 0;
#else
    (void)key;
    return false;
#endif
}
