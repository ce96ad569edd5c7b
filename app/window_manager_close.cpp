#include "app/window_manager_close.h"

#include <cstdlib>
#include <cstring>

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QByteArray>
#include <QMetaObject>
#include <QPointer>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

namespace vt::app {

namespace {

xcb_atom_t intern(xcb_connection_t* connection, const char* name) {
    const auto cookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

} // namespace

class WindowManagerCloseWatch : public QAbstractNativeEventFilter {
public:
    WindowManagerCloseWatch(QWidget& window, xcb_atom_t protocols, xcb_atom_t delete_window)
        : m_window(&window), m_protocols(protocols), m_delete(delete_window) {}

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t" || m_window.isNull())
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7F) != XCB_CLIENT_MESSAGE)
            return false;
        const auto* client = static_cast<const xcb_client_message_event_t*>(message);
        if (client->format != 32 || client->type != m_protocols ||
            client->data.data32[0] != m_delete ||
            client->window != static_cast<xcb_window_t>(m_window->winId()))
            return false;
        // Unblocked, Qt delivers it itself; blocked, it would drop it.
        if (QApplication::activeModalWidget() != nullptr)
            QMetaObject::invokeMethod(m_window.data(), &QWidget::close, Qt::QueuedConnection);
        return false;
    }

private:
    QPointer<QWidget> m_window;
    xcb_atom_t m_protocols;
    xcb_atom_t m_delete;
};

std::shared_ptr<WindowManagerCloseWatch> watch_window_manager_close(QWidget& window) {
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr)
        return nullptr;
    xcb_connection_t* connection = x11->connection();
    const xcb_atom_t protocols = intern(connection, "WM_PROTOCOLS");
    const xcb_atom_t delete_window = intern(connection, "WM_DELETE_WINDOW");
    if (protocols == XCB_ATOM_NONE || delete_window == XCB_ATOM_NONE)
        return nullptr;
    auto* watch = new WindowManagerCloseWatch(window, protocols, delete_window);
    qApp->installNativeEventFilter(watch);
    return std::shared_ptr<WindowManagerCloseWatch>(watch, [](WindowManagerCloseWatch* w) {
        if (qApp != nullptr)
            qApp->removeNativeEventFilter(w);
        delete w;
    });
}

} // namespace vt::app
