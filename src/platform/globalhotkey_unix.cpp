#include "platform/globalhotkey.h"

#include <QCoreApplication>
#include <QX11Info>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>
#include <memory>

namespace {

// Caps Lock and Num Lock change the modifier state of a key press, so the
// combination is held once for each of their four settings.
const uint16_t LockVariants[]
    = { 0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2 };

// The modifiers that must match exactly; other bits (the locks, mouse
// buttons) are ignored.
constexpr uint16_t RelevantModifiers
    = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

} // namespace

GlobalHotKey::GlobalHotKey(char letter, QObject *parent)
    : QObject(parent)
{
    if (!QX11Info::isPlatformX11())
        return;
    xcb_connection_t *connection = QX11Info::connection();
    std::unique_ptr<xcb_key_symbols_t, decltype(&xcb_key_symbols_free)> symbols(
        xcb_key_symbols_alloc(connection), &xcb_key_symbols_free);
    if (!symbols)
        return;
    // Letters' key symbols are their lower-case ASCII codes.
    const xcb_keysym_t symbol = xcb_keysym_t(letter | 0x20);
    std::unique_ptr<xcb_keycode_t, decltype(&std::free)> codes(
        xcb_key_symbols_get_keycode(symbols.get(), symbol), &std::free);
    if (!codes || codes.get()[0] == XCB_NO_SYMBOL)
        return;
    m_keyCode = codes.get()[0];

    const xcb_window_t root = QX11Info::appRootWindow();
    bool held = true;
    for (const uint16_t variant : LockVariants) {
        const xcb_void_cookie_t cookie
            = xcb_grab_key_checked(connection, 1, root, XCB_MOD_MASK_CONTROL | variant,
                xcb_keycode_t(m_keyCode), XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        if (xcb_generic_error_t *error = xcb_request_check(connection, cookie)) {
            // Another program holds it (BadAccess).
            std::free(error);
            held = false;
        }
    }
    if (!held) {
        for (const uint16_t variant : LockVariants)
            xcb_ungrab_key(
                connection, xcb_keycode_t(m_keyCode), root, XCB_MOD_MASK_CONTROL | variant);
        xcb_flush(connection);
        return;
    }
    m_registered = true;
    QCoreApplication::instance()->installNativeEventFilter(this);
}

GlobalHotKey::~GlobalHotKey()
{
    if (!m_registered)
        return;
    QCoreApplication::instance()->removeNativeEventFilter(this);
    xcb_connection_t *connection = QX11Info::connection();
    const xcb_window_t root = QX11Info::appRootWindow();
    for (const uint16_t variant : LockVariants)
        xcb_ungrab_key(connection, xcb_keycode_t(m_keyCode), root, XCB_MOD_MASK_CONTROL | variant);
    xcb_flush(connection);
}

bool GlobalHotKey::nativeEventFilter(const QByteArray &eventType, void *message, long *result)
{
    Q_UNUSED(result);
    if (eventType != "xcb_generic_event_t")
        return false;
    auto *event = static_cast<xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
        return false;
    // The grab is on the root window, so the event names the root, not one
    // of ours: the key and the modifiers identify it.
    auto *press = reinterpret_cast<xcb_key_press_event_t *>(event);
    if (press->detail != m_keyCode || (press->state & RelevantModifiers) != XCB_MOD_MASK_CONTROL)
        return false;
    emit activated();
    return true;
}
