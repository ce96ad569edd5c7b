#include "app/taskbar.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

namespace vt::app {
namespace {

void send_update(const std::optional<session::TaskbarProgress>& progress) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage update = QDBusMessage::createSignal(
        QStringLiteral("/org/vantrel/Converter"),
        QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
    QVariantMap properties;
    properties.insert(QStringLiteral("progress-visible"), progress.has_value());
    properties.insert(QStringLiteral("progress"),
                      progress ? double(progress->done) / double(progress->total) : 0.0);
    // The launcher finds the entry by the program's desktop file.
    update << QStringLiteral("application://vantrel-converter.desktop") << properties;
    bus.send(update);
}

} // namespace

TaskbarEntry::~TaskbarEntry() {
    if (m_shown)
        send_update(std::nullopt);
}

void TaskbarEntry::show(const std::optional<session::TaskbarProgress>& progress) {
    if (progress == m_shown)
        return;
    m_shown = progress;
    send_update(progress);
}

} // namespace vt::app
