// The logic's UTF-8 text and the toolkit's.
#include "ui/Text.h"

namespace norva::ui {

QString ToQt(const std::string& text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

std::string FromQt(const QString& text) {
  return text.toStdString();
}

QString LinesToQt(const std::vector<std::string>& lines) {
  QStringList list;
  list.reserve(qsizetype(lines.size()));
  for (const std::string& line : lines) list.push_back(ToQt(line));
  return list.join(QLatin1Char('\n'));
}

std::vector<std::string> LinesFromQt(const QString& text) {
  std::vector<std::string> lines;
  if (text.isEmpty()) return lines;
  for (const QString& line : text.split(QLatin1Char('\n'))) lines.push_back(FromQt(line));
  return lines;
}

}  // namespace norva::ui
