// The logic's text and the toolkit's: the logic keeps UTF-8, shown as such (a byte that is not
// UTF-8 shows as U+FFFD), and what the user types is stored as UTF-8.
#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

namespace norva::ui {

QString ToQt(const std::string& text);
std::string FromQt(const QString& text);
// Lines joined with "\n" for a text pane, and split back.
QString LinesToQt(const std::vector<std::string>& lines);
std::vector<std::string> LinesFromQt(const QString& text);

}  // namespace norva::ui
