// norva: the desktop application.
#include <QApplication>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("N o r v a");
  return 0;
}
