#include "app/job_notifier.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include "app/translate.h"

namespace vt::app {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kOpenAction = QStringLiteral("open");
constexpr int kShownMs = 10000;

} // namespace

QString job_end_text(const engine::JobStats& stats) {
    QString text = QStringLiteral("%1 %2, %3 %4, %5 %6")
                       .arg(stats.converted)
                       .arg(xlat(u"converted"))
                       .arg(stats.failed)
                       .arg(xlat(u"failed"))
                       .arg(stats.unknown)
                       .arg(xlat(u"not loaded"));
    return text + QStringLiteral(" (%1 %2)").arg(xlat(u"of")).arg(stats.total);
}

JobNotifier::JobNotifier(QObject* parent) : QObject(parent) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected())
        bus.connect(kService, kPath, kService, QStringLiteral("ActionInvoked"), this,
                    SLOT(onActionInvoked(uint, QString)));
}

void JobNotifier::jobEnded(const engine::JobStats& stats, bool cancelled) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusInterface service(kService, kPath, kService, bus);
    const QString summary =
        xlat(cancelled ? u"Vantrel Converter: job cancelled" : u"Vantrel Converter: job finished");
    const QStringList actions{QStringLiteral("default"), xlat(u"Open Target Folder"), kOpenAction,
                              xlat(u"Open Target Folder")};
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("vantrel-converter"));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(stats.failed ? 2 : 1));
    const QDBusPendingCall call =
        service.asyncCall(QStringLiteral("Notify"), QStringLiteral("Vantrel Converter"), m_last_id,
                          QStringLiteral("vantrel-converter"), summary, job_end_text(stats),
                          actions, hints, kShownMs);
    auto* watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isValid())
            onReply(reply.value());
        w->deleteLater();
    });
}

void JobNotifier::onReply(uint id) {
    m_last_id = id;
}

void JobNotifier::onActionInvoked(uint id, const QString& key) {
    if (id == m_last_id && m_last_id != 0 &&
        (key == kOpenAction || key == QLatin1String("default")))
        emit openTargetFolder();
}

} // namespace vt::app
