// One desktop program per program folder: the running one listens on a local socket named from
// the folder, and a second start on the same folder asks it to come to the front instead of
// failing on the folder lock.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace norva::ui {

// The socket's name for a folder: the user's id and a hash of the folder's absolute path.
QString InstanceName(const QString& folder);

// Asks the program running on `folder` to show its window. True when it answered within
// timeoutMs; false when nothing listens there (the lock may be held by norva-cli).
bool AskRunningInstanceToShow(const QString& folder, int timeoutMs = 3000);

// Listens for such requests. Created only by the process holding the folder's lock, so a socket
// left behind by a crashed run is replaced safely.
class SingleInstance : public QObject {
  Q_OBJECT
 public:
  explicit SingleInstance(const QString& folder, QObject* parent = nullptr);
  bool Listening() const { return server_.isListening(); }

 signals:
  void ShowRequested();

 private:
  QLocalServer server_;
};

}  // namespace norva::ui
