// A second start of the desktop program on a folder in use: it asks the running one to come to
// the front and exits 0; strangers on the socket are ignored.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include "store/FolderLock.h"
#include "support/TempDir.h"
#include "ui/SingleInstance.h"

namespace norva::ui {
namespace {

using norva::testing::TempDir;

// Runs the event loop until done() holds or ms pass; this process answers the socket meanwhile.
template <typename Done>
void SpinUntil(Done done, int ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < ms) {
    QEventLoop loop;
    QTimer::singleShot(20, &loop, &QEventLoop::quit);
    loop.exec();
  }
}

TEST(SingleInstance, SecondStartShowsTheRunningOneAndExitsZero) {
  TempDir folder;
  FolderLock lock(folder.Path(), "the Norva desktop program");
  SingleInstance running(QString::fromStdString(folder.Path()));
  ASSERT_TRUE(running.Listening());
  int shown = 0;
  QObject::connect(&running, &SingleInstance::ShowRequested, [&] { ++shown; });

  QProcess second;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("NORVA_FOLDER", QString::fromStdString(folder.Path()));
  env.insert("QT_QPA_PLATFORM", "offscreen");
  second.setProcessEnvironment(env);
  QElapsedTimer clock;
  clock.start();
  second.start(NORVA_EXECUTABLE, {});
  ASSERT_TRUE(second.waitForStarted(5000));
  SpinUntil([&] { return second.state() == QProcess::NotRunning; }, 10000);
  if (second.state() != QProcess::NotRunning) {
    second.kill();
    second.waitForFinished();
    FAIL() << "the second start did not end";
  }
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
  EXPECT_LT(clock.elapsed(), 5000);
  EXPECT_EQ(shown, 1);
}

TEST(SingleInstance, OnlyTheShowRequestIsAnswered) {
  TempDir folder;
  const QString path = QString::fromStdString(folder.Path());
  EXPECT_FALSE(AskRunningInstanceToShow(path, 500)) << "nobody listens yet";

  SingleInstance running(path);
  int shown = 0;
  QObject::connect(&running, &SingleInstance::ShowRequested, [&] { ++shown; });
  for (const QByteArray& stranger : {QByteArray("hello\n"), QByteArray(100, 'x')}) {
    QLocalSocket socket;
    socket.connectToServer(InstanceName(path));
    ASSERT_TRUE(socket.waitForConnected(1000));
    socket.write(stranger);
    socket.flush();
    SpinUntil([&] { return socket.state() == QLocalSocket::UnconnectedState; }, 2000);
    EXPECT_EQ(socket.state(), QLocalSocket::UnconnectedState) << stranger.toStdString();
  }
  EXPECT_EQ(shown, 0);
  EXPECT_NE(InstanceName(path), InstanceName(path + "/other"));
}

}  // namespace
}  // namespace norva::ui
