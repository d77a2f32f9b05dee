#include "ui/SingleInstance.hpp"

#include <QByteArray>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <unistd.h>

namespace ravnix {

QString SingleInstance::defaultName() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QDir(runtime).exists()) {
        return QDir(runtime).filePath(QStringLiteral("ravnix.sock"));
    }
    return QStringLiteral("ravnix-%1").arg(::getuid());
}

bool SingleInstance::tellRunningInstance(const QString& name, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs)) {
        return false;
    }
    socket.write(QByteArray(reopenMessage) + '\n');
    if (!socket.waitForBytesWritten(timeoutMs)) {
        return false;
    }
    socket.disconnectFromServer();
    return true;
}

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::listen(const QString& name, std::function<void()> handler) {
    onReopen = std::move(handler);
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // Nobody answered on it (the caller asked first), so whatever is there is stale.
    QLocalServer::removeServer(name);
    if (!server->listen(name)) {
        return false;
    }
    connect(server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                while (socket->canReadLine()) {
                    if (socket->readLine().trimmed() == reopenMessage && onReopen) {
                        onReopen();
                    }
                }
                // A client that never ends its line cannot make us buffer without end.
                if (socket->bytesAvailable() > 64) {
                    socket->abort();
                }
            });
        }
    });
    return true;
}

} // namespace ravnix
