#pragma once
// One running copy per user: the first launch listens on a local socket; a later launch
// finds it there, sends "reopen" and ends, and the first one shows itself.

#include <QObject>
#include <QString>
#include <functional>

class QLocalServer;

namespace ravnix {

class SingleInstance : public QObject {
    Q_OBJECT
  public:
    static constexpr const char* reopenMessage = "reopen";

    // The socket for this user: "$XDG_RUNTIME_DIR/ravnix.sock" when that folder is set, else
    // a name Qt places in the temporary folder, with the user's number in it.
    static QString defaultName();

    // True when a running instance took "reopen" within `timeoutMs`.
    static bool tellRunningInstance(const QString& name, int timeoutMs = 1000);

    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // Listens on `name` (a stale socket left by a crashed run is removed first); `onReopen`
    // runs on this thread for every "reopen" received. False when listening fails.
    bool listen(const QString& name, std::function<void()> onReopen);

  private:
    QLocalServer* server = nullptr;
    std::function<void()> onReopen;
};

} // namespace ravnix
