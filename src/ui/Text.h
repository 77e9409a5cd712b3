// Bytes and the toolkit's text: the logic keeps 8-bit texts; they are shown as UTF-8 when they
// are valid UTF-8 and as Latin-1 otherwise, and what the user types is stored as UTF-8.
#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

namespace norva::ui {

QString ToQt(const std::string& bytes);
std::string FromQt(const QString& text);
// Lines joined with "\n" for a text pane, and split back.
QString LinesToQt(const std::vector<std::string>& lines);
std::vector<std::string> LinesFromQt(const QString& text);

}  // namespace norva::ui
